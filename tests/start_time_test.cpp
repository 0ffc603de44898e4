// Start times of measurements: the date-time texts of each format read into
// ISO 8601 (the expected strings written by hand from the texts), the real
// files' starts as their headers state them (read by eye), and the sum's
// earliest start and latest end.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <utility>
#include <vector>
#include <string>

#include "input/formats/times.h"
#include "input/spectrum_file.h"
#include "run/sum.h"

namespace fs = std::filesystem;

namespace {

const fs::path kData = fs::path(ASSAY_SOURCE_DIR) / "tests" / "data";

// "" where the text did not read; else the ISO form.
std::string read_as(const Expected<StartTime, std::string>& parsed) { return parsed ? iso_8601(*parsed) : ""; }

using Parser = Expected<StartTime, std::string> (*)(std::string_view);

TEST(StartTime, EachFormsTextReadsAsItsCalendarTime) {
    const struct {
        Parser parse;
        const char* text;
        const char* expected;  // "" for none
    } cases[] = {
        // SPE $DATE_MEA: month first, 24-hour clock, or a 12-hour one with AM/PM.
        {formats::parse_spe_date, "01/12/2014 15:12:28", "2014-01-12T15:12:28"},
        {formats::parse_spe_date, "01/12/2014 3:12:28 PM\r\n", "2014-01-12T15:12:28"},
        {formats::parse_spe_date, "01/12/2014 12:05:00 AM", "2014-01-12T00:05:00"},
        {formats::parse_spe_date, "01/12/2014 12:05:00 pm", "2014-01-12T12:05:00"},
        {formats::parse_spe_date, "02/29/2016 08:00", "2016-02-29T08:00:00"},
        {formats::parse_spe_date, "02/29/2015 08:00:00", ""},  // no 29 February in 2015
        {formats::parse_spe_date, "13/01/2014 10:00:00", ""},
        {formats::parse_spe_date, "01/12/2014 13:00:00 PM", ""},
        {formats::parse_spe_date, "01/12/2014 10:00:00 tomorrow", ""},
        {formats::parse_spe_date, "", ""},
        // xs:dateTime: no zone stays local; Z and offsets go to UTC.
        {formats::parse_xml_date_time, "2014-01-12T15:12:28", "2014-01-12T15:12:28"},
        {formats::parse_xml_date_time, "2014-01-12T15:12:28Z", "2014-01-12T15:12:28Z"},
        {formats::parse_xml_date_time, "2014-01-12T15:12:28.75+01:00", "2014-01-12T14:12:28Z"},
        {formats::parse_xml_date_time, "2014-01-01T00:30:00+02:00", "2013-12-31T22:30:00Z"},
        {formats::parse_xml_date_time, "2016-02-28T22:00:00-05:00", "2016-02-29T03:00:00Z"},
        {formats::parse_xml_date_time, "2014-01-12T3:12:28 PM", "2014-01-12T15:12:28"},
        {formats::parse_xml_date_time, "2014-01-12 03:12:28 AM", "2014-01-12T03:12:28"},
        {formats::parse_xml_date_time, "2014-01-12T15:12:28.2444444444444444444444444444444Z",
         "2014-01-12T15:12:28Z"},  // a fraction of any length is dropped, never summed into an int
        {formats::parse_xml_date_time, "2014-01-12T25:00:00", ""},
        {formats::parse_xml_date_time, "2014-01-12T15:12:28+25:00", ""},
        {formats::parse_xml_date_time, "12.01.2014 15:12", ""},
        // CSV exports: month names in the exporting program's language; an
        // hour of 1 to 12 without AM or PM is ambiguous.
        {formats::parse_export_date_time, "January 12, 2014, 03:12:28 PM", "2014-01-12T15:12:28"},
        {formats::parse_export_date_time, "januari 15, 2026, 10:08:54 AM", "2026-01-15T10:08:54"},
        {formats::parse_export_date_time, "März 3, 2025, 14:00:00", "2025-03-03T14:00:00"},
        {formats::parse_export_date_time, "12 janvier 2014 15:12:28", "2014-01-12T15:12:28"},
        {formats::parse_export_date_time, "3. Dezember 2024, 00:15:00", "2024-12-03T00:15:00"},
        {formats::parse_export_date_time, "diciembre 31, 2023, 23:59:59", "2023-12-31T23:59:59"},
        {formats::parse_export_date_time, "Feb 29, 2024, 17:37:00", "2024-02-29T17:37:00"},
        {formats::parse_export_date_time, "januari 15, 2026, 10:08:54", ""},
        {formats::parse_export_date_time, "Brumaire 15, 2026, 18:08:54", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(read_as(c.parse(c.text)), c.expected) << c.text;
    EXPECT_EQ(formats::parse_export_date_time("February 29, 2024, 02:11:07").error(),
              "is on a 12-hour clock without AM or PM");
}

TEST(StartTime, ChnHeaderDateHasACenturyFlag) {
    EXPECT_EQ(read_as(formats::parse_chn_date_time("12Jan141", "1512", "28")), "2014-01-12T15:12:28");
    EXPECT_EQ(read_as(formats::parse_chn_date_time("31Dec990", "2359", "59")), "1999-12-31T23:59:59");
    EXPECT_EQ(read_as(formats::parse_chn_date_time("30Feb141", "1512", "28")), "");
    // An empty date field is no date, not a malformed one.
    const auto empty = formats::parse_chn_date_time(std::string(8, '\0'), std::string(4, '\0'), "00");
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error(), "");
}

// A CHN file of 4 channels whose header states `date`, `clock` and `seconds`.
std::string chn_file(const std::string& date, const std::string& clock, const std::string& seconds) {
    std::string bytes(32 + 16, '\0');
    bytes[0] = bytes[1] = '\xff';
    bytes.replace(6, 2, seconds);
    bytes[8] = 50;  // 1 s of real and live time in 20 ms ticks
    bytes[12] = 50;
    bytes.replace(16, 8, date);
    bytes.replace(24, 4, clock);
    bytes[30] = 4;
    return bytes;
}

std::string native_file() {
    std::string text = "1000000\n1000000\n";
    for (int i = 0; i < kChannels; ++i) text += "1\n";
    return text;
}

std::string start_of(const SpectrumFile& file) { return file.start_time ? iso_8601(*file.start_time) : ""; }

TEST(StartTime, EveryReaderGivesTheStartItsFileStates) {
    const struct {
        std::string bytes;
        const char* expected;
        const char* problem;  // the start of the problem text, "" for none
    } cases[] = {
        {"$DATE_MEA:\r\n01/12/2014 3:12:28 PM\r\n$MEAS_TIM:\r\n10 11\r\n$DATA:\r\n0 1\r\n5\r\n6\r\n",
         "2014-01-12T15:12:28", ""},
        {"$DATE_MEA:\n2014-13-01\n$MEAS_TIM:\n10 11\n$DATA:\n0 1\n5\n6\n", "",
         "start time ($DATE_MEA) '2014-13-01' does not read as a date"},
        {"$MEAS_TIM:\n10 11\n$DATA:\n0 1\n5\n6\n", "", ""},
        {"Elapsed Real Time:,12\nElapsed Live Time:,10\nStart Time:,januari 07, 2026, 02:13:40\n"
         "Channel,Energy,Counts\n0,0,1\n1,1,2\n",
         "", "start time (Start Time) 'januari 07, 2026, 02:13:40' is on a 12-hour clock without AM or PM"},
        {"Elapsed Real Time:,12\nElapsed Live Time:,10\nStart Time:,\"juillet 14, 2025, 22:05:00\"\n"
         "Channel,Energy,Counts\n0,0,1\n1,1,2\n",
         "2025-07-14T22:05:00", ""},
        {chn_file("12Jan141", "1512", "28"), "2014-01-12T15:12:28", ""},
        {chn_file("12Foo141", "1512", "28"), "", "start time (header date and time) '12Foo141 151228'"},
        {native_file(), "", ""},  // native files state no time
    };
    for (const auto& c : cases) {
        auto file = read_spectrum_bytes(c.bytes);
        ASSERT_TRUE(file) << c.bytes << ": " << file.error().message;
        EXPECT_EQ(start_of(*file), c.expected) << c.bytes;
        EXPECT_EQ(file->start_time_problem.substr(0, std::string(c.problem).size()), c.problem) << c.bytes;
        if (c.problem[0] == '\0') {
            EXPECT_EQ(file->start_time_problem, "");
        }
    }
}

TEST(StartTime, RealFilesGiveTheStartTheirHeadersState) {
    const struct {
        fs::path path;
        const char* expected;
    } cases[] = {
        {kData / "real" / "bq" / "digibase_5min_30_1.spe", "2018-02-09T10:03:36"},  // $DATE_MEA 02/09/2018 10:03:36
        {kData / "real" / "bq" / "SGM102432.spe", "2018-07-11T00:00:00"},
        // The StartTime before EnergySpectrum, not the background's.
        {kData / "real" / "suro256" / "29_spectrum_EG_3X_source_Cs-137.xml", "2022-05-13T08:05:32"},
        // The foreground RadMeasurement's StartDateTime, not the background's.
        {kData / "formats" / "n42_2011.n42", "2012-01-01T10:10:00Z"},
        {kData / "formats" / "n42_2006.n42", "2005-08-18T12:00:00Z"},
    };
    for (const auto& c : cases) {
        auto file = read_spectrum_file(c.path.string());
        ASSERT_TRUE(file) << c.path;
        EXPECT_EQ(start_of(*file), c.expected) << c.path;
    }
    // "March 1, 2024, 10:00:00" without AM or PM: none, and said.
    auto file = read_spectrum_file((kData / "formats" / "export.csv").string());
    ASSERT_TRUE(file);
    EXPECT_FALSE(file->start_time);
    EXPECT_NE(file->start_time_problem.find("'March 1, 2024, 10:00:00'"), std::string::npos);
}

// Starts 10:00:00, 09:30:00 and 10:05:00 with real times 1800.9 s, 600 s and
// 60 s: the earliest start is 09:30:00; the ends are 10:30:00 (1800 whole
// seconds), 09:40:00 and 10:06:00, the latest 10:30:00. A file without a
// time is passed over; a UTC file among local ones leaves the span unknown.
TEST(StartTime, SumSpansEarliestStartToLatestEnd) {
    const auto at = [](const char* text) { return *formats::parse_xml_date_time(text); };
    const auto sum_of = [](std::vector<std::pair<std::optional<StartTime>, uint64_t>> files) {
        auto sum = std::make_unique<SpectrumSum>();
        auto file = std::make_unique<SpectrumFile>();
        for (const auto& [start, real_us] : files) {
            file->start_time = start;
            file->real_time_us = real_us;
            add_to_sum(*file, "f", sum.get());
        }
        return measurement_span(*sum);
    };
    const MeasurementSpan local = sum_of({{at("2024-03-01T10:00:00"), 1800900000},
                                          {std::nullopt, 99000000000},
                                          {at("2024-03-01T09:30:00"), 600000000},
                                          {at("2024-03-01T10:05:00"), 60000000}});
    ASSERT_TRUE(local.start && local.end);
    EXPECT_EQ(iso_8601(*local.start), "2024-03-01T09:30:00");
    EXPECT_EQ(iso_8601(*local.end), "2024-03-01T10:30:00");
    EXPECT_FALSE(local.mixed_clocks);

    const MeasurementSpan utc = sum_of({{at("2024-03-01T23:30:00+01:00"), 3600000000}});
    EXPECT_EQ(iso_8601(*utc.start), "2024-03-01T22:30:00Z");
    EXPECT_EQ(iso_8601(*utc.end), "2024-03-01T23:30:00Z");

    const MeasurementSpan none = sum_of({{std::nullopt, 5000000}});
    EXPECT_FALSE(none.start || none.end || none.mixed_clocks);

    const MeasurementSpan mixed = sum_of({{at("2024-03-01T10:00:00"), 1}, {at("2024-03-01T10:00:00Z"), 1}});
    EXPECT_FALSE(mixed.start || mixed.end);
    EXPECT_TRUE(mixed.mixed_clocks);
}

}  // namespace
