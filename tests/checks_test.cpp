// Limit checks, the sliding-window excess search, the fit's model spectrum
// and the unknown-nuclide check, as tables of cases.
//
// Window bounds for check_act_over_bg follow from w = float(118.65 / sqrt(m))
// * m / 100 in single precision, lo = int(m - w), hi = int(m + w); worked out
// in python3: centres 3 and 4 are skipped (m - w < 2), centre 5 covers
// channels 2..6, centre 500 covers 473..525 (53 channels).

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/checks.h"
#include "analysis/fit_common.h"

namespace {

// ---------------------------------------------------------------------------
// Partial and summary limits.

struct LimitComponent {
    float partial_limit;
    float activity;
    float activity_sd;
    uint64_t in_summary = 0;
};

struct LimitRecords {
    std::unique_ptr<SampleRecord> sample = std::make_unique<SampleRecord>();
    std::unique_ptr<MethodRecord> method = std::make_unique<MethodRecord>();

    // over_limit starts at 7 everywhere, so untouched flags show.
    LimitRecords(int32_t component_count, const std::vector<LimitComponent>& components) {
        method->component_count = component_count;
        for (int i = 0; i < kMaxComponents; ++i) sample->over_limit[i] = 7;
        for (size_t i = 0; i < components.size(); ++i) {
            method->partial_limit[i] = components[i].partial_limit;
            sample->activity[i] = components[i].activity;
            sample->activity_sd[i] = components[i].activity_sd;
            method->component[i].in_summary = components[i].in_summary;
        }
    }
};

// (4 + 6) / 10 is exactly 1.0: not over; (4.5 + 6) / 10 = 1.05: over. Limits
// of 0 or below switch the check off whatever the activity. Flags beyond
// component_count stay 7; without a status word the flags are still written.
TEST(CheckPartialLimit, FlagsOnlyRatiosAboveOneOfPositiveLimits) {
    struct Case {
        std::string name;
        int32_t component_count;
        std::vector<LimitComponent> components;
        std::optional<int32_t> incoming;  // none: no status word given
        std::vector<int32_t> flags;       // over_limit[0..5] afterwards
        int32_t status;                   // the status word afterwards
    };
    const Case cases[] = {
        {"ratio exactly one, switched off, just above one", 4,
         {{10, 6, 4}, {0, 1000, 0}, {-5, 1000, 0}, {10, 6, 4.5f}}, 4, {0, 0, 0, 1, 7, 7}, 5},
        {"nothing over keeps the incoming status", 2, {{10, 6, 4}, {10, 1, 1}}, 6, {0, 0, 7, 7, 7, 7}, 6},
        {"without status the flags are written", 1, {{10, 20, 1}}, std::nullopt, {1, 7, 7, 7, 7, 7}, 0},
        {"no components write nothing", 0, {{10, 20, 1}}, 6, {7, 7, 7, 7, 7, 7}, 6},
        {"no components and no status", 0, {{10, 20, 1}}, std::nullopt, {7, 7, 7, 7, 7, 7}, 0},
    };
    for (const Case& c : cases) {
        LimitRecords r(c.component_count, c.components);
        int32_t status = c.incoming.value_or(0);
        check_partial_limit(r.sample.get(), r.method.get(), c.incoming ? &status : nullptr);
        for (int i = 0; i < kMaxComponents; ++i) EXPECT_EQ(r.sample->over_limit[i], c.flags[i]) << c.name << " flag " << i;
        if (c.incoming) {
            EXPECT_EQ(status, c.status) << c.name;
        }
    }
}

// Summary over components with a positive limit and in_summary set.
TEST(CheckSummaryLimit, SumsSummaryComponentsAndComparesWithTheLimits) {
    struct Case {
        std::string name;
        int32_t component_count;
        std::vector<LimitComponent> components;
        int32_t check_total;
        int32_t check_fraction;
        float total_limit;
        std::optional<int32_t> incoming;
        int32_t word;       // returned (and stored when a status is given)
        float total;        // NaN: not asked for
        float fraction;
    };
    // (3 + 1) + (2 + 2) = 8 and 4/10 + 4/8 = 0.9; component 1 is not in the
    // summary, component 2's limit is off; in_summary is 64 bits wide and a
    // flag only in the high half counts.
    const std::vector<LimitComponent> four = {{10, 3, 1, 1}, {20, 100, 0, 0}, {0, 100, 0, 1}, {8, 2, 2, 1ull << 40}};
    const Case cases[] = {
        {"total equal to the limit is not over", 4, four, 1, 1, 8.0f, 0, 0, 8.0f, 0.9f},
        {"total above the limit sets bit 1", 4, four, 1, 1, 7.5f, 0, 2, 8.0f, 0.9f},
        // 5/10 + 4/8 = 1.0 exactly: not over; 6/10 + 4/8 = 1.1: over.
        {"fraction exactly one is not over", 2, {{10, 4, 1, 1}, {8, 2, 2, 1}}, 0, 1, 0.0f, std::nullopt, 0, NAN, 1.0f},
        {"fraction above one sets bit 2", 2, {{10, 5, 1, 1}, {8, 2, 2, 1}}, 0, 1, 0.0f, std::nullopt, 4, NAN, NAN},
        // T = F = 55; incoming bits stay.
        {"switched off checks set no bits", 1, {{1, 50, 5, 1}}, 0, 0, 1.0f, 1, 1, NAN, NAN},
        {"both checks on", 1, {{1, 50, 5, 1}}, 1, 1, 1.0f, 1, 7, NAN, NAN},
        {"without a status word the result starts from 0", 1, {{1, 50, 5, 1}}, 1, 0, 1.0f, std::nullopt, 2, NAN, NAN},
        // No components: both sums are 0, so only a negative total limit is exceeded.
        {"no components compare zero sums", 0, {{1, 50, 5, 1}}, 1, 1, 0.0f, std::nullopt, 0, 0.0f, 0.0f},
        {"no components and a negative total limit", 0, {{1, 50, 5, 1}}, 1, 1, -1.0f, std::nullopt, 2, NAN, NAN},
    };
    for (const Case& c : cases) {
        LimitRecords r(c.component_count, c.components);
        int32_t status = c.incoming.value_or(0);
        float total = -1.0f;
        float fraction = -1.0f;
        EXPECT_EQ(check_summary_limit(r.sample.get(), r.method.get(), c.check_total, c.check_fraction,
                                      c.total_limit, c.incoming ? &status : nullptr,
                                      std::isnan(c.total) ? nullptr : &total,
                                      std::isnan(c.fraction) ? nullptr : &fraction),
                  c.word)
            << c.name;
        if (c.incoming) {
            EXPECT_EQ(status, c.word) << c.name;
        }
        if (!std::isnan(c.total)) {
            EXPECT_EQ(total, c.total) << c.name;
        }
        if (!std::isnan(c.fraction)) {
            EXPECT_FLOAT_EQ(fraction, c.fraction) << c.name;
        }
    }
}

// ---------------------------------------------------------------------------
// Excess over a background.

using Counts = std::vector<std::pair<int, int32_t>>;  // (channel, count) set over a flat level

struct ExcessCase {
    std::string name;
    uint64_t sample_live_time;
    int32_t sample_level;
    uint64_t background_live_time;
    int32_t background_level;
    Counts sample_counts;
    Counts background_counts;
    int32_t channel_count;
    int32_t expected;
};

int32_t search(const ExcessCase& c) {
    auto sample = std::make_unique<SampleRecord>();
    auto background = std::make_unique<LocalBackground>();
    sample->live_time = c.sample_live_time;
    background->live_time = c.background_live_time;
    for (int j = 0; j < kChannels; ++j) {
        sample->channel[j] = c.sample_level;
        background->channel[j] = c.background_level;
    }
    for (const auto& [channel, count] : c.sample_counts) sample->channel[channel] = count;
    for (const auto& [channel, count] : c.background_counts) background->channel[channel] = count;
    return check_act_over_bg(sample.get(), background.get(), c.channel_count);
}

TEST(CheckActOverBg, WindowRules) {
    const ExcessCase cases[] = {
        {"spectrum equal to the background", 100, 1000, 100, 1000, {}, {}, kChannels, 0},
        {"spectrum equal to the background scaled by r = 2", 200, 1000, 100, 500, {}, {}, kChannels, 0},
        // Centre 500: S = 53 * 100 + 5000 = 10300, B = 5300, D = 10 sqrt(10300)
        // = 1014.9; S - D = 9285 > B + D = 6315 and B > 40.
        {"peak over a background above forty", 100, 100, 100, 100, {{500, 5100}}, {}, kChannels, 1},
        {"no channels", 100, 100, 100, 100, {{500, 5100}}, {}, 0, 0},
        {"negative channel count", 100, 100, 100, 100, {{500, 5100}}, {}, -1, 0},
        // Every window holding the peak has B = 40, not above 40; with 41 the
        // same peak counts. Windows without channel 500 have B = 0 and are skipped.
        {"background of exactly forty", 1, 0, 1, 0, {{500, 100000}}, {{500, 40}}, kChannels, 0},
        {"background of forty-one", 1, 0, 1, 0, {{500, 100000}}, {{500, 41}}, kChannels, 1},
        {"zero background windows are skipped", 1, 0, 1, 0, {{500, 100000}}, {}, kChannels, 0},
        // r = 1/100 keeps every window's B below 1 (at most 74 channels of
        // 0.01), although S - B is far above 20 sqrt(S); with r = 1 the peak
        // window has B = 53.
        {"low background rate never counts", 1, 0, 100, 1, {{500, 100000}}, {}, kChannels, 0},
        {"the same background at r = 1", 1, 0, 1, 1, {{500, 100000}}, {}, kChannels, 1},
        // Channel 2 is reached only by centre 5 (channels 2..6); channels 0
        // and 1 by no window. The window ends before hi = 7: a large negative
        // count there (which would make S negative) does not spoil it.
        {"channel 0 is in no window", 1, 0, 1, 0, {{0, 10000}, {7, -1000000}}, {{0, 50}}, kChannels, 0},
        {"channel 1 is in no window", 1, 0, 1, 0, {{1, 10000}, {7, -1000000}}, {{1, 50}}, kChannels, 0},
        {"centre 5 covers channels 2 to 6", 1, 0, 1, 0, {{2, 10000}, {7, -1000000}}, {{2, 50}}, kChannels, 1},
        // With 100 channels, centre 89 (channels 77..98, hi = 100 = N) is
        // still searched; the search stops only at hi > N. A large negative
        // count in channel 76 spoils every earlier window holding channel 98.
        {"window ending at the channel count is searched", 1, 0, 1, 0, {{98, 10000}, {76, -1000000}},
         {{98, 50}}, 100, 1},
        // With 1024 channels the last centre tested, 987, sums 949..1022;
        // channel 1023 is never summed. With 100 channels the search stops at
        // centre 90 (hi = 101 > 100); centre 89 sums up to 98, never 99.
        {"1024 channels: 1022 is summed", 1, 0, 1, 0, {{1022, 10000}}, {{1022, 50}}, 1024, 1},
        {"1024 channels: 1023 never is", 1, 0, 1, 0, {{1023, 10000}}, {{1023, 50}}, 1024, 0},
        {"100 channels: 98 is summed", 1, 0, 1, 0, {{98, 10000}}, {{98, 50}}, 100, 1},
        {"100 channels: 99 never is", 1, 0, 1, 0, {{99, 10000}}, {{99, 50}}, 100, 0},
        // B is the single-precision sum, in channel order, of float(count * r),
        // r = float(1) / float(lt), with a peak of 100000 counts in channel 502.
        // In python3: lt 12, counts 149, 6, 8, 161, 156 give B = 40.0 exactly
        // (not above 40) where a double sum of the products gives 40.0000012;
        // lt 11, counts 40, 29, 137, 188, 46 give B = 40.0000038 (above 40)
        // where r times the float sum of the counts gives 40.0.
        {"float products summing to exactly forty", 1, 0, 12, 0, {{502, 100000}},
         {{500, 149}, {501, 6}, {502, 8}, {503, 161}, {504, 156}}, kChannels, 0},
        {"float products summing to just above forty", 1, 0, 11, 0, {{502, 100000}},
         {{500, 40}, {501, 29}, {502, 137}, {503, 188}, {504, 46}}, kChannels, 1},
    };
    for (const ExcessCase& c : cases) EXPECT_EQ(search(c), c.expected) << c.name;
}

// ---------------------------------------------------------------------------
// The fit's model and the unknown-nuclide check.

// A method whose standards and backgrounds are counted 100 s (weight 1, so
// s = 0.1), a local background of 50 counts per channel in 100 s and a
// sample of 100 s with the same 50 per channel: the model starts at 50.
struct UnknownCase {
    std::unique_ptr<SampleRecord> sample = std::make_unique<SampleRecord>();
    std::unique_ptr<MethodRecord> method = std::make_unique<MethodRecord>();
    std::unique_ptr<LocalBackground> local_background = std::make_unique<LocalBackground>();
    std::vector<float> model = std::vector<float>(kChannels);
    std::vector<float> variance = std::vector<float>(kChannels);
    Calibration response;

    UnknownCase() {
        local_background->live_time = 100;
        sample->live_time = 100;
        for (int j = 0; j < kChannels; ++j) {
            local_background->channel[j] = 50;
            sample->channel[j] = 50;
        }
        for (ComponentBlock& block : method->component) {
            block.weight = 1.0f;
            block.standard_live_time = 100;
            block.background_live_time = 100;
        }
    }
    // The model for the solution x (activity times V = 0.1), then the check.
    int32_t check(const std::vector<double>& x) {
        model_response(*method, method->component_count, kChannels, &response);
        model_spectrum(response.response.data(), method->component_count, x.data(), local_background.get(),
                       sample->live_time, kChannels, model.data(), variance.data());
        return check_unknown(sample.get(), model.data(), kChannels);
    }
};

// 25 per channel in 50 s is U l = 2 * 25 = 50 in the sample's 100 s.
TEST(CheckUnknown, NoComponentsComparesWithTheScaledLocalBackground) {
    UnknownCase c;
    c.local_background->live_time = 50;
    for (int j = 0; j < kChannels; ++j) c.local_background->channel[j] = 25;
    EXPECT_EQ(c.check({}), 0);
    EXPECT_EQ(c.model[300], 50.0f);
    // Variance U l + U^2 l = 50 + 100.
    EXPECT_EQ(c.variance[300], 150.0f);
    c.sample->channel[500] += 5000;
    EXPECT_EQ(c.check({}), 1);
}

// Standards of 50 units of their own component only; standard 1 holds 10000
// counts in channel 500, so its response there is 10000 / (0.1 * 50) = 2000
// counts per unit of x; x = 5 (activity 50 in the sample's V = 0.1) explains
// a peak of 10000 counts, x = 0 leaves it unexplained.
TEST(CheckUnknown, FittedComponentExplainsItsPeak) {
    UnknownCase c;
    c.method->component_count = 2;
    c.method->component[0].standard_activity[0] = 50.0f;
    c.method->component[1].standard_activity[1] = 50.0f;
    c.method->component[1].standard_channel[500] = 10000;
    c.sample->channel[500] += 10000;
    EXPECT_EQ(c.check({0.2, 5.0}), 0);
    EXPECT_FLOAT_EQ(c.model[500], 10050.0f);
    EXPECT_EQ(c.check({0.2, 0.0}), 1);
}

// Standard 0 also holds 20 units of component 1 (row 50, 20): the
// calibration unmixes it. Standard 0's 4000 counts in channel 500 are then
// component 1's: with x1 = 5 the model adds 10000 there and nothing for x0.
TEST(CheckUnknown, ResponseIsUnmixedAsTheCalibrationDoes) {
    UnknownCase c;
    c.method->component_count = 2;
    c.method->component[0].standard_activity[0] = 50.0f;
    c.method->component[0].standard_activity[1] = 20.0f;
    c.method->component[1].standard_activity[1] = 50.0f;
    c.method->component[0].standard_channel[500] = 4000;
    c.method->component[1].standard_channel[500] = 10000;
    c.sample->channel[500] += 10000;
    EXPECT_EQ(c.check({3.0, 5.0}), 0);
    EXPECT_NEAR(c.response.response[0 * kChannels + 500], 0.0, 1e-9);
    EXPECT_NEAR(c.response.response[1 * kChannels + 500], 2000.0, 1e-9);
    EXPECT_FLOAT_EQ(c.model[500], 10050.0f);
}

TEST(CheckUnknown, PeakNoComponentExplainsIsFound) {
    UnknownCase c;
    c.method->component_count = 1;
    c.method->component[0].standard_activity[0] = 50.0f;
    c.method->component[0].standard_channel[500] = 10000;
    c.sample->channel[500] += 10000;
    c.sample->channel[300] += 10000;
    EXPECT_EQ(c.check({5.0}), 1);
}

// The response is the net standard rate: standard minus background at the
// live-time ratio rho = 100 / 200, (10000 - 0.5 * 9000) / (0.1 * 50) = 1100
// per unit of x, so x = 10 adds 11000 counts. Subtracting the background at
// its full rate in the sample's time, whatever the activity, would expect
// 2 * 10000 - 4500 = 15500 there and hide an excess of 4500 counts.
TEST(CheckUnknown, ComponentBackgroundIsSubtractedAtTheLiveTimeRatio) {
    UnknownCase c;
    c.method->component_count = 1;
    c.method->component[0].standard_activity[0] = 50.0f;
    c.method->component[0].background_live_time = 200;
    c.method->component[0].standard_channel[500] = 10000;
    c.method->component[0].background_channel[500] = 9000;
    c.sample->channel[500] += 11000;
    EXPECT_EQ(c.check({10.0}), 0);
    EXPECT_FLOAT_EQ(c.model[500], 11050.0f);
    c.sample->channel[500] += 4500;
    EXPECT_EQ(c.check({10.0}), 1);
}

// A component whose background exceeds its standard has a negative response
// there and adds nothing: subtracting it would leave the sample's local
// background looking like an excess in channel 300.
TEST(CheckUnknown, NegativeContributionAddsNothing) {
    UnknownCase c;
    c.method->component_count = 1;
    c.method->component[0].standard_activity[0] = 50.0f;
    c.method->component[0].background_channel[300] = 2000;
    for (int j = 0; j < kChannels; ++j) {
        c.local_background->channel[j] = 100;
        c.sample->channel[j] = 100;
    }
    EXPECT_EQ(c.check({5.0}), 0);
    EXPECT_LT(c.response.response[300], 0.0);
    EXPECT_EQ(c.model[300], 100.0f);
}

// A standard live time of 0 (s = 0) or a zero diagonal standard activity
// leaves the standards matrix singular: no channel can be unmixed, every
// response is 0, and the model is the local background alone; a peak
// elsewhere is still found.
TEST(CheckUnknown, SingularCalibrationAddsNothing) {
    struct Case {
        std::string name;
        uint64_t standard_live_time;
        float standard_activity;
    };
    for (const Case& k : {Case{"zero standard live time", 0, 50.0f}, Case{"zero standard activity", 100, 0.0f}}) {
        UnknownCase c;
        c.method->component_count = 1;
        c.method->component[0].standard_live_time = k.standard_live_time;
        c.method->component[0].standard_activity[0] = k.standard_activity;
        c.method->component[0].standard_channel[500] = 10;
        EXPECT_EQ(c.check({5.0}), 0) << k.name;
        EXPECT_TRUE(c.response.singular) << k.name;
        EXPECT_EQ(c.model[500], 50.0f) << k.name;
        c.sample->channel[300] += 10000;
        EXPECT_EQ(c.check({5.0}), 1) << k.name;
    }
}

}  // namespace
