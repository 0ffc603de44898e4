// Tests of the spectrum file reader, read_sample, and its all-or-nothing rule:
// real files in a scratch directory, read into pre-filled records.

#include "input/spectrum_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/records.h"
#include "test_support.h"

namespace {

using test_support::ScratchDir;
using test_support::spectrum_text;

// A record with every field set to something recognisable and non-zero, so
// that a field written by mistake shows.
std::unique_ptr<SampleRecord> prefilled_record() {
    auto sample = std::make_unique<SampleRecord>();
    sample->weight = 0.5f;
    sample->summary_limit = 12.25f;
    sample->live_time = 77;
    sample->real_time = 88;
    for (int i = 0; i < kChannels; ++i) sample->channel[i] = 1000 + i;
    for (int i = 0; i < kMaxComponents; ++i) {
        sample->activity[i] = 1.5f + static_cast<float>(i);
        sample->activity_sd[i] = 0.25f * static_cast<float>(i + 1);
        sample->over_limit[i] = i % 2;
        sample->below_limit[i] = 1 - i % 2;
    }
    sample->qfit = 3.5f;
    sample->summary_activity = 4.5f;
    sample->summary_fraction = 0.75f;
    sample->limit_status = 5;
    sample->unknown_found = 1;
    sample->gain = 1.0625f;
    return sample;
}

// Counts 0, 1, 2, ... with a sign and size that vary, so a shifted or
// misplaced channel shows.
std::vector<long long> distinct_counts() {
    std::vector<long long> counts(kChannels);
    for (int i = 0; i < kChannels; ++i) counts[i] = (i % 3 == 0 ? -1 : 1) * (i * 37 + 5);
    return counts;
}

// Expects `after` to equal `before` in every byte.
void expect_unchanged(const SampleRecord& before, const SampleRecord& after) {
    EXPECT_EQ(after.live_time, before.live_time);
    EXPECT_EQ(after.real_time, before.real_time);
    for (int i = 0; i < kChannels; ++i) {
        if (after.channel[i] != before.channel[i]) {
            ADD_FAILURE() << "channel " << i << " changed from " << before.channel[i] << " to "
                          << after.channel[i];
            break;
        }
    }
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "some field changed";
}

// Expects the fields other than the spectrum to be those of prefilled_record().
void expect_results_untouched(const SampleRecord& sample) {
    auto reference = prefilled_record();
    reference->live_time = sample.live_time;
    reference->real_time = sample.real_time;
    std::memcpy(reference->channel, sample.channel, sizeof sample.channel);
    EXPECT_EQ(std::memcmp(reference.get(), &sample, sizeof sample), 0)
        << "a field outside live_time, real_time and channel was written";
}

// Reads `bytes` as a spectrum file into a pre-filled record; expects success.
std::unique_ptr<SampleRecord> read_ok(const std::string& bytes) {
    ScratchDir dir;
    dir.write("s.txt", bytes);
    auto sample = prefilled_record();
    std::string problem;
    EXPECT_EQ(read_sample((dir.path() / "s.txt").c_str(), sample.get(), &problem), 1)
        << "problem: " << problem;
    expect_results_untouched(*sample);
    return sample;
}

// A file of `count` counts after the two times, nothing after them.
std::string file_with_counts(int count) {
    std::string text = "1000000\n2000000\n";
    for (int i = 0; i < count; ++i) text += std::to_string(i + 1) + "\n";
    return text;
}


// A file of times 1 s and 1 s and 1024 counts, each `usual` (or its channel
// number when `usual` is empty), except `odd` as the count of `channel`.
std::string file_with_odd_count(int channel, const std::string& odd, const std::string& usual = "") {
    std::string text = "1000000\n1000000\n";
    for (int i = 0; i < kChannels; ++i) {
        text += i == channel ? odd : usual.empty() ? std::to_string(i) : usual;
        text += '\n';
    }
    return text;
}

// A file of live time 600 s, real time 601 s and zero counts, with the live
// time written as `live`.
std::string file_with_live_time(const std::string& live) {
    std::string text = spectrum_text(600000000, 601000000, {});
    return text.replace(0, 9, live);
}

// The same with the real time written as `real`.
std::string file_with_real_time(const std::string& real) {
    std::string text = spectrum_text(600000000, 601000000, {});
    return text.replace(text.find("601000000"), 9, real);
}

// Every (channel, count) of `counts`.
std::vector<std::pair<int, long long>> every_channel(const std::vector<long long>& counts) {
    std::vector<std::pair<int, long long>> channels;
    for (int i = 0; i < kChannels; ++i) channels.emplace_back(i, counts[static_cast<size_t>(i)]);
    return channels;
}

// ---------------------------------------------------------------------------
// Reading a complete file.

TEST(ReadSample, CompleteFileGivesWholeSecondsAndEveryCount) {
    struct Case {
        const char* what;
        std::string bytes;
        uint64_t live_time;  // seconds
        uint64_t real_time;
        std::vector<std::pair<int, long long>> channels;  // (channel, count) stored
    };
    const std::string distinct = spectrum_text(600000000, 601000000, distinct_counts());
    std::string one_line = "3000000\t\v4000000\f";
    for (int i = 0; i < kChannels; ++i) one_line += std::to_string(i) + (i % 2 ? " " : "\r\t");
    std::string signed_counts = spectrum_text(1000000, 1000000, {2147483647, -2147483648LL});
    signed_counts.replace(signed_counts.find("\n0\n0\n0\n") + 1, 3, "+7\n-0");
    const std::vector<Case> cases = {
        // 600000000 us is 600 s.
        {"counts of both signs in order", distinct, 600, 601, every_channel(distinct_counts())},
        {"CR LF line ends", test_support::crlf(distinct), 600, 601, every_channel(distinct_counts())},
        {"times below one second", spectrum_text(999999, 1, {}), 0, 0, {}},
        {"fractions of a second are dropped", spectrum_text(2500000, 1999999, {}), 2, 1, {}},
        // A two-hour measurement: 7.2e9 us does not fit 32 bits.
        {"times above 32 bits", spectrum_text(7200000000ULL, 7300000000ULL, {}), 7200, 7300, {}},
        // 18446744073709551615 us is 18446744073709.551615 s. 9999999999999999999
        // us is one microsecond short of 10^13 s; as a double it would round up
        // to exactly 1e19, so a detour through double would give 10^13 s.
        {"largest times, integer divided without rounding",
         spectrum_text(18446744073709551615ULL, 9999999999999999999ULL, {}), 18446744073709ULL,
         9999999999999ULL, {}},
        // The C scan of an unsigned numeral reads "-000" as 0.
        {"live time written -000", file_with_live_time("-000"), 0, 601, {}},
        {"no trailing reals", file_with_counts(kChannels), 1, 2, {{0, 1}, {1023, 1024}}},
        {"malformed trailing reals", file_with_counts(kChannels) + "1.5 x y z\n", 1, 2, {{1023, 1024}}},
        {"anything after the trailing reals", file_with_counts(kChannels) + "1 2 3 4 5 garbage\n", 1, 2,
         {{1023, 1024}}},
        {"values on one line, separated by any white space", one_line, 3, 4, {{1023, 1023}}},
        {"counts at the int32 limits and with a sign", signed_counts, 1, 1,
         {{0, 2147483647}, {1, INT32_MIN}, {2, 7}, {3, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto sample = read_ok(c.bytes);
        EXPECT_EQ(sample->live_time, c.live_time);
        EXPECT_EQ(sample->real_time, c.real_time);
        for (const auto& [channel, count] : c.channels) {
            ASSERT_EQ(sample->channel[channel], count) << "channel " << channel;
        }
    }
}

TEST(ReadSample, OverwritesEarlierCountsCompletely) {
    // The scratch record keeps the previous file's counts; a complete file
    // replaces every one of them.
    ScratchDir dir;
    dir.write("a.txt", spectrum_text(5000000, 6000000, distinct_counts()));
    dir.write("b.txt", spectrum_text(7000000, 8000000, {}));
    auto sample = prefilled_record();
    ASSERT_EQ(read_sample((dir.path() / "a.txt").c_str(), sample.get()), 1);
    ASSERT_EQ(read_sample((dir.path() / "b.txt").c_str(), sample.get()), 1);
    EXPECT_EQ(sample->live_time, 7u);
    EXPECT_EQ(sample->real_time, 8u);
    for (int i = 0; i < kChannels; ++i) ASSERT_EQ(sample->channel[i], 0) << "channel " << i;
}

TEST(ReadSample, ProblemArgumentIsOptional) {
    ScratchDir dir;
    dir.write("ok.txt", spectrum_text(1000000, 1000000, {}));
    auto sample = prefilled_record();
    EXPECT_EQ(read_sample((dir.path() / "ok.txt").c_str(), sample.get(), nullptr), 1);
    auto before = prefilled_record();
    std::memcpy(before.get(), sample.get(), sizeof(SampleRecord));
    EXPECT_EQ(read_sample((dir.path() / "absent.txt").c_str(), sample.get()), 0);
    expect_unchanged(*before, *sample);
}

// ---------------------------------------------------------------------------
// Files that cannot be used: all or nothing.

TEST(ReadSample, UnusableFileLeavesTheRecordAsItWasAndSaysWhy) {
    enum class Place { file, directory, absent };
    struct Case {
        const char* what;
        std::string bytes;
        Place place = Place::file;
        std::string problem_part = "";  // the problem must mention it
    };
    const std::vector<Case> cases = {
        {"missing file", "", Place::absent},
        {"directory in place of the file", "", Place::directory},
        {"empty file", ""},
        {"white space only", " \r\n\t\n"},
        {"only the live time", "600000000\n"},
        {"no counts", "600000000\n601000000\n"},
        {"1023 counts", file_with_counts(kChannels - 1)},
        {"17 counts", file_with_counts(17), Place::file, "17"},
        // "12x" scans as 12, then the next count fails at the "x".
        {"count with a trailing letter", file_with_odd_count(500, "12x")},
        {"count that is not a number", file_with_odd_count(3, "abc", "1")},
        {"count above int32", file_with_odd_count(700, "2147483648", "5")},
        {"count below int32", file_with_odd_count(0, "-2147483649", "5")},
        {"high byte as a count", file_with_odd_count(1023, "\xff", "5")},
        {"negative live time", file_with_live_time("-600000000")},
        {"negative real time", file_with_real_time("-601000000")},
        {"time beyond 64 bits", file_with_live_time("18446744073709551616")},
        {"time that is not a number", file_with_live_time("live")},
        // "2.5" scans as 2 and leaves ".5", where the real time then fails.
        {"real number as time", file_with_live_time("2.5")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        if (c.place == Place::file) dir.write("s.txt", c.bytes);
        if (c.place == Place::directory) std::filesystem::create_directory(dir.path() / "s.txt");
        auto sample = prefilled_record();
        const auto before = prefilled_record();
        std::string problem;
        EXPECT_EQ(read_sample((dir.path() / "s.txt").c_str(), sample.get(), &problem), 0);
        expect_unchanged(*before, *sample);
        EXPECT_FALSE(problem.empty()) << "the problem must be described";
        EXPECT_NE(problem.find(c.problem_part), std::string::npos) << problem;
    }
}

}  // namespace
