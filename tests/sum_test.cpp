// The sum of spectra: one add that holds every value at its limit, the times
// in both forms, the calibration the files agree on, and what the table's
// whole seconds drop of the live time.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "run/sum.h"

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr uint64_t kMaxTime = std::numeric_limits<uint64_t>::max();

std::unique_ptr<SpectrumFile> file(uint64_t live_us, uint64_t real_us, int32_t count,
                                   std::vector<double> calibration = {}) {
    auto f = std::make_unique<SpectrumFile>();
    f->live_time_us = live_us;
    f->real_time_us = real_us;
    f->channel[7] = count;
    f->calibration = std::move(calibration);
    return f;
}

// Each case adds two files; channel 7 and the live time in µs are held at
// their limits when they would leave their types, and saying so is the
// add's answer. Whole seconds are each file's, summed: 1.9 s + 1.9 s is 2 s.
TEST(SpectrumSum, OneAddHoldsEveryValueAtItsLimit) {
    struct Case {
        const char* what;
        uint64_t live_us[2];
        int32_t count[2];
        uint64_t live_us_sum;
        uint64_t live_s_sum;
        int32_t count_sum;
        bool held;
    };
    const Case cases[] = {
        {"plain", {1900000, 1900000}, {5, -2}, 3800000, 2, 3, false},
        {"count over the top", {1, 1}, {2000000000, 2000000000}, 2, 0, kMax, true},
        {"count under the bottom", {1, 1}, {-2000000000, -2000000000}, 2, 0, kMin, true},
        {"count back from the limits", {1, 1}, {kMax, kMin}, 2, 0, -1, false},
        {"microseconds over the top", {kMaxTime - 5, 10}, {0, 0}, kMaxTime, 18446744073709, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto sum = std::make_unique<SpectrumSum>();
        EXPECT_FALSE(add_to_sum(*file(c.live_us[0], 7, c.count[0]), "a", sum.get()));
        EXPECT_EQ(add_to_sum(*file(c.live_us[1], 0, c.count[1]), "b", sum.get()), c.held);
        EXPECT_EQ(sum->channel[7], c.count_sum);
        EXPECT_EQ(sum->live_time_us, c.live_us_sum);
        EXPECT_EQ(sum->live_time_s, c.live_s_sum);
        EXPECT_EQ(sum->real_time_us, 7u);
        EXPECT_EQ(sum->channel[6], 0);
    }
}

// One channel leaving its type anywhere in the spectrum is held; every other
// channel is summed as ever, negative counts included.
TEST(SpectrumSum, OneChannelHeldLeavesTheOthersSummed) {
    for (const int at : {0, 511, kChannels - 1}) {
        SCOPED_TRACE(at);
        auto sum = std::make_unique<SpectrumSum>();
        auto f = file(1, 1, 0);
        for (int i = 0; i < kChannels; ++i) f->channel[i] = i - 300;
        f->channel[at] = kMax;
        EXPECT_FALSE(add_to_sum(*f, "a", sum.get()));
        f->channel[at] = 1;
        EXPECT_TRUE(add_to_sum(*f, "b", sum.get()));
        for (int i = 0; i < kChannels; ++i) EXPECT_EQ(sum->channel[i], i == at ? kMax : 2 * (i - 300));
    }
}

// The calibration survives while every file gives the same one; the files
// are kept in order, none with a start time (none states one).
TEST(SpectrumSum, KeepsTheFilesAndTheCalibrationTheyAgreeOn) {
    auto sum = std::make_unique<SpectrumSum>();
    add_to_sum(*file(1, 1, 0, {0.0, 3.0}), "a.spe", sum.get());
    add_to_sum(*file(1, 1, 0, {0.0, 3.0}), "b.spe", sum.get());
    EXPECT_EQ(agreed_calibration(*sum), (std::vector<double>{0.0, 3.0}));
    add_to_sum(*file(1, 1, 0, {0.0, 3.1}), "c.spe", sum.get());
    EXPECT_TRUE(agreed_calibration(*sum).empty());
    EXPECT_EQ(file_names(*sum), (std::vector<std::string>{"a.spe", "b.spe", "c.spe"}));
    for (const SumFile& f : sum->files) EXPECT_FALSE(f.start_time);
}

// The share of the live time the whole seconds drop, by hand: 0.9 / 1.9 of
// 1.9 s; 0.2 / 100.2; 0.5 / 1000.5, below the 0.1 % that is said; nothing of
// whole seconds or of no time at all.
TEST(SpectrumSum, LiveTimeDroppedByWholeSeconds) {
    struct Case {
        uint64_t live_us;
        double percent;
        bool said;
    };
    const Case cases[] = {
        {1900000, 0.9 / 1.9 * 100.0, true},
        {100200000, 0.2 / 100.2 * 100.0, true},
        {1000500000, 0.5 / 1000.5 * 100.0, false},
        {5000000, 0.0, false},
        {0, 0.0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.live_us);
        auto sum = std::make_unique<SpectrumSum>();
        add_to_sum(*file(c.live_us, c.live_us, 0), "a", sum.get());
        const double dropped = live_time_dropped_percent(*sum);
        EXPECT_NEAR(dropped, c.percent, 1e-9);
        EXPECT_EQ(dropped > kLiveTimeDroppedWarningPercent, c.said);
    }
}

}  // namespace
