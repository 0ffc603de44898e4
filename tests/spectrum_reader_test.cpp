// Tests of the spectrum file reader, read_sample, and its all-or-nothing rule:
// real files in a scratch directory, read into pre-filled records.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "core/records.h"
#include "input/method_file.h"
#include "input/spectrum_file.h"
#include "run/run.h"
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

// Reads `bytes` as a spectrum file and expects the all-or-nothing refusal:
// result 0, the record unchanged, and a problem described.
void expect_refused(const std::string& bytes) {
    ScratchDir dir;
    dir.write("s.txt", bytes);
    auto sample = prefilled_record();
    auto before = prefilled_record();
    std::string problem;
    EXPECT_EQ(read_sample((dir.path() / "s.txt").c_str(), sample.get(), &problem), 0);
    expect_unchanged(*before, *sample);
    EXPECT_FALSE(problem.empty()) << "the problem must be described";
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

// ---------------------------------------------------------------------------
// Reading a complete file.

TEST(ReadSample, StoresTimesInSecondsAndAllCountsInOrder) {
    auto sample = read_ok(spectrum_text(600000000, 601000000, distinct_counts()));
    EXPECT_EQ(sample->live_time, 600u);  // worked example: 600000000 us is 600 s
    EXPECT_EQ(sample->real_time, 601u);
    const std::vector<long long> counts = distinct_counts();
    for (int i = 0; i < kChannels; ++i) ASSERT_EQ(sample->channel[i], counts[i]) << "channel " << i;
}

TEST(ReadSample, TimeBelowOneSecondIsZero) {
    auto sample = read_ok(spectrum_text(999999, 1, {}));
    EXPECT_EQ(sample->live_time, 0u);
    EXPECT_EQ(sample->real_time, 0u);
}

TEST(ReadSample, FractionOfASecondIsDropped) {
    auto sample = read_ok(spectrum_text(2500000, 1999999, {}));
    EXPECT_EQ(sample->live_time, 2u);
    EXPECT_EQ(sample->real_time, 1u);
}

TEST(ReadSample, TimesAbove32BitsAreKept) {
    // A two-hour measurement: 7.2e9 us does not fit 32 bits.
    auto sample = read_ok(spectrum_text(7200000000ULL, 7300000000ULL, {}));
    EXPECT_EQ(sample->live_time, 7200u);
    EXPECT_EQ(sample->real_time, 7300u);
}

TEST(ReadSample, LargestTimesAreIntegerDividedWithoutRounding) {
    // 18446744073709551615 us is 18446744073709.551615 s. 9999999999999999999
    // us is one microsecond short of 10^13 s; as a double it would round up to
    // exactly 1e19, so a detour through double would give 10^13 s.
    auto sample = read_ok(spectrum_text(18446744073709551615ULL, 9999999999999999999ULL, {}));
    EXPECT_EQ(sample->live_time, 18446744073709ULL);
    EXPECT_EQ(sample->real_time, 9999999999999ULL);
}

TEST(ReadSample, TrailingRealsMayBeMissing) {
    std::string text = file_with_counts(kChannels);
    auto sample = read_ok(text);
    EXPECT_EQ(sample->live_time, 1u);
    EXPECT_EQ(sample->real_time, 2u);
    EXPECT_EQ(sample->channel[0], 1);
    EXPECT_EQ(sample->channel[1023], 1024);
}

TEST(ReadSample, MalformedTrailingRealsDoNotMatter) {
    auto sample = read_ok(file_with_counts(kChannels) + "1.5 x y z\n");
    EXPECT_EQ(sample->channel[1023], 1024);
}

TEST(ReadSample, AnythingAfterTheTrailingRealsIsIgnored) {
    auto sample = read_ok(file_with_counts(kChannels) + "1 2 3 4 5 garbage\n");
    EXPECT_EQ(sample->channel[1023], 1024);
}

TEST(ReadSample, CrLfFileReadsLikeLfFile) {
    std::string lf = spectrum_text(600000000, 601000000, distinct_counts());
    std::string crlf;
    for (char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    auto from_lf = read_ok(lf);
    auto from_crlf = read_ok(crlf);
    EXPECT_EQ(std::memcmp(from_lf.get(), from_crlf.get(), sizeof(SampleRecord)), 0);
    EXPECT_EQ(from_crlf->live_time, 600u);
}

TEST(ReadSample, ValuesMaySitOnOneLineSeparatedByAnyWhiteSpace) {
    std::string text = "3000000\t\v4000000\f";
    for (int i = 0; i < kChannels; ++i) text += std::to_string(i) + (i % 2 ? " " : "\r\t");
    auto sample = read_ok(text);
    EXPECT_EQ(sample->live_time, 3u);
    EXPECT_EQ(sample->real_time, 4u);
    EXPECT_EQ(sample->channel[1023], 1023);
}

TEST(ReadSample, CountsAtTheInt32LimitsAndSignedFormsScan) {
    std::vector<long long> counts(kChannels, 0);
    counts[0] = 2147483647;
    counts[1] = -2147483648LL;
    auto text = spectrum_text(1000000, 1000000, counts);
    // "+7" and "-0" are counts too.
    text.replace(text.find("\n0\n0\n0\n") + 1, 3, "+7\n-0");
    auto sample = read_ok(text);
    EXPECT_EQ(sample->channel[0], 2147483647);
    EXPECT_EQ(sample->channel[1], INT32_MIN);
    EXPECT_EQ(sample->channel[2], 7);
    EXPECT_EQ(sample->channel[3], 0);
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

TEST(ReadSampleRefuses, MissingFile) {
    ScratchDir dir;
    auto sample = prefilled_record();
    auto before = prefilled_record();
    std::string problem;
    EXPECT_EQ(read_sample((dir.path() / "absent.txt").c_str(), sample.get(), &problem), 0);
    expect_unchanged(*before, *sample);
    EXPECT_FALSE(problem.empty());
}

TEST(ReadSampleRefuses, DirectoryInPlaceOfTheFile) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.path() / "s.txt");
    auto sample = prefilled_record();
    auto before = prefilled_record();
    std::string problem;
    EXPECT_EQ(read_sample((dir.path() / "s.txt").c_str(), sample.get(), &problem), 0);
    expect_unchanged(*before, *sample);
    EXPECT_FALSE(problem.empty());
}

TEST(ReadSampleRefuses, EmptyFile) { expect_refused(""); }

TEST(ReadSampleRefuses, FileOfWhiteSpaceOnly) { expect_refused(" \r\n\t\n"); }

TEST(ReadSampleRefuses, FileWithOnlyTheLiveTime) { expect_refused("600000000\n"); }

TEST(ReadSampleRefuses, FileWithNoCounts) { expect_refused("600000000\n601000000\n"); }

TEST(ReadSampleRefuses, FileWith1023Counts) { expect_refused(file_with_counts(kChannels - 1)); }

TEST(ReadSampleRefuses, ProblemOfAShortFileTellsHowManyCountsItHolds) {
    ScratchDir dir;
    dir.write("s.txt", file_with_counts(17));
    auto sample = prefilled_record();
    std::string problem;
    EXPECT_EQ(read_sample((dir.path() / "s.txt").c_str(), sample.get(), &problem), 0);
    EXPECT_NE(problem.find("17"), std::string::npos) << problem;
}

TEST(ReadSampleRefuses, CountWithTrailingLetterInTheMiddle) {
    // "12x" scans as 12, then the next count fails at the "x".
    std::string text = "1000000\n1000000\n";
    for (int i = 0; i < kChannels; ++i) text += (i == 500 ? "12x" : std::to_string(i)) + "\n";
    expect_refused(text);
}

TEST(ReadSampleRefuses, CountThatIsNotANumber) {
    std::string text = "1000000\n1000000\n";
    for (int i = 0; i < kChannels; ++i) text += (i == 3 ? "abc" : "1") + std::string("\n");
    expect_refused(text);
}

TEST(ReadSampleRefuses, CountAboveInt32) {
    std::string text = "1000000\n1000000\n";
    for (int i = 0; i < kChannels; ++i) text += (i == 700 ? "2147483648" : "5") + std::string("\n");
    expect_refused(text);
}

TEST(ReadSampleRefuses, CountBelowInt32) {
    std::string text = "1000000\n1000000\n";
    for (int i = 0; i < kChannels; ++i) text += (i == 0 ? "-2147483649" : "5") + std::string("\n");
    expect_refused(text);
}

TEST(ReadSampleRefuses, NegativeLiveTime) {
    std::string text = spectrum_text(600000000, 601000000, {});
    text.replace(0, 9, "-600000000");
    expect_refused(text);
}

TEST(ReadSampleRefuses, NegativeRealTime) {
    std::string text = spectrum_text(600000000, 601000000, {});
    text.replace(text.find("601000000"), 9, "-601000000");
    expect_refused(text);
}

TEST(ReadSample, MinusZeroTimeIsZero) {
    std::string text = spectrum_text(600000000, 601000000, {});
    text.replace(0, 9, "-000");
    ScratchDir dir;
    dir.write("s.txt", text);
    auto sample = std::make_unique<SampleRecord>();
    sample->live_time = 5;
    ASSERT_EQ(read_sample((dir.path() / "s.txt").c_str(), sample.get()), 1);
    EXPECT_EQ(sample->live_time, 0u);
    EXPECT_EQ(sample->real_time, 601u);
}

TEST(ReadSampleRefuses, TimeBeyond64Bits) {
    std::string text = spectrum_text(600000000, 601000000, {});
    text.replace(0, 9, "18446744073709551616");
    expect_refused(text);
}

TEST(ReadSampleRefuses, TimeThatIsNotANumber) {
    std::string text = spectrum_text(600000000, 601000000, {});
    text.replace(0, 9, "live");
    expect_refused(text);
}

TEST(ReadSampleRefuses, RealNumberAsTime) {
    // "2.5" scans as 2 and leaves ".5", where the real time then fails.
    std::string text = spectrum_text(600000000, 601000000, {});
    text.replace(0, 9, "2.5");
    expect_refused(text);
}

TEST(ReadSampleRefuses, HighByteInACount) {
    std::string text = "1000000\n1000000\n";
    for (int i = 0; i < kChannels; ++i) {
        text += i == 1023 ? "\xff" : "5";
        text += '\n';
    }
    expect_refused(text);
}

}  // namespace
