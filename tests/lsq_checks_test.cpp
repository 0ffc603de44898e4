// Limit checks, the sliding-window excess search and the unknown-nuclide check.
//
// Window bounds for check_act_over_bg follow from w = float(118.65 / sqrt(m))
// * m / 100 in single precision, lo = int(m - w), hi = int(m + w); worked out
// in python3: centres 3 and 4 are skipped (m - w < 2), centre 5 covers
// channels 2..6, centre 500 covers 473..525 (53 channels).

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "analysis/analysis.h"
#include "analysis/solver.h"
#include "core/conversions.h"

namespace {

// ---------------------------------------------------------------------------
// Partial and summary limits.

struct LimitCase {
    std::unique_ptr<SampleRecord> sample = std::make_unique<SampleRecord>();
    std::unique_ptr<MethodRecord> method = std::make_unique<MethodRecord>();

    LimitCase() {
        for (int i = 0; i < kMaxComponents; ++i) sample->over_limit[i] = 7;
    }
    void component(int i, float limit, float activity, float sd, uint64_t in_summary = 0) {
        method->partial_limit[i] = limit;
        sample->activity[i] = activity;
        sample->activity_sd[i] = sd;
        method->component[i].in_summary = in_summary;
    }
};

// (4 + 6) / 10 is exactly 1.0: not over. (4.5 + 6) / 10 = 1.05: over.
// Limits of 0 or below switch the check off whatever the activity.
TEST(CheckPartialLimit, FlagsOnlyRatiosAboveOneOfPositiveLimits) {
    LimitCase c;
    c.method->component_count = 4;
    c.component(0, 10.0f, 6.0f, 4.0f);
    c.component(1, 0.0f, 1000.0f, 0.0f);
    c.component(2, -5.0f, 1000.0f, 0.0f);
    c.component(3, 10.0f, 6.0f, 4.5f);
    int32_t status = 4;  // a bit from elsewhere stays
    check_partial_limit(c.sample.get(), c.method.get(), &status);
    EXPECT_EQ(c.sample->over_limit[0], 0);
    EXPECT_EQ(c.sample->over_limit[1], 0);
    EXPECT_EQ(c.sample->over_limit[2], 0);
    EXPECT_EQ(c.sample->over_limit[3], 1);
    EXPECT_EQ(c.sample->over_limit[4], 7);  // beyond component_count: untouched
    EXPECT_EQ(c.sample->over_limit[5], 7);
    EXPECT_EQ(status, 5);
}

TEST(CheckPartialLimit, NothingOverKeepsTheIncomingStatus) {
    LimitCase c;
    c.method->component_count = 2;
    c.component(0, 10.0f, 6.0f, 4.0f);
    c.component(1, 10.0f, 1.0f, 1.0f);
    int32_t status = 6;
    check_partial_limit(c.sample.get(), c.method.get(), &status);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(c.sample->over_limit[0], 0);
    EXPECT_EQ(c.sample->over_limit[1], 0);
}

TEST(CheckPartialLimit, WithoutStatusStillWritesTheFlags) {
    LimitCase c;
    c.method->component_count = 1;
    c.component(0, 10.0f, 20.0f, 1.0f);
    check_partial_limit(c.sample.get(), c.method.get(), nullptr);
    EXPECT_EQ(c.sample->over_limit[0], 1);
}

TEST(CheckPartialLimit, NoComponentsWritesNothing) {
    LimitCase c;
    c.method->component_count = 0;
    c.component(0, 10.0f, 20.0f, 1.0f);
    int32_t status = 6;
    check_partial_limit(c.sample.get(), c.method.get(), &status);
    EXPECT_EQ(status, 6);
    for (int i = 0; i < kMaxComponents; ++i) EXPECT_EQ(c.sample->over_limit[i], 7);
    check_partial_limit(c.sample.get(), c.method.get(), nullptr);
    EXPECT_EQ(c.sample->over_limit[0], 7);
}

// Summary over components with a positive limit and in_summary set:
// (3 + 1) + (2 + 2) = 8 and 4/10 + 4/8 = 0.9. in_summary is 64 bits wide; a
// flag only in the high half counts.
TEST(CheckSummaryLimit, SumsOnlySummaryComponentsWithPositiveLimits) {
    LimitCase c;
    c.method->component_count = 4;
    c.component(0, 10.0f, 3.0f, 1.0f, 1);
    c.component(1, 20.0f, 100.0f, 0.0f, 0);        // not in the summary
    c.component(2, 0.0f, 100.0f, 0.0f, 1);         // limit switched off
    c.component(3, 8.0f, 2.0f, 2.0f, 1ull << 40);
    float total = -1.0f;
    float fraction = -1.0f;
    int32_t status = 0;
    EXPECT_EQ(check_summary_limit(c.sample.get(), c.method.get(), 1, 1, 8.0f, &status, &total, &fraction), 0);
    EXPECT_EQ(total, 8.0f);
    EXPECT_FLOAT_EQ(fraction, 0.9f);
    EXPECT_EQ(status, 0);  // total equal to the limit is not over it
    EXPECT_EQ(check_summary_limit(c.sample.get(), c.method.get(), 1, 1, 7.5f, &status, &total, &fraction), 2);
    EXPECT_EQ(status, 2);
}

// 5/10 + 4/8 = 1.0 exactly: not over; 6/10 + 4/8 = 1.1: over.
TEST(CheckSummaryLimit, FractionOfExactlyOneIsNotOver) {
    LimitCase c;
    c.method->component_count = 2;
    c.component(0, 10.0f, 4.0f, 1.0f, 1);
    c.component(1, 8.0f, 2.0f, 2.0f, 1);
    float fraction = 0.0f;
    EXPECT_EQ(check_summary_limit(c.sample.get(), c.method.get(), 0, 1, 0.0f, nullptr, nullptr, &fraction), 0);
    EXPECT_EQ(fraction, 1.0f);
    c.component(0, 10.0f, 5.0f, 1.0f, 1);
    EXPECT_EQ(check_summary_limit(c.sample.get(), c.method.get(), 0, 1, 0.0f, nullptr, nullptr, &fraction), 4);
}

TEST(CheckSummaryLimit, SwitchedOffChecksSetNoBitsAndIncomingBitsStay) {
    LimitCase c;
    c.method->component_count = 1;
    c.component(0, 1.0f, 50.0f, 5.0f, 1);  // T = 55, F = 55
    int32_t status = 1;
    EXPECT_EQ(check_summary_limit(c.sample.get(), c.method.get(), 0, 0, 1.0f, &status, nullptr, nullptr), 1);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(check_summary_limit(c.sample.get(), c.method.get(), 1, 1, 1.0f, &status, nullptr, nullptr), 7);
    EXPECT_EQ(status, 7);
    // Without a status word the result starts from 0.
    EXPECT_EQ(check_summary_limit(c.sample.get(), c.method.get(), 1, 0, 1.0f, nullptr, nullptr, nullptr), 2);
}

// No components: both sums are 0, so only a negative total limit is exceeded.
TEST(CheckSummaryLimit, NoComponentsComparesZeroSums) {
    LimitCase c;
    c.method->component_count = 0;
    c.component(0, 1.0f, 50.0f, 5.0f, 1);
    float total = -1.0f;
    float fraction = -1.0f;
    EXPECT_EQ(check_summary_limit(c.sample.get(), c.method.get(), 1, 1, 0.0f, nullptr, &total, &fraction), 0);
    EXPECT_EQ(total, 0.0f);
    EXPECT_EQ(fraction, 0.0f);
    EXPECT_EQ(check_summary_limit(c.sample.get(), c.method.get(), 1, 1, -1.0f, nullptr, nullptr, nullptr), 2);
}

// ---------------------------------------------------------------------------
// Excess over a background.

struct Spectra {
    std::unique_ptr<SampleRecord> sample = std::make_unique<SampleRecord>();
    std::unique_ptr<LocalBackground> background = std::make_unique<LocalBackground>();

    Spectra(uint64_t sample_live_time, int32_t sample_level, uint64_t background_live_time,
            int32_t background_level) {
        sample->live_time = sample_live_time;
        background->live_time = background_live_time;
        for (int j = 0; j < kChannels; ++j) {
            sample->channel[j] = sample_level;
            background->channel[j] = background_level;
        }
    }
    int32_t check(int32_t channel_count = kChannels) const {
        return check_act_over_bg(sample.get(), background.get(), channel_count);
    }
};

TEST(CheckActOverBg, SpectrumEqualToTheScaledBackgroundShowsNoExcess) {
    EXPECT_EQ(Spectra(100, 1000, 100, 1000).check(), 0);
    EXPECT_EQ(Spectra(200, 1000, 100, 500).check(), 0);  // r = 2
}

// Centre 500: S = 53 * 100 + 5000 = 10300, B = 5300, D = 10 sqrt(10300) = 1014.9;
// S - D = 9285 > B + D = 6315 and B > 40.
TEST(CheckActOverBg, PeakOverABackgroundAboveFortyCounts) {
    Spectra s(100, 100, 100, 100);
    s.sample->channel[500] += 5000;
    EXPECT_EQ(s.check(), 1);
}

// A background of 40 counts in channel 500 alone: every window holding the
// peak has B = 40, not above 40; with 41 the same peak counts. Windows
// without channel 500 have B = 0 and are skipped.
TEST(CheckActOverBg, ExcessCountsOnlyWhenTheBackgroundSumIsAboveForty) {
    Spectra s(1, 0, 1, 0);
    s.sample->channel[500] = 100000;
    s.background->channel[500] = 40;
    EXPECT_EQ(s.check(), 0);
    s.background->channel[500] = 41;
    EXPECT_EQ(s.check(), 1);
}

// r = 1/100 keeps every window's B below 1 (at most 74 channels of 0.01),
// although S - B is far above 20 sqrt(S); with r = 1 the peak window has B = 53.
TEST(CheckActOverBg, LowBackgroundRateNeverCounts) {
    Spectra s(1, 0, 100, 1);
    s.sample->channel[500] = 100000;
    EXPECT_EQ(s.check(), 0);
    s.background->live_time = 1;
    EXPECT_EQ(s.check(), 1);
}

TEST(CheckActOverBg, ZeroBackgroundWindowsAreSkipped) {
    Spectra s(1, 0, 1, 0);
    s.sample->channel[500] = 100000;
    EXPECT_EQ(s.check(), 0);
}

TEST(CheckActOverBg, NoChannelsFindsNothing) {
    Spectra s(100, 100, 100, 100);
    s.sample->channel[500] += 5000;
    EXPECT_EQ(s.check(0), 0);
    EXPECT_EQ(s.check(-1), 0);
}

// Channel 2 is reached only by centre 5 (channels 2..6); channels 0 and 1 by
// no window at all. The window ends before hi = 7: a large negative count
// there (which would make S negative and the deviation NaN) does not spoil it.
TEST(CheckActOverBg, FirstTestedCentreFiveCoversChannelsTwoToSix) {
    for (int channel : {0, 1, 2}) {
        Spectra s(1, 0, 1, 0);
        s.sample->channel[channel] = 10000;
        s.background->channel[channel] = 50;
        s.sample->channel[7] = -1000000;
        EXPECT_EQ(s.check(), channel == 2 ? 1 : 0) << "peak in channel " << channel;
    }
}

// With 100 channels, centre 89 (channels 77..98, hi = 100 = N) is still
// searched; the search stops only at hi > N. A large negative count in
// channel 76 spoils every earlier window that holds channel 98.
TEST(CheckActOverBg, WindowEndingExactlyAtTheChannelCountIsSearched) {
    Spectra s(1, 0, 1, 0);
    s.sample->channel[98] = 10000;
    s.background->channel[98] = 50;
    s.sample->channel[76] = -1000000;
    EXPECT_EQ(s.check(100), 1);
}

// With 1024 channels the last centre tested, 987, sums 949..1022; channel
// 1023 is never summed. With 100 channels the search stops at centre 90
// (hi = 101 > 100); centre 89 sums up to channel 98, never 99.
TEST(CheckActOverBg, LastChannelNeverEntersASum) {
    struct Case {
        int32_t channel_count;
        int channel;
        int32_t expected;
    };
    for (const Case& c : {Case{1024, 1022, 1}, Case{1024, 1023, 0}, Case{100, 98, 1}, Case{100, 99, 0}}) {
        Spectra s(1, 0, 1, 0);
        s.sample->channel[c.channel] = 10000;
        s.background->channel[c.channel] = 50;
        EXPECT_EQ(s.check(c.channel_count), c.expected)
            << c.channel_count << " channels, peak in " << c.channel;
    }
}

// B is the single-precision sum, in channel order, of float(count * r).
// Background counts in channels 500..504, r = float(1) / float(lt), a peak
// of 100000 counts in channel 502 (so S - D > B + D everywhere). In python3:
//  lt 12, counts 149, 6, 8, 161, 156: B = 40.0 exactly (not above 40), while
//    a double sum of the products would be 40.0000012;
//  lt 11, counts 40, 29, 137, 188, 46: B = 40.0000038 (above 40), while
//    r times the float sum of the counts would be 40.0.
TEST(CheckActOverBg, BackgroundSumIsOfSinglePrecisionProducts) {
    struct Case {
        uint64_t background_live_time;
        int32_t counts[5];
        int32_t expected;
    };
    for (const Case& c : {Case{12, {149, 6, 8, 161, 156}, 0}, Case{11, {40, 29, 137, 188, 46}, 1}}) {
        Spectra s(1, 0, c.background_live_time, 0);
        for (int i = 0; i < 5; ++i) s.background->channel[500 + i] = c.counts[i];
        s.sample->channel[502] = 100000;
        EXPECT_EQ(s.check(), c.expected) << "background live time " << c.background_live_time;
    }
}

// ---------------------------------------------------------------------------
// Unknown nuclides.

struct UnknownCase {
    std::unique_ptr<SampleRecord> sample = std::make_unique<SampleRecord>();
    std::unique_ptr<MethodRecord> method = std::make_unique<MethodRecord>();
    std::unique_ptr<LocalBackground> local_background = std::make_unique<LocalBackground>();

    // Local background 50 counts per channel in 100 s; sample live time 100 s,
    // so the expected spectrum starts at 50 per channel.
    UnknownCase() {
        local_background->live_time = 100;
        sample->live_time = 100;
        for (int j = 0; j < kChannels; ++j) {
            local_background->channel[j] = 50;
            sample->channel[j] = 50;
        }
        for (ComponentBlock& block : method->component) {
            block.standard_live_time = 100;
            block.background_live_time = 100;
        }
    }
    int32_t check() const {
        return check_unknown(sample.get(), method.get(), local_background.get(), kChannels);
    }
};

// With no components the expected spectrum is the local background scaled
// to the sample's live time (25 per channel in 50 s becomes 50 in 100 s).
TEST(CheckUnknown, NoComponentsComparesWithTheScaledLocalBackground) {
    UnknownCase c;
    c.local_background->live_time = 50;
    for (int j = 0; j < kChannels; ++j) c.local_background->channel[j] = 25;
    EXPECT_EQ(c.check(), 0);
    c.sample->channel[500] += 5000;
    EXPECT_EQ(c.check(), 1);
}

// Component 1's standard has 10000 counts in channel 500 for the diagonal
// standard activity 50 (entry 1 of block 1); a fitted activity of 50 expects
// exactly those counts on top of the local background.
TEST(CheckUnknown, FittedComponentExplainsItsPeak) {
    UnknownCase c;
    c.method->component_count = 2;
    c.method->component[0].standard_activity[0] = 7.0f;
    c.method->component[0].standard_activity[1] = 3.0f;
    c.method->component[1].standard_activity[0] = 999.0f;
    c.method->component[1].standard_activity[1] = 50.0f;
    c.method->component[1].standard_channel[500] = 10000;
    c.sample->channel[500] += 10000;
    c.sample->activity[0] = 2.0f;
    c.sample->activity[1] = 50.0f;
    EXPECT_EQ(c.check(), 0);
    c.sample->activity[1] = 0.0f;  // nothing fitted: the peak is unexplained
    EXPECT_EQ(c.check(), 1);
}

TEST(CheckUnknown, PeakNoComponentExplainsIsFound) {
    UnknownCase c;
    c.method->component_count = 1;
    c.method->component[0].standard_activity[0] = 50.0f;
    c.method->component[0].standard_channel[500] = 10000;
    c.sample->channel[500] += 10000;
    c.sample->activity[0] = 50.0f;
    c.sample->channel[300] += 10000;
    EXPECT_EQ(c.check(), 1);
}

// P scales with the activity ratio (here 2), Q does not: the component adds
// 2 * 10000 - 9000 = 11000 counts in channel 500. Scaling Q too would expect
// only 2000 and report the sample's 11000 as an excess.
TEST(CheckUnknown, ComponentBackgroundIsSubtractedAtItsFullRate) {
    UnknownCase c;
    c.method->component_count = 1;
    c.method->component[0].standard_activity[0] = 50.0f;
    c.method->component[0].standard_channel[500] = 10000;
    c.method->component[0].background_channel[500] = 9000;
    c.sample->activity[0] = 100.0f;
    c.sample->channel[500] += 11000;
    EXPECT_EQ(c.check(), 0);
}

// A component whose background exceeds its scaled standard adds nothing
// (max(0, P - Q)): subtracting 2000 counts in channel 300 would leave the
// sample's local background looking like an excess there.
TEST(CheckUnknown, NegativeNetContributionAddsNothing) {
    UnknownCase c;
    c.method->component_count = 1;
    c.method->component[0].standard_activity[0] = 50.0f;
    c.method->component[0].background_channel[300] = 2000;
    c.sample->activity[0] = 50.0f;
    for (int j = 0; j < kChannels; ++j) {
        c.local_background->channel[j] = 100;
        c.sample->channel[j] = 100;
    }
    EXPECT_EQ(c.check(), 0);
}

// Zero standard live time with an empty standard: 0/0 makes every P NaN and
// the component adds nothing, so the expected spectrum is the local
// background alone.
TEST(CheckUnknown, ZeroStandardLiveTimeAddsNothing) {
    UnknownCase c;
    c.method->component_count = 1;
    c.method->component[0].standard_live_time = 0;
    c.method->component[0].standard_activity[0] = 50.0f;
    c.sample->activity[0] = 5.0f;
    EXPECT_EQ(c.check(), 0);
    c.sample->channel[300] += 10000;
    EXPECT_EQ(c.check(), 1);
}

// Zero diagonal standard activity: activity 0 gives a NaN ratio (adds
// nothing); activity 1 gives an infinite ratio: 10 counts in channel 500
// become an infinite expected count (the largest int32 count), the empty
// channels 0 * inf = NaN add nothing. A peak at 300, out of reach of every
// window that holds channel 500, is still found.
TEST(CheckUnknown, ZeroDiagonalStandardActivityIsHandled) {
    UnknownCase c;
    c.method->component_count = 1;
    c.method->component[0].standard_activity[0] = 0.0f;
    c.method->component[0].standard_channel[500] = 10;
    c.sample->activity[0] = 0.0f;
    EXPECT_EQ(c.check(), 0);
    c.sample->activity[0] = 1.0f;
    EXPECT_EQ(c.check(), 0);
    c.sample->channel[300] += 10000;
    EXPECT_EQ(c.check(), 1);
}

}  // namespace
