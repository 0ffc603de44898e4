// Spectrum files of other formats: real files read against the values they
// hold (taken from the files by eye and with awk), the same counts and times
// as copies converted to the native format independently (by the data
// folder's own script), the conversion rules worked by hand, recognition that
// never takes a native file for another format, and malformed files refused
// with a diagnostic that names the format and the problem.

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "input/formats/common.h"
#include "input/formats/encoding.h"
#include "input/formats/formats.h"
#include "input/spectrum_file.h"
#include "input/text_file.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const fs::path kData = fs::path(ASSAY_SOURCE_DIR) / "tests" / "data";
// Originals and independent native copies beside the repository, when there.
const fs::path kShared = fs::path(ASSAY_SOURCE_DIR) / ".." / "shared" / "data" / "real";

std::string contents(const fs::path& path) { return test_support::read_file(path); }

SpectrumFile read_ok(const fs::path& path) {
    auto file = read_spectrum_file(path.string());
    if (!file) ADD_FAILURE() << path << ": " << file.error().message;
    return file ? *file : SpectrumFile{};
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += "{" + item + "}";
    return out;
}

struct Count {
    int channel;
    int32_t value;
};

struct RealCase {
    const char* path;  // under tests/data, or under the shared originals with "orig/"
    const char* format;
    uint64_t live_us, real_us;
    int source_channels;
    const char* conversion;  // a part of the conversion text ("" when none is expected)
    std::vector<Count> counts;
    std::vector<double> calibration;
    const char* unread;  // a part of the unread list ("" when it is to be empty)
};

// Values from the files themselves: $MEAS_TIM, $DATA and $ENER_FIT/$MCA_CAL
// lines, MeasurementTime, DataPoints and Coefficients, the CSV header and
// rows; summed channels added by hand (SGM102432 raw 80..83: 319 + 322 + 316
// + 345 = 1302; raw 600..603: 76 + 83 + 106 + 98 = 363; raw 4092, 4093 and two
// padded: 0 + 1 = 1).
const std::vector<RealCase>& real_cases() {
    static const std::vector<RealCase> cases = {
        {"real/bq/SGM102432.spe", "IAEA SPE", 300000000, 300000000, 4094,
         "4094 channels, padded to 4096 and summed in groups of 4", {{20, 1302}, {150, 363}, {1023, 1}}, {}, ""},
        {"real/bq/nai_detector.spe", "IAEA SPE", 3600000000, 3600000000, 1001,
         "1001 channels in channels 0 to 1000; channels 1001 to 1023 are 0", {{300, 292}, {721, 97}, {1001, 0}}, {},
         ""},
        // CR LF, a calibration of all zeros (none).
        {"real/bq/digibase_5min_30_1.spe", "IAEA SPE", 296000000, 300000000, 1024, "",
         {{0, 0}, {14, 19886}, {107, 4060}}, {}, ""},
        {"real/suro256/29_spectrum_EG_3X_source_Cs-137.xml", "RadiaCode XML", 3682000000, 3682000000, 256,
         "256 channels in channels 0 to 255; channels 256 to 1023 are 0; live and real time both the measurement time",
         {{2, 29861}, {3, 65470}, {64, 10983}, {255, 94}, {256, 0}}, {1.9060767, 9.45942, 0.00813342},
         "background spectrum 'Background - office 1 hour' (4333 s)"},
        {"orig/bossew_radiacode101/Bossew_spectra_04_Monazite/2024-04-16_Monazite-Guarapari-Brazil.xml",
         "RadiaCode XML", 591000000, 591000000, 1024, "live and real time both the measurement time",
         {{11, 1}, {96, 517}, {1023, 6}}, {4.6426802, 2.29144, 0.00097}, "'Background-W-2' (436823 s)"},
        {"orig/gammaSpec/calibration_spectrum.spe", "IAEA SPE", 10000000000, 10014000000, 1024, "",
         {{85, 19566}, {475, 1426}, {1023, 0}}, {-9.982841, 3.094595}, ""},
        {"orig/ucd_sdl_gamma_lab/NaI_Am0deg.Spe", "IAEA SPE", 298000000, 299000000, 1024, "",
         {{29, 15371}, {288, 8}}, {-10.13050, 2.230151, -7.695740e-5}, ""},
        // The calibration key runs into the real time on one line.
        {"orig/uct_gamma_prac/Cs137.csv", "CSV export", 850260000, 1267110000, 1024, "",
         {{0, 60}, {9, 613962}, {331, 29882}, {1023, 4}}, {}, ""},
    };
    return cases;
}

TEST(SpectrumFormats, RealFilesGiveTheirTimesCountsAndCalibration) {
    for (const RealCase& c : real_cases()) {
        const std::string relative = c.path;
        const bool shared = relative.rfind("orig/", 0) == 0;
        const fs::path path = shared ? kShared / relative : kData / relative;
        if (shared && !fs::exists(path)) continue;  // the shared originals are optional
        SCOPED_TRACE(relative);
        const SpectrumFile file = read_ok(path);
        EXPECT_STREQ(file.format, c.format);
        EXPECT_EQ(file.live_time_us, c.live_us);
        EXPECT_EQ(file.real_time_us, c.real_us);
        EXPECT_EQ(file.source_channels, c.source_channels);
        if (*c.conversion == '\0') {
            EXPECT_EQ(file.conversion, "");
        } else {
            EXPECT_NE(file.conversion.find(c.conversion), std::string::npos) << file.conversion;
        }
        for (const Count& count : c.counts) EXPECT_EQ(file.channel[count.channel], count.value) << count.channel;
        ASSERT_EQ(file.calibration.size(), c.calibration.size());
        for (size_t k = 0; k < c.calibration.size(); ++k) {
            EXPECT_NEAR(file.calibration[k], c.calibration[k], std::fabs(c.calibration[k]) * 1e-9);
        }
        if (*c.unread == '\0') {
            EXPECT_TRUE(file.unread.empty()) << joined(file.unread);
        } else {
            EXPECT_NE(joined(file.unread).find(c.unread), std::string::npos) << joined(file.unread);
        }
    }
}

// Every original against the copy that the data folder's own script
// converted: the same times and the same 1024 counts.
TEST(SpectrumFormats, RealFilesMatchTheirIndependentNativeCopies) {
    if (!fs::exists(kShared / "orig")) GTEST_SKIP() << "no shared real data beside the repository";
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"becquerel/SGM102432.spe", "bq_csi_d3s_ba133_cs137"},
        {"becquerel/nai_detector.spe", "bq_nai_background_1h"},
        {"becquerel/digibase_5min_30_1.spe", "bq_nai_digibase_unidentified"},
        {"gammaSpec/background_spectrum.spe", "gs_nai_background_72h"},
        {"gammaSpec/calibration_spectrum.spe", "gs_nai_loess_block_weimar"},
        {"gammaSpec/Nievenheim_DORNIE_1.spe", "gs_nai_insitu_nievenheim_1"},
        {"gammaSpec/Nievenheim_DORNIE_4.spe", "gs_nai_insitu_nievenheim_4"},
        {"ucd_sdl_gamma_lab/NaI_Background.Spe", "ucd_nai_background"},
        {"ucd_sdl_gamma_lab/NaI_Cs0deg.Spe", "ucd_nai_cs137"},
        {"ucd_sdl_gamma_lab/BGO_Co0deg.Spe", "ucd_bgo_co60"},
        {"ucd_sdl_gamma_lab/BGO_Cs0deg.Spe", "ucd_bgo_cs137"},
        {"uct_gamma_prac/Background.csv", "uct_nai_background"},
        {"uct_gamma_prac/Co60.csv", "uct_nai_co60"},
        {"uct_gamma_prac/Unk.csv", "uct_nai_unknown"},
        {"pro210_nai/PHA PreAmp Rocks 7200sec; 15-1-2026.csv", "pro210_nai_rocks"},
        {"pro210_nai/PreAmp Background measurement 3671sec;14-1-2026.csv", "pro210_nai_background_3671s"},
        {"suro_radiacode101/01_spectra_natural_background/02_spectrum_background_office_1_hour.xml",
         "suro256_csi_background_office_1h"},
        {"suro_radiacode101/10_spectra_EG_3X_sources_Co-60_and_Cs-137/37_spectrum_EG_3X_source_Co-60_and_Cs-137.xml",
         "suro256_csi_co60_cs137_1h"},
        {"suro_radiacode101/16_spectra_EG_3X_source_Co-57/75_spectrum_EG_3X_source_Co-57.xml", "suro256_csi_co57_3h"},
        {"bossew_radiacode101/Bossew_spectra_01_K-40/K-40-1--2024-03-02 13-26-43.xml", "bossew_csi_kcl_16h"},
        {"bossew_radiacode101/Bossew_spectra_06_Brazil-Pocos_de_Caldas/2024-04-17_Caldasite.xml",
         "bossew_csi_caldasite"},
    };
    for (const auto& [original, copy] : pairs) {
        SCOPED_TRACE(original);
        const SpectrumFile converted = read_ok(kShared / "orig" / original);
        const SpectrumFile native = read_ok(kShared / (copy + ".txt"));
        EXPECT_STREQ(native.format, "native");
        EXPECT_EQ(converted.live_time_us, native.live_time_us);
        EXPECT_EQ(converted.real_time_us, native.real_time_us);
        EXPECT_EQ(0, std::memcmp(converted.channel, native.channel, sizeof native.channel));
    }
}

// The N42.42 documents under tests/data/formats were written for these tests
// (no real N42.42 file is at hand); their values follow from their text.
TEST(SpectrumFormats, N42DocumentsOfBothSchemas) {
    {
        // 2011: the foreground measurement's first detector, 2048 channels in
        // counted zeroes (100 zeros, 5 7 9, 1944 zeros, 4) summed in pairs;
        // -2.5 + 3x + 0.0005x^2 at x = 2c + 0.5 is -0.999875 + 6.001c + 0.002c^2.
        const SpectrumFile file = read_ok(kData / "formats" / "n42_2011.n42");
        EXPECT_STREQ(file.format, "N42.42-2011");
        EXPECT_EQ(file.live_time_us, 59610000u);  // PT59.61S
        EXPECT_EQ(file.real_time_us, 60250000u);  // PT1M0.25S of the measurement
        EXPECT_EQ(file.source_channels, 2048);
        EXPECT_EQ(file.conversion, "2048 channels summed in groups of 2");
        EXPECT_EQ(file.channel[49], 0);
        EXPECT_EQ(file.channel[50], 12);
        EXPECT_EQ(file.channel[51], 9);
        EXPECT_EQ(file.channel[1023], 4);
        ASSERT_EQ(file.calibration.size(), 3u);
        EXPECT_NEAR(file.calibration[0], -0.999875, 1e-12);
        EXPECT_NEAR(file.calibration[1], 6.001, 1e-12);
        EXPECT_NEAR(file.calibration[2], 0.002, 1e-15);
        const std::string unread = joined(file.unread);
        EXPECT_NE(unread.find("'Background' measurement 'Background-1'"), std::string::npos) << unread;
        EXPECT_NE(unread.find("detector 'Gamma-2' in the same measurement"), std::string::npos) << unread;
        EXPECT_NE(unread.find("DerivedData (1 spectrum"), std::string::npos) << unread;
        EXPECT_NE(unread.find("deviation pairs"), std::string::npos) << unread;
    }
    {
        // 2006, CR LF: the "Item" measurement after a background one, counts as
        // reals (2.5 rounds to 3), calibration by CalibrationIDs.
        const SpectrumFile file = read_ok(kData / "formats" / "n42_2006.n42");
        EXPECT_STREQ(file.format, "N42.42-2006");
        EXPECT_EQ(file.live_time_us, 118250000u);
        EXPECT_EQ(file.real_time_us, 120500000u);  // PT2M0.5S
        EXPECT_EQ(file.source_channels, 512);
        EXPECT_EQ(file.conversion,
                  "512 channels in channels 0 to 511; channels 512 to 1023 are 0; counts rounded to whole numbers");
        EXPECT_EQ(file.channel[10], 3);
        EXPECT_EQ(file.channel[11], 4);
        EXPECT_EQ(file.channel[12], 3);
        EXPECT_EQ(file.channel[509], 1);
        EXPECT_EQ(file.channel[511], 3);
        EXPECT_EQ(file.calibration, (std::vector<double>{1.5, 5.75}));
        EXPECT_EQ(joined(file.unread), "{'Background' measurement 'b1' (1 spectrum)}");
    }
    {
        // No declaration, a prefix never declared, lower channel edges 0, 10,
        // ..., 50: middles 5 + 10c.
        const SpectrumFile file = read_ok(kData / "formats" / "n42_2006_prefix.n42");
        EXPECT_EQ(file.live_time_us, 9500000u);
        EXPECT_EQ(file.channel[4], 5);
        ASSERT_EQ(file.calibration.size(), 2u);
        EXPECT_NEAR(file.calibration[0], 5.0, 1e-9);
        EXPECT_NEAR(file.calibration[1], 10.0, 1e-9);
    }
}

// A CHN file built byte by byte: 20 ms ticks, first channel 2, a trailer of
// type -102 with offset 1.5, slope 0.75 and quadratic 0.001 keV.
std::string chn_file(const std::vector<uint32_t>& counts, int32_t real_ticks, int32_t live_ticks, uint16_t first,
                     bool trailer, size_t trailer_bytes = 512) {
    std::string bytes(32, '\0');
    auto put = [&](size_t at, const void* value, size_t size) { std::memcpy(&bytes[at], value, size); };
    const int16_t type = -1;
    const uint16_t channels = static_cast<uint16_t>(counts.size());
    put(0, &type, 2);
    put(8, &real_ticks, 4);
    put(12, &live_ticks, 4);
    put(28, &first, 2);
    put(30, &channels, 2);
    for (uint32_t c : counts) bytes.append(reinterpret_cast<const char*>(&c), 4);
    if (trailer) {
        std::string tail(512, '\0');
        const int16_t trailer_type = -102;
        const float terms[3] = {1.5f, 0.75f, 0.001f};
        std::memcpy(&tail[0], &trailer_type, 2);
        std::memcpy(&tail[4], terms, sizeof terms);
        bytes += tail.substr(0, trailer_bytes);
    }
    return bytes;
}

TEST(SpectrumFormats, OrtecChnBuiltByHand) {
    // 6025 ticks = 120.5 s, 5962 ticks = 119.24 s; channels 2..5 hold 5, 6, 7, 8.
    auto file = read_spectrum_bytes(chn_file({5, 6, 7, 8}, 6025, 5962, 2, true));
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_STREQ(file->format, "ORTEC CHN");
    EXPECT_EQ(file->real_time_us, 120500000u);
    EXPECT_EQ(file->live_time_us, 119240000u);
    EXPECT_EQ(file->source_channels, 6);
    EXPECT_EQ(file->channel[1], 0);
    EXPECT_EQ(file->channel[2], 5);
    EXPECT_EQ(file->channel[5], 8);
    ASSERT_EQ(file->calibration.size(), 3u);
    EXPECT_EQ(file->calibration[1], 0.75);
    EXPECT_EQ(file->calibration[2], static_cast<double>(0.001f));
    // 2^32 - 1 counts in four channels summed: held at the int32 limit.
    auto big = read_spectrum_bytes(chn_file(std::vector<uint32_t>(4096, 0xFFFFFFFFu), 50, 50, 0, false));
    ASSERT_TRUE(big) << big.error().message;
    EXPECT_EQ(big->channel[0], std::numeric_limits<int32_t>::max());
    EXPECT_NE(big->conversion.find("held at its limit"), std::string::npos) << big->conversion;
}

SourceSpectrum source_of(size_t channels, double count = 1.0) {
    SourceSpectrum source;
    source.format = "test";
    source.live_time_s = 1.0;
    source.real_time_s = 2.0;
    source.counts.assign(channels, count);
    return source;
}

// The shared conversion, worked by hand.
TEST(SpectrumFormats, ConversionToTheRecord) {
    struct Case {
        size_t channels;
        int32_t first, last;  // record channels 0 and 1023
        const char* conversion;
    };
    const Case cases[] = {
        {1024, 1, 1, ""},
        {1, 1, 0, "1 channel in channel 0; channels 1 to 1023 are 0"},
        {1025, 2, 0, "1025 channels, padded to 2048 and summed in groups of 2"},
        {8191, 8, 7, "8191 channels, padded to 8192 and summed in groups of 8"},
        {65536, 64, 64, "65536 channels summed in groups of 64"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels);
        auto file = to_spectrum_file(source_of(c.channels));
        ASSERT_TRUE(file) << file.error().message;
        EXPECT_EQ(file->channel[0], c.first);
        EXPECT_EQ(file->channel[1023], c.last);
        EXPECT_EQ(file->conversion, c.conversion);
    }
    // Times: rounded to the nearest microsecond (half away from zero).
    SourceSpectrum timed = source_of(1024);
    timed.live_time_s = 0.0000015;
    timed.real_time_s = 436823.0000004;
    auto file = to_spectrum_file(timed);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->live_time_us, 2u);
    EXPECT_EQ(file->real_time_us, 436823000000u);
    // Calibration 10 + 2x + 0.01x^2 on 4096 channels: channel c holds x = 4c
    // .. 4c + 3, middle 4c + 1.5: 10 + 3 + 0.0225 + (8 + 0.12)c + 0.16c^2.
    SourceSpectrum calibrated = source_of(4096);
    calibrated.calibration = {10.0, 2.0, 0.01};
    file = to_spectrum_file(calibrated);
    ASSERT_TRUE(file);
    ASSERT_EQ(file->calibration.size(), 3u);
    EXPECT_NEAR(file->calibration[0], 13.0225, 1e-12);
    EXPECT_NEAR(file->calibration[1], 8.12, 1e-12);
    EXPECT_NEAR(file->calibration[2], 0.16, 1e-15);
    // Terms that overflow when regrouped: no calibration, and it says so.
    calibrated.calibration = {1.0, 1e308, 1e308};
    file = to_spectrum_file(calibrated);
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->calibration.empty());
    EXPECT_EQ(file->unread, std::vector<std::string>{"an energy calibration beyond the range of reals"});
    // Trailing zero terms dropped, all zero is none.
    EXPECT_EQ(formats::tidy_calibration({1.0, 2.0, 0.0, 0.0}), (std::vector<double>{1.0, 2.0}));
    EXPECT_TRUE(formats::tidy_calibration({0.0, 0.0, 0.0}).empty());
    EXPECT_TRUE(formats::tidy_calibration({1.0, NAN}).empty());
}

TEST(SpectrumFormats, ConversionRefusesWhatCannotBeARecord) {
    const struct {
        SourceSpectrum source;
        const char* message;
    } cases[] = {
        {source_of(0), "holds no channels"},
        {source_of(65537), "holds 65537 channels; at most 65536 can be read"},
        {[] { auto s = source_of(1024); s.live_time_s.reset(); s.live_time_name = "X"; return s; }(),
         "no live time (X)"},
        {[] { auto s = source_of(1024); s.real_time_s = -1.0; return s; }(), "real time () is negative: -1 s"},
        {[] { auto s = source_of(1024); s.live_time_s = NAN; return s; }(), "live time () is not a number"},
        {[] { auto s = source_of(1024); s.live_time_s = INFINITY; return s; }(), "live time () is too large"},
    };
    for (const auto& c : cases) {
        auto file = to_spectrum_file(c.source);
        ASSERT_FALSE(file) << c.message;
        EXPECT_EQ(file.error().kind, SpectrumFailure::Kind::incomplete);
        EXPECT_EQ(file.error().message.rfind(c.message, 0), 0u) << file.error().message;
    }
}

// Whatever else is added, a native file reads as before: every shape the
// native reader accepts, and some it refuses, stay native and give the same
// record or the same message.
TEST(SpectrumFormats, NativeFilesStayNative) {
    const std::string valid = test_support::spectrum_text(3600000000, 3601000000, std::vector<long long>(1024, 7));
    std::string one_line = "3600 3601";
    for (int i = 0; i < 1024; ++i) one_line += " 5";
    one_line += " 1.0,2.0";  // a comma in the trailing reals: still a native file
    std::string crlf;
    for (char c : valid) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::string signed_times = " \t\n+3600\n-0\n" + valid.substr(valid.find('\n', valid.find('\n') + 1) + 1);
    const std::string texts[] = {valid, one_line, crlf, signed_times, "", "abc\n", "12 34\n", "5\n6\n7\n"};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 30));
        EXPECT_EQ(recognise_format(text), SpectrumFormat::native);
        auto expected = parse_spectrum_text(fold_line_ends(text));
        auto read = read_spectrum_bytes(text);
        ASSERT_EQ(read.ok(), expected.ok());
        if (!read) {
            EXPECT_EQ(read.error().message, expected.error().message);
            continue;
        }
        EXPECT_STREQ(read->format, "native");
        EXPECT_EQ(read->live_time_us, expected->live_time_us);
        EXPECT_EQ(0, std::memcmp(read->channel, expected->channel, sizeof read->channel));
        EXPECT_EQ(0, std::memcmp(read->trailing, expected->trailing, sizeof read->trailing));
    }
}

std::string spe(const std::string& times, const std::string& data) {
    return "$SPEC_ID:\nsample\n" + times + "$DATA:\n" + data + "$ENER_FIT:\n1 2\n";
}

std::string counts_text(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += std::to_string(i % 9) + "\n";
    return text;
}

std::string n42(const std::string& live, const std::string& data, const std::string& compression = "") {
    return "<RadInstrumentData><RadMeasurement><MeasurementClassCode>Foreground</MeasurementClassCode>"
           "<RealTimeDuration>PT10S</RealTimeDuration><Spectrum>" +
           live + "<ChannelData" + compression + ">" + data + "</ChannelData></Spectrum></RadMeasurement>" +
           "</RadInstrumentData>";
}

std::string radiacode(const std::string& inside) {
    return "<?xml version=\"1.0\"?>\n<ResultDataFile><ResultDataList><ResultData><EnergySpectrum>" + inside +
           "</EnergySpectrum></ResultData></ResultDataList></ResultDataFile>\n";
}

const char* const kCsvHeader = "Spectrum Name:\nElapsed Real Time:,12\nElapsed Live Time:,10\nChannel Data:\n";

// Every malformed file is refused as a whole with a message that names the
// format and what is wrong.
TEST(SpectrumFormats, MalformedFilesAreRefusedWithTheirReason) {
    const std::string live = "<LiveTimeDuration>PT9S</LiveTimeDuration>";
    const std::string chn = chn_file({5, 6, 7, 8}, 100, 90, 0, false);
    std::string wrong_trailer = chn + std::string(512, '\0');
    wrong_trailer[chn.size()] = 7;
    const std::string real_xml = contents(kData / "real/suro256/29_spectrum_EG_3X_source_Cs-137.xml");
    const struct {
        const char* what;
        std::string bytes;
        const char* message;
    } cases[] = {
        {"SPE truncated", spe("$MEAS_TIM:\n10 12\n", "0 1023\n" + counts_text(100)),
         "IAEA SPE: holds only 100 of the 1024 counts of $DATA 0 to 1023"},
        {"SPE more counts than its range", spe("$MEAS_TIM:\n10 12\n", "0 3\n1 2 3 4 5\n"),
         "IAEA SPE: holds more counts than $DATA 0 to 3 says (line 7)"},
        {"SPE without times", spe("", "0 3\n1 2 3 4\n"), "IAEA SPE: no live time ($MEAS_TIM)"},
        {"SPE with one time", spe("$MEAS_TIM:\n10\n", "0 3\n1 2 3 4\n"), "IAEA SPE: no real time ($MEAS_TIM)"},
        {"SPE negative time", spe("$MEAS_TIM:\n-10 12\n", "0 3\n1 2 3 4\n"),
         "IAEA SPE: live time ($MEAS_TIM) is negative: -10 s"},
        {"SPE time that does not scan", spe("$MEAS_TIM:\nten 12\n", "0 3\n1 2 3 4\n"),
         "IAEA SPE: live time ($MEAS_TIM) does not scan at 'ten' (line 4)"},
        {"SPE count that does not scan", spe("$MEAS_TIM:\n10 12\n", "0 3\n1 2 x 4\n"),
         "IAEA SPE: count of channel 2 does not scan at 'x' (line 7)"},
        {"SPE without data", "$SPEC_ID:\nx\n$MEAS_TIM:\n1 2\n", "IAEA SPE: holds no spectrum (no $DATA block)"},
        {"SPE too many channels", spe("$MEAS_TIM:\n10 12\n", "0 70000\n1\n"),
         "IAEA SPE: holds 70001 channels ($DATA 0 to 70000); at most 65536 can be read"},
        {"N42 not well formed", "<RadInstrumentData><RadMeasurement>\n<Spectrum>",
         "N42.42: is not well-formed XML: Start-end tags mismatch (line 2)"},
        {"N42 without spectrum", "<RadInstrumentData/>", "N42.42: holds no spectrum"},
        {"N42 with only a sum",
         "<RadInstrumentData><DerivedData><Spectrum><ChannelData>1</ChannelData></Spectrum></DerivedData>"
         "</RadInstrumentData>",
         "N42.42: holds no measured spectrum, only 1 in DerivedData (sums, not read)"},
        {"N42 without live time", n42("", "1 2 3"), "N42.42: no live time (LiveTimeDuration)"},
        {"N42 duration in years", n42("<LiveTimeDuration>P1Y</LiveTimeDuration>", "1 2 3"),
         "N42.42: live time (LiveTimeDuration) does not scan: 'P1Y'"},
        {"N42 count that does not scan", n42(live, "1 2 x"), "N42.42: count 2 of ChannelData (line 1) does not scan: 'x'"},
        {"N42 run of zeros cut short", n42(live, "1 2 0", " compressionCode=\"CountedZeroes\""),
         "N42.42: ChannelData (line 1) ends in a run of zeros without its length"},
        {"N42 unknown compression", n42(live, "1 2", " Compression=\"Zip\""),
         "N42.42: ChannelData compression 'Zip' is not known"},
        {"N42 too many channels", n42(live, "1 0 70000", " compressionCode=\"CountedZeroes\""),
         "N42.42: holds more than 65536 channels (a run of 70000 zeros in ChannelData)"},
        {"N42 no channels", n42(live, " "), "N42.42: holds no channels"},
        {"N42 count that is not finite", n42(live, "1  NaN 3"),
         "N42.42: count 1 of ChannelData (line 1) is not finite: 'NaN'"},
        {"RadiaCode wrong channel count",
         radiacode("<NumberOfChannels>4</NumberOfChannels><MeasurementTime>5</MeasurementTime><Spectrum>"
                   "<DataPoint>1</DataPoint><DataPoint>2</DataPoint><DataPoint>3</DataPoint></Spectrum>"),
         "RadiaCode XML: NumberOfChannels '4' but the Spectrum holds 3 DataPoints"},
        {"RadiaCode without time", radiacode("<Spectrum><DataPoint>1</DataPoint></Spectrum>"),
         "RadiaCode XML: no live time (MeasurementTime)"},
        {"RadiaCode count that does not scan",
         radiacode("<MeasurementTime>5</MeasurementTime><Spectrum><DataPoint>1</DataPoint><DataPoint>x</DataPoint>"
                   "</Spectrum>"),
         "RadiaCode XML: DataPoint 1 does not scan: 'x'"},
        {"RadiaCode without spectrum",
         "<ResultDataFile><ResultDataList><ResultData/></ResultDataList></ResultDataFile>",
         "RadiaCode XML: holds no spectrum (no EnergySpectrum)"},
        {"RadiaCode truncated", real_xml.substr(0, real_xml.size() / 2),
         "RadiaCode XML: is not well-formed XML: Start-end tags mismatch"},
        {"other XML", "<?xml version=\"1.0\"?><html></html>",
         "XML: root element 'html' is none of N42.42 RadInstrumentData or N42InstrumentData or RadiaCode "
         "ResultDataFile"},
        {"plain CSV of channel and count", "0,5\n1,7\n",
         "CSV: a plain list of 2 counts without live and real time; an export with its header (Elapsed Live "
         "Time, Elapsed Real Time) can be read"},
        {"plain CSV of counts with a heading", "Counts\n5\n7\n", "CSV: a plain list of 2 counts without live"},
        {"plain CSV table", "Channel,Counts\n0,5\n", "CSV: a plain table of counts without live and real time"},
        {"CSV without live time", "Elapsed Real Time:,12\nChannel,Energy,Counts\n0,,5\n",
         "CSV: no live time (Elapsed Live Time)"},
        {"CSV count that does not scan", std::string(kCsvHeader) + "Channel,Energy,Counts\n0,,5\n1,,x\n",
         "CSV: count of channel 1 does not scan at 'x' (line 7)"},
        {"CSV channel missing", std::string(kCsvHeader) + "Channel,Energy,Counts\n0,,5\n2,,7\n",
         "CSV: channel 2 follows channel 0 (line 7)"},
        {"CSV row cut short", std::string(kCsvHeader) + "Channel,Energy,Counts\n0,,5\n1\n",
         "CSV: row '1' has no Counts cell (line 7)"},
        {"CSV without table", "Elapsed Real Time:,12\nElapsed Live Time:,10\n",
         "CSV: holds no spectrum (no Channel,Counts table)"},
        {"CSV time that does not scan", "Elapsed Live Time:,ten\nChannel,Counts\n0,5\n",
         "CSV: live time 'ten' (line 1) is not one number"},
        {"CSV time of two numbers", "Elapsed Live Time:,10 12\nChannel,Counts\n0,5\n",
         "CSV: live time '10 12' (line 1) is not one number"},
        {"CSV time that reads two ways", "Elapsed Real Time:,2\nElapsed Live Time:,1,267\nChannel,Counts\n0,5\n",
         "CSV: live time '1,267' (line 2) could be read with ',' as a separator of thousands or as a decimal comma"},
        {"CSV time of bad groups", "Elapsed Live Time:,1,2675.5\nChannel,Counts\n0,5\n",
         "CSV: live time '1,2675.5' (line 1) is not one number"},
        {"CHN trailer cut short", chn + std::string(100, '\0'),
         "ORTEC CHN: calibration trailer holds only 100 of its 512 bytes"},
        {"CHN counts cut short", chn.substr(0, 40), "ORTEC CHN: holds only 2 of its 4 counts"},
        {"CHN header cut short", chn.substr(0, 10), "ORTEC CHN: holds only 10 of the 32 header bytes"},
        {"CHN without channels", chn_file({}, 100, 90, 0, false), "ORTEC CHN: holds no channels (channel count 0)"},
        {"CHN negative live time", chn_file({1}, 100, -90, 0, false),
         "ORTEC CHN: live time (header live time) is negative: -1.8 s"},
        {"CHN unknown trailer", wrong_trailer, "ORTEC CHN: ends with 512 bytes that are no calibration trailer (type word 7)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto file = read_spectrum_bytes(c.bytes);
        ASSERT_FALSE(file);
        EXPECT_EQ(file.error().kind, SpectrumFailure::Kind::incomplete);
        EXPECT_EQ(file.error().message.rfind(c.message, 0), 0u) << file.error().message;
    }
    // A run of zeros whose length is no whole number of channels says so.
    for (const std::string length : {"2.5", "-3", "NaN"}) {
        auto file = read_spectrum_bytes(n42(live, "1 0 " + length + " 3", " compressionCode=\"CountedZeroes\""));
        ASSERT_FALSE(file);
        EXPECT_EQ(file.error().message, "N42.42: ChannelData (line 1): the length of the run of zeros after count 1 is '" +
                                            length + "', not a whole number of channels (CountedZeroes)");
    }
}

// The layouts of $DATA lines that programs write, and lines that break a
// layout part-way: every count as written.
TEST(SpectrumFormats, SpeDataLinesOfAnyLayout) {
    const struct {
        const char* what;
        std::string lines;  // the $DATA lines after "0 7"
        std::vector<int32_t> counts;
    } cases[] = {
        {"right-aligned in 8, CR LF",
         "       0\r\n       1\r\n      22\r\n     333\r\n12345678\r\n       5\r\n       6\r\n       7\r\n",
         {0, 1, 22, 333, 12345678, 5, 6, 7}},
        {"right-aligned in 6, LF, then wider and narrower lines",
         "     0\n     1\n123456789\n  3\n     4\n\t    5\n     6\n     7\n", {0, 1, 123456789, 3, 4, 5, 6, 7}},
        {"left-aligned, signs, reals, several to a line",
         "0       \n1       \n-2      \n3.0     \n4 5\n6\n+7\n", {0, 1, -2, 3, 4, 5, 6, 7}},
        {"a count running on past the field", "       0\n       1\n       23\n       3\n4\n5\n6\n7\n",
         {0, 1, 23, 3, 4, 5, 6, 7}},
        {"one line of all", "0 1 2 3 4 5 6 7", {0, 1, 2, 3, 4, 5, 6, 7}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto file = read_spectrum_bytes("$MEAS_TIM:\n1 1\n$DATA:\n0 7\n" + c.lines);
        ASSERT_TRUE(file) << file.error().message;
        for (int i = 0; i < 8; ++i) EXPECT_EQ(file->channel[i], c.counts[static_cast<size_t>(i)]) << i;
    }
}

// What real files do besides the plain case, each read.
TEST(SpectrumFormats, VariantsReadInTheirStride) {
    // SPE: blocks in another order, blank lines, extra blocks, counts as reals,
    // several to a line, data starting at channel 2, CR LF.
    const std::string text =
        "$MCA_CAL:\r\n3\r\n1.0E+000 2.0E+000 1.0E-003 keV\r\n\r\n$DATA:\r\n2 5\r\n 4 5.0\r\n6 7\r\n\r\n"
        "$PRESETS:\r\nNone\r\n$MEAS_TIM:\r\n1.25 2.5\r\n";
    auto file = read_spectrum_bytes(text);
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_EQ(file->live_time_us, 1250000u);
    EXPECT_EQ(file->channel[1], 0);
    EXPECT_EQ(file->channel[2], 4);
    EXPECT_EQ(file->channel[5], 7);
    EXPECT_EQ(file->source_channels, 6);
    EXPECT_EQ(file->calibration, (std::vector<double>{1.0, 2.0, 0.001}));
    EXPECT_NE(file->conversion.find("data start at channel 2"), std::string::npos) << file->conversion;
    // CSV: 2048 channels with an Energy column 10 + 2x: summed in pairs, the
    // fit through the pairs' middles (x = 2c + 0.5) gives 11 + 4c.
    file = read_spectrum_file((kData / "formats" / "export.csv").string());
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_EQ(file->live_time_us, 10500000u);
    EXPECT_EQ(file->real_time_us, 12750000u);
    EXPECT_EQ(file->channel[0], 8);
    EXPECT_EQ(file->channel[500], 7);
    EXPECT_EQ(file->channel[1023], 9);
    ASSERT_EQ(file->calibration.size(), 2u);
    EXPECT_NEAR(file->calibration[0], 11.0, 1e-9);
    EXPECT_NEAR(file->calibration[1], 4.0, 1e-12);
    // CSV: coefficients in the header win over the Energy column.
    file = read_spectrum_bytes("Calibration Coefficients:,1.5,2.0,0.001\r\nElapsed Real Time:,2\r\n"
                               "Elapsed Live Time:,1\r\nChannel,Energy,Counts\r\n0,9,4\r\n1,19,5\r\n2,29,6\r\n");
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_EQ(file->calibration, (std::vector<double>{1.5, 2.0, 0.001}));
    EXPECT_EQ(file->channel[2], 6);
    // RadiaCode: a file holding only a background spectrum reads it and says so.
    file = read_spectrum_bytes(
        "<ResultDataFile><ResultDataList><ResultData><BackgroundEnergySpectrum><MeasurementTime>7.5"
        "</MeasurementTime><Spectrum><DataPoint>3</DataPoint></Spectrum></BackgroundEnergySpectrum></ResultData>"
        "</ResultDataList></ResultDataFile>");
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_EQ(file->live_time_us, 7500000u);
    EXPECT_NE(file->conversion.find("only a background spectrum"), std::string::npos) << file->conversion;
    // N42 2011 with a vendor namespace prefix and the calibration as channel
    // edges 0, 2, 4, ... (middles 1 + 2c), no measurement class.
    file = read_spectrum_bytes(
        "<?xml version=\"1.0\"?><v:RadInstrumentData xmlns:v=\"http://physics.nist.gov/N42/2011/N42\">"
        "<v:EnergyCalibration id=\"e\"><v:EnergyBoundaryValues>0 2 4 6 8</v:EnergyBoundaryValues>"
        "</v:EnergyCalibration><v:RadMeasurement><v:RealTimeDuration>PT0.5S</v:RealTimeDuration>"
        "<v:Spectrum energyCalibrationReference=\"e\"><v:LiveTimeDuration>PT0.25S</v:LiveTimeDuration>"
        "<v:ChannelData>1 2 3 4</v:ChannelData></v:Spectrum></v:RadMeasurement></v:RadInstrumentData>");
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_EQ(file->live_time_us, 250000u);
    ASSERT_EQ(file->calibration.size(), 2u);
    EXPECT_NEAR(file->calibration[0], 1.0, 1e-12);
    EXPECT_NEAR(file->calibration[1], 2.0, 1e-12);
}

// CSV header times written with separators or as a clock, read where only
// one reading is possible, and said how.
TEST(SpectrumFormats, CsvHeaderTimesInOtherNotations) {
    const struct {
        const char* value;
        uint64_t live_us;
        const char* note;  // "" when none
    } cases[] = {
        {"1267.11", 1267110000u, ""},
        {"\"1,267.11\"", 1267110000u, "live time '1,267.11' read as 1267.11 s (',' as a separator of thousands)"},
        {"300,5", 300500000u, "live time '300,5' read as 300.5 s (a decimal comma)"},
        {"0,005", 5000u, "(a decimal comma)"},
        {"\"1.267,11\"", 1267110000u, "('.' as a separator of thousands and a decimal comma)"},
        {"\"1,267,110\"", 1267110000000u, "(',' as a separator of thousands)"},
        {"00:05:00", 300000000u, "live time '00:05:00' read as 300 s (hh:mm:ss)"},
        {"1:01:01.5", 3661500000u, "(hh:mm:ss)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        auto file = read_spectrum_bytes(std::string("Elapsed Real Time:,4000\r\nElapsed Live Time:,") + c.value +
                                        "\r\nChannel,Energy,Counts\r\n0,,5\r\n");
        ASSERT_TRUE(file) << file.error().message;
        EXPECT_EQ(file->live_time_us, c.live_us);
        if (*c.note == '\0') {
            EXPECT_EQ(file->conversion.find("read as"), std::string::npos) << file->conversion;
        } else {
            EXPECT_NE(file->conversion.find(c.note), std::string::npos) << file->conversion;
        }
    }
}

// A blank line inside a CSV table: rows that go on after it are read and
// the blank lines named; a blank line before a section that is no row ends
// the table as before.
TEST(SpectrumFormats, CsvBlankLinesInsideTheTable) {
    std::string rows;
    for (int i = 0; i < 1024; ++i) {
        rows += std::to_string(i) + ",," + std::to_string(i % 7) + (i == 499 ? "\n\n\n" : "\n");
    }
    auto file = read_spectrum_bytes(std::string(kCsvHeader) + "Channel,Energy,Counts\n" + rows);
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_EQ(file->source_channels, 1024);
    EXPECT_EQ(file->channel[1023], 1023 % 7);
    // Header of 4 lines, heading on 5, channel 499 on 505: the blanks are 506 and 507.
    EXPECT_NE(file->conversion.find("2 blank lines inside the table read past (the first is line 506)"),
              std::string::npos)
        << file->conversion;
    file = read_spectrum_bytes(std::string(kCsvHeader) + "Channel,Energy,Counts\n0,,5\n1,,6\n\nTotal:,11\n");
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_EQ(file->source_channels, 2);
    EXPECT_EQ(file->conversion.find("blank"), std::string::npos) << file->conversion;
}

std::string utf16(const std::string& ascii, bool big_endian) {
    std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        out += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
    }
    return out;
}

std::string cr_only(std::string text) {
    for (char& c : text) c = c == '\n' ? '\r' : c;
    return text;
}

// Text that other programs write with a byte order mark, in UTF-16, or with
// lone CRs as line ends: read as the same spectrum, and the encoding said.
TEST(SpectrumFormats, EncodingsAndLineEndsOfOtherPrograms) {
    const std::string spe_text = spe("$MEAS_TIM:\n10 12\n", "0 3\n1 2 3 4\n");
    const std::string csv_text = std::string(kCsvHeader) + "Channel,Energy,Counts\n0,,1\n1,,2\n2,,3\n3,,4\n";
    const std::string n42_text = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" +
                                 n42("<LiveTimeDuration>PT10S</LiveTimeDuration>", "1 2 3 4");
    const std::string radiacode_text = radiacode(
        "<MeasurementTime>10</MeasurementTime><Spectrum><DataPoint>1</DataPoint><DataPoint>2</DataPoint>"
        "<DataPoint>3</DataPoint><DataPoint>4</DataPoint></Spectrum>");
    const std::string native_text = test_support::spectrum_text(10000000, 12000000, std::vector<long long>(1024, 1));
    const struct {
        const char* what;
        std::string bytes;
        const char* format;
        const char* conversion;  // a part of it ("" for none expected)
    } cases[] = {
        {"SPE in UTF-16 LE", utf16(spe_text, false), "IAEA SPE", "UTF-16 (little-endian) text read as UTF-8"},
        {"SPE in UTF-16 BE", utf16(spe_text, true), "IAEA SPE", "UTF-16 (big-endian) text read as UTF-8"},
        {"CSV in UTF-16 LE", utf16(csv_text, false), "CSV export", "UTF-16 (little-endian)"},
        {"N42 in UTF-16 LE", utf16(n42_text, false), "N42.42-2011", "UTF-16 (little-endian)"},
        {"RadiaCode in UTF-16 LE", utf16(radiacode_text, false), "RadiaCode XML", "UTF-16 (little-endian)"},
        {"SPE with CR line ends", cr_only(spe_text), "IAEA SPE", ""},
        {"CSV with CR line ends", cr_only(csv_text), "CSV export", ""},
        {"native with a UTF-8 mark", "\xEF\xBB\xBF" + native_text, "native", ""},
        {"native in UTF-16 LE", utf16(native_text, false), "native", "UTF-16 (little-endian)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto file = read_spectrum_bytes(c.bytes);
        ASSERT_TRUE(file) << file.error().message;
        EXPECT_STREQ(file->format, c.format);
        EXPECT_EQ(file->live_time_us, 10000000u);
        EXPECT_EQ(file->channel[0], 1);
        EXPECT_EQ(file->channel[3], *c.format == 'n' ? 1 : 4);
        if (*c.conversion != '\0') {
            EXPECT_NE(file->conversion.find(c.conversion), std::string::npos) << file->conversion;
        }
    }
}

// UTF-16 into UTF-8 by hand: U+00E4 is C3 A4, U+1D11E (D834 DD1E) is F0 9D
// 84 9E; a lone surrogate and a last odd byte become U+FFFD (EF BF BD).
TEST(SpectrumFormats, Utf16TranscodedToUtf8) {
    const struct {
        std::string bytes;
        std::string text;
        const char* note;
    } cases[] = {
        {std::string("\xFF\xFE" "a\0\xE4\0\x34\xD8\x1E\xDD", 10), "a\xC3\xA4\xF0\x9D\x84\x9E",
         "UTF-16 (little-endian) text read as UTF-8"},
        {std::string("\xFE\xFF" "\0a\xD8\x00\0b\0", 9), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD",
         "UTF-16 (big-endian) text read as UTF-8"},
        {"\xEF\xBB\xBF" "abc", "abc", ""},
        {"abc\xFF\xFE", "abc\xFF\xFE", ""},
    };
    for (const auto& c : cases) {
        std::string note;
        EXPECT_EQ(without_byte_order_mark(c.bytes, &note), c.text);
        EXPECT_EQ(note, c.note);
    }
}

// A count beyond the int32 range is held at its limit and the record says so,
// whatever the format; counts within it leave the flag clear.
TEST(SpectrumFormats, CountsBeyondTheRangeAreFlagged) {
    const std::string live = "<LiveTimeDuration>PT9S</LiveTimeDuration>";
    const struct {
        const char* what;
        std::string bytes;
        bool held;
    } cases[] = {
        {"SPE", spe("$MEAS_TIM:\n10 12\n", "0 1\n1 3000000000\n"), true},
        {"SPE within", spe("$MEAS_TIM:\n10 12\n", "0 1\n1 2147483647\n"), false},
        {"CSV", std::string(kCsvHeader) + "Channel,Energy,Counts\n0,,5\n1,,3e9\n", true},
        {"N42", n42(live, "5 3000000000"), true},
        {"N42 negative", n42(live, "5 -3000000000"), true},
        {"RadiaCode", radiacode("<MeasurementTime>5</MeasurementTime><Spectrum><DataPoint>5</DataPoint>"
                                "<DataPoint>3000000000</DataPoint></Spectrum>"),
         true},
        {"CHN", chn_file({5, 3000000000u}, 50, 50, 0, false), true},
        {"CHN within", chn_file({5, 2147483647u}, 50, 50, 0, false), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto file = read_spectrum_bytes(c.bytes);
        ASSERT_TRUE(file) << file.error().message;
        EXPECT_EQ(file->counts_held, c.held);
        EXPECT_EQ(file->channel[1], c.held ? (std::string(c.what) == "N42 negative" ? INT32_MIN : INT32_MAX)
                                           : 2147483647);
    }
}

// A calibration dropped for a term that is not finite is named, in every
// format that carries one.
TEST(SpectrumFormats, CalibrationWithATermNotFiniteIsNamed) {
    const std::string live = "<LiveTimeDuration>PT9S</LiveTimeDuration>";
    const std::string n42_2011 =
        "<RadInstrumentData><EnergyCalibration><CoefficientValues>nan 1</CoefficientValues></EnergyCalibration>"
        "<RadMeasurement><RealTimeDuration>PT10S</RealTimeDuration><Spectrum>" + live +
        "<ChannelData>1 2</ChannelData></Spectrum></RadMeasurement></RadInstrumentData>";
    const std::string texts[] = {
        "$MEAS_TIM:\n10 12\n$DATA:\n0 1\n1 2\n$ENER_FIT:\nnan 1\n",
        "Calibration Coefficients:,1,nan\nElapsed Real Time:,2\nElapsed Live Time:,1\nChannel,Counts\n0,4\n",
        n42_2011,
        radiacode("<MeasurementTime>5</MeasurementTime><EnergyCalibration><Coefficients><Coefficient>1</Coefficient>"
                  "<Coefficient>NaN</Coefficient></Coefficients></EnergyCalibration><Spectrum><DataPoint>5"
                  "</DataPoint></Spectrum>"),
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 20));
        auto file = read_spectrum_bytes(text);
        ASSERT_TRUE(file) << file.error().message;
        EXPECT_TRUE(file->calibration.empty());
        EXPECT_NE(joined(file->unread).find("{an energy calibration with a term that is not a finite number}"),
                  std::string::npos)
            << joined(file->unread);
    }
}

// Listing what an N42 file of many measurements leaves unread takes time in
// proportion to their number (20,000 took two seconds when it grew with its square).
TEST(SpectrumFormats, ManyN42MeasurementsReadInLinearTime) {
    std::string text = "<RadInstrumentData>";
    for (int i = 0; i < 20000; ++i) {
        text += "<RadMeasurement><MeasurementClassCode>" + std::string(i == 0 ? "Foreground" : "Background") +
                "</MeasurementClassCode><RealTimeDuration>PT1S</RealTimeDuration><Spectrum><LiveTimeDuration>PT1S"
                "</LiveTimeDuration><ChannelData>5</ChannelData></Spectrum></RadMeasurement>";
    }
    text += "</RadInstrumentData>";
    const auto start = std::chrono::steady_clock::now();
    auto file = read_spectrum_bytes(text);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_EQ(file->unread.size(), 16u);
    EXPECT_EQ(file->unread.back(), "19984 more");
    EXPECT_LT(seconds, 1.0);
}

}  // namespace
