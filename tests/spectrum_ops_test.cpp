// Operations on spectra and channel ranges: channel compression, gain
// correction, the real-to-count conversion, and the joining of ROIs.
//
// Float expectations with a fractional part were computed in python3: the
// gain interpolation in doubles in the order x = i / g, k = int(x + 0.5),
// d = x - k, v = (2b + (e - a) d + (a - 2b + e)(d d)) / (2g), then rounded
// to float32 with struct.pack('f').

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <numeric>
#include <utility>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/spectrum_ops.h"
#include "analysis/solver.h"
#include "core/conversions.h"

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr float kSentinel = -7.0f;  // an entry the gain correction must not write

std::vector<int32_t> spectrum(int32_t value) { return std::vector<int32_t>(kChannels, value); }

int64_t total(const std::vector<int32_t>& counts) {
    return std::accumulate(counts.begin(), counts.end(), int64_t{0});
}

// ---------------------------------------------------------------------------
// Quasi-logarithmic compression: widths 1, 2, 4, 8 over 36, 116, 71, 59 channels.

TEST(ReduceSpcLoi, OnesBecomeTheBandWidths) {
    auto counts = spectrum(1);
    reduce_spc_loi(counts.data());
    for (int r = 0; r < 36; ++r) EXPECT_EQ(counts[r], 1) << r;
    for (int r = 36; r < 152; ++r) EXPECT_EQ(counts[r], 2) << r;
    for (int r = 152; r < 223; ++r) EXPECT_EQ(counts[r], 4) << r;
    for (int r = 223; r < 282; ++r) EXPECT_EQ(counts[r], 8) << r;
    for (int r = 282; r < kChannels; ++r) EXPECT_EQ(counts[r], 0) << r;
    EXPECT_EQ(total(counts), 1024);
}

// With count = channel index every reduced channel is the sum of its own
// source channels, which shows where each band starts and ends.
TEST(ReduceSpcLoi, SumsTheSourceChannelsOfEachBand) {
    std::vector<int32_t> counts(kChannels);
    std::iota(counts.begin(), counts.end(), 0);
    reduce_spc_loi(counts.data());
    EXPECT_EQ(counts[35], 35);
    EXPECT_EQ(counts[36], 36 + 37);
    EXPECT_EQ(counts[151], 266 + 267);
    EXPECT_EQ(counts[152], 268 + 269 + 270 + 271);
    EXPECT_EQ(counts[222], 548 + 549 + 550 + 551);
    EXPECT_EQ(counts[223], 8 * 552 + 28);   // 552..559
    EXPECT_EQ(counts[281], 8 * 1016 + 28);  // 1016..1023
    EXPECT_EQ(counts[282], 0);
    EXPECT_EQ(total(counts), 1023 * 1024 / 2);
}

TEST(ReduceSpcLoi, SumsSaturateAtTheInt32Limits) {
    auto counts = spectrum(0);
    counts[36] = kMax;
    counts[37] = kMax;
    for (int j = 552; j < 560; ++j) counts[j] = kMax;
    for (int j = 1016; j < 1024; ++j) counts[j] = kMin;
    reduce_spc_loi(counts.data());
    EXPECT_EQ(counts[36], kMax);
    EXPECT_EQ(counts[223], kMax);
    EXPECT_EQ(counts[281], kMin);
}

TEST(ReduceChLoi, MapsBandEdges) {
    // Channel numbers count from 1; results are 0-based reduced channels.
    EXPECT_EQ(reduce_ch_loi(1), 0);
    EXPECT_EQ(reduce_ch_loi(36), 35);
    EXPECT_EQ(reduce_ch_loi(37), 36);
    EXPECT_EQ(reduce_ch_loi(38), 36);
    EXPECT_EQ(reduce_ch_loi(39), 37);
    EXPECT_EQ(reduce_ch_loi(268), 151);
    EXPECT_EQ(reduce_ch_loi(269), 152);
    EXPECT_EQ(reduce_ch_loi(272), 152);
    EXPECT_EQ(reduce_ch_loi(273), 153);
    EXPECT_EQ(reduce_ch_loi(552), 222);
    EXPECT_EQ(reduce_ch_loi(553), 223);
    EXPECT_EQ(reduce_ch_loi(560), 223);
    EXPECT_EQ(reduce_ch_loi(561), 224);
    EXPECT_EQ(reduce_ch_loi(1024), 281);
}

TEST(ReduceChLoi, NumbersOutsideOneTo1024GiveTheLastChannel) {
    EXPECT_EQ(reduce_ch_loi(0), 281);
    EXPECT_EQ(reduce_ch_loi(-5), 281);
    EXPECT_EQ(reduce_ch_loi(1025), 281);
    EXPECT_EQ(reduce_ch_loi(kMin), 281);
    EXPECT_EQ(reduce_ch_loi(kMax), 281);
}

// ---------------------------------------------------------------------------
// Halving.

TEST(ReduceSpcIva, OnesBecomeTwosThenZeros) {
    auto counts = spectrum(1);
    reduce_spc_iva(counts.data());
    for (int r = 0; r < 512; ++r) EXPECT_EQ(counts[r], 2) << r;
    for (int r = 512; r < kChannels; ++r) EXPECT_EQ(counts[r], 0) << r;
}

TEST(ReduceSpcIva, SumsPairsInPlaceWithoutReadingOverwrittenChannels) {
    std::vector<int32_t> counts(kChannels);
    std::iota(counts.begin(), counts.end(), 0);
    reduce_spc_iva(counts.data());
    for (int r = 0; r < 512; ++r) ASSERT_EQ(counts[r], 4 * r + 1) << r;  // 2r + (2r + 1)
    EXPECT_EQ(total(counts), 1023 * 1024 / 2);
}

TEST(ReduceSpcIva, SumsSaturateAtTheInt32Limits) {
    auto counts = spectrum(0);
    counts[0] = kMax;
    counts[1] = 1;
    counts[2] = kMin;
    counts[3] = -1;
    counts[4] = kMax;  // opposite limits cancel: no saturation
    counts[5] = kMin;
    counts[6] = kMax;
    counts[7] = kMax;
    reduce_spc_iva(counts.data());
    EXPECT_EQ(counts[0], kMax);
    EXPECT_EQ(counts[1], kMin);
    EXPECT_EQ(counts[2], -1);
    EXPECT_EQ(counts[3], kMax);
}

// h * 0.5 taken to float, then rounded half away from zero.
TEST(ReduceChIva, HalvesAndRoundsHalvesAwayFromZero) {
    EXPECT_EQ(reduce_ch_iva(0), 0);
    EXPECT_EQ(reduce_ch_iva(1), 1);
    EXPECT_EQ(reduce_ch_iva(2), 1);
    EXPECT_EQ(reduce_ch_iva(3), 2);
    EXPECT_EQ(reduce_ch_iva(101), 51);
    EXPECT_EQ(reduce_ch_iva(201), 101);
    EXPECT_EQ(reduce_ch_iva(1022), 511);
    EXPECT_EQ(reduce_ch_iva(1023), 512);
    EXPECT_EQ(reduce_ch_iva(1024), 512);
    EXPECT_EQ(reduce_ch_iva(-1), -1);
    EXPECT_EQ(reduce_ch_iva(-3), -2);
}

// The float step matters for large numbers: 16777217 * 0.5 = 8388608.5 is a
// tie in float32 and becomes 8388608 (rounding the double would give 8388609);
// 2147483647 * 0.5 becomes 1073741824 in float32.
TEST(ReduceChIva, RoundsThroughSinglePrecision) {
    EXPECT_EQ(reduce_ch_iva(16777217), 8388608);
    EXPECT_EQ(reduce_ch_iva(kMax), 1073741824);
    EXPECT_EQ(reduce_ch_iva(kMin), -1073741824);
}

// ---------------------------------------------------------------------------
// Gain correction.

TEST(Gain, UnitFactorReproducesTheSourceExceptTheEnds) {
    const std::vector<int32_t> counts = {5, 17, 300, 0, 42, 9, 1000, 77};
    std::vector<float> out(counts.size(), kSentinel);
    gain(1.0, counts.data(), out.data(), static_cast<int32_t>(counts.size()));
    EXPECT_EQ(out[0], 1.0f);  // position 1: k = 1 has no lower neighbour
    for (size_t i = 1; i + 1 < counts.size(); ++i) EXPECT_EQ(out[i], static_cast<float>(counts[i])) << i;
    EXPECT_EQ(out.back(), kSentinel);
}

TEST(Gain, FactorBelowOneThousandthOrNaNCopiesAllCounts) {
    const std::vector<int32_t> counts = {5, -17, 300, 0, 16777217, kMax};
    for (double g : {0.0005, 0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        std::vector<float> out(counts.size(), kSentinel);
        gain(g, counts.data(), out.data(), static_cast<int32_t>(counts.size()));
        for (size_t i = 0; i < counts.size(); ++i) {
            EXPECT_EQ(out[i], static_cast<float>(counts[i])) << "g " << g << " channel " << i;
        }
    }
}

// g = 0.5: position i reads source position 2i exactly (d = 0), so
// out[i - 1] = 2b / (2 * 0.5) = 2 counts[2i - 1]; from position 512 on k >= 1024.
TEST(Gain, HalfFactorDoublesEverySecondChannelThenSaturates) {
    std::vector<int32_t> counts(kChannels);
    for (int j = 0; j < kChannels; ++j) counts[j] = (j * 7919) % 100003;
    std::vector<float> out(kChannels, kSentinel);
    gain(0.5, counts.data(), out.data(), kChannels);
    for (int i = 1; i <= 511; ++i) {
        ASSERT_EQ(out[i - 1], 2.0f * static_cast<float>(counts[2 * i - 1])) << "position " << i;
    }
    for (int e = 511; e <= 1022; ++e) ASSERT_EQ(out[e], 100000.0f) << "element " << e;
    EXPECT_EQ(out[1023], kSentinel);
}

// g = 2: positions 1 and 2 have k = 1; even positions 2t read source
// position t exactly, so out[2t - 1] = counts[t - 1] / 2; k never exceeds 512.
TEST(Gain, DoubleFactorHalvesAndNeverSaturates) {
    std::vector<int32_t> counts(kChannels);
    for (int j = 0; j < kChannels; ++j) counts[j] = 2 * ((j * 7919) % 100003) + 1;
    counts[0] = 0;
    counts[1] = 0;
    counts[2] = 1000;
    for (int j = 100; j <= 110; ++j) counts[j] = 0;
    std::vector<float> out(kChannels, kSentinel);
    gain(2.0, counts.data(), out.data(), kChannels);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], 1.0f);
    // Position 3: x = 1.5, k = 2, d = -0.5, (a, b, e) = (0, 0, 1000):
    // (0 - 500 + 250) / 4 < 0, stored as 1.0.
    EXPECT_EQ(out[2], 1.0f);
    for (int t = 3; t <= 511; ++t) {
        ASSERT_EQ(out[2 * t - 1], static_cast<float>(counts[t - 1]) / 2.0f) << "position " << 2 * t;
    }
    // Inside the zero run the quadratic is exactly 0: stored as 0, not 1.0.
    EXPECT_EQ(out[2 * 105 - 1], 0.0f);
    EXPECT_EQ(out[2 * 105], 0.0f);  // position 211: x = 105.5, k = 106, all neighbours 0
    for (int e = 0; e < 1023; ++e) ASSERT_NE(out[e], 100000.0f) << e;
    EXPECT_EQ(out[1023], kSentinel);
}

// A non-trivial factor on a short spectrum, each element from python3 (see the
// top of the file). Elements 4 and 5 fall between a low and a high channel
// where the quadratic dips below zero and are stored as 1.0.
TEST(Gain, InterpolatesWithTheQuadraticToTheLastBit) {
    const std::vector<int32_t> counts = {120, 95, 300, 7, 0, 64, 1000, 999, 3, 58, 77, 41};
    std::vector<float> out(counts.size(), kSentinel);
    gain(1.0376, counts.data(), out.data(), 12);
    const float expected[12] = {1.0f,          85.85322570800781f, 290.9026184082031f, 30.59654998779297f,
                                1.0f,          1.0f,               820.419677734375f,  1061.78125f,
                                204.64788818359375f, 40.698204040527344f, 73.26395416259766f, kSentinel};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(out[i], expected[i]) << "element " << i;
}

// Below 1 the stretch reaches past the end: position 11 has k = 12 = n.
TEST(Gain, StretchPastTheLastChannelGivesTheSaturationValue) {
    const std::vector<int32_t> counts = {120, 95, 300, 7, 0, 64, 1000, 999, 3, 58, 77, 41};
    std::vector<float> out(counts.size(), kSentinel);
    gain(0.9424, counts.data(), out.data(), 12);
    const float expected[12] = {1.0f,          114.30403900146484f, 300.8916931152344f, 1.0f,
                                12.760111808776855f, 324.7002258300781f, 1182.3619384765625f, 675.197265625f,
                                40.01434326171875f,  80.80201721191406f, 100000.0f,           kSentinel};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(out[i], expected[i]) << "element " << i;
}

// The curvature term is (a - 2b + e) * (d * d), the square formed first. At
// g = 1.0376, position 7 (k = 7) with a, b, e = -627138219, -33068713,
// -1380304446 the terms of about 1e9 cancel to 7.6, and python3 gives
// 7.617825031280518 in this order but 7.617824554443359 for ((a - 2b + e) d) d.
TEST(Gain, CurvatureTermMultipliesTheSquaredOffset) {
    const std::vector<int32_t> counts = {0, 0, 0, 0, 0, -627138219, -33068713, -1380304446, 0};
    std::vector<float> out(counts.size(), kSentinel);
    gain(1.0376, counts.data(), out.data(), 9);
    EXPECT_EQ(out[6], 7.617825031280518f);
}

// Counts at the int32 limits: 2b, e - a and a - 2b + e exceed 32 bits
// (e.g. a - 2b + e = 2^33 - 2) and must be formed in 64 bits. Values from
// python3 with exact integers.
TEST(Gain, IntegerTermsDoNotOverflowNearTheInt32Limits) {
    const std::vector<int32_t> alternating = {kMax, kMin, kMax, kMin, kMax, kMin, kMax, kMax};
    std::vector<float> out(8, kSentinel);
    gain(1.0376, alternating.data(), out.data(), 8);
    const float expected[8] = {1.0f, 1.0f, 2020744064.0f, 1.0f, 1933774848.0f, 1.0f, 1411496832.0f, kSentinel};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], expected[i]) << "element " << i;

    const std::vector<int32_t> flat(8, kMax);
    std::fill(out.begin(), out.end(), kSentinel);
    gain(1.0376, flat.data(), out.data(), 8);
    for (int i = 1; i < 7; ++i) EXPECT_EQ(out[i], 2069664256.0f) << "element " << i;  // kMax / 1.0376
}

TEST(Gain, WritesNothingForOneChannelOrLess) {
    const int32_t counts[1] = {50};
    float out[1] = {kSentinel};
    gain(1.0, counts, out, 1);
    EXPECT_EQ(out[0], kSentinel);
    gain(1.0, counts, out, 0);
    EXPECT_EQ(out[0], kSentinel);
}

// ---------------------------------------------------------------------------

TEST(FloatToCount, TruncatesTowardZeroAndClampsToTheInt32Range) {
    EXPECT_EQ(float_to_count(1.9), 1);
    EXPECT_EQ(float_to_count(-1.9), -1);
    EXPECT_EQ(float_to_count(0.0), 0);
    EXPECT_EQ(float_to_count(2147483647.9), kMax);
    EXPECT_EQ(float_to_count(2147483648.0), kMax);
    EXPECT_EQ(float_to_count(1e300), kMax);
    EXPECT_EQ(float_to_count(-2147483648.9), kMin);  // truncates to -2147483648, in range
    EXPECT_EQ(float_to_count(-2147483649.0), kMin);
    EXPECT_EQ(float_to_count(std::numeric_limits<double>::infinity()), kMax);
    EXPECT_EQ(float_to_count(-std::numeric_limits<double>::infinity()), kMin);
    EXPECT_EQ(float_to_count(std::numeric_limits<double>::quiet_NaN()), 0);
}


// ---------------------------------------------------------------------------
// ROI joining. Expected lists are worked by hand from the joining rule: each
// range merges into the first earlier entry it overlaps, and passes repeat
// until one merges nothing.


using Ranges = std::vector<std::pair<int32_t, int32_t>>;

std::unique_ptr<RoiList> make_list(const Ranges& ranges) {
    auto list = std::make_unique<RoiList>();
    list->count = static_cast<int32_t>(ranges.size());
    for (size_t i = 0; i < ranges.size(); ++i) {
        list->roi[i][0] = ranges[i].first;
        list->roi[i][1] = ranges[i].second;
    }
    return list;
}

Ranges ranges_of(const RoiList& list) {
    Ranges out;
    for (int i = 0; i < list.count; ++i) out.emplace_back(list.roi[i][0], list.roi[i][1]);
    return out;
}

Ranges join_sorted(const Ranges& source) {
    auto src = make_list(source);
    auto dst = make_list({{-9, -9}, {-8, -8}});  // stale content must be dropped
    roi_join_sort(src.get(), dst.get());
    return ranges_of(*dst);
}

Ranges join_all(const Ranges& source) {
    auto src = make_list(source);
    auto dst = std::make_unique<RoiList>();
    const int32_t returned = roi_join_all(src.get(), dst.get());
    EXPECT_EQ(returned, dst->count);
    return ranges_of(*dst);
}

// ---------------------------------------------------------------------------

TEST(RoiJoinSort, WorkedExamples) {
    EXPECT_EQ(join_sorted({{10, 20}, {30, 40}, {15, 35}}), (Ranges{{10, 40}}));
    EXPECT_EQ(join_sorted({{30, 40}, {10, 20}, {21, 29}}), (Ranges{{10, 20}, {21, 29}, {30, 40}}));
    EXPECT_EQ(join_sorted({{30, 40}, {10, 30}}), (Ranges{{10, 40}}));
    EXPECT_EQ(join_sorted({{5, 5}, {5, 5}}), (Ranges{{5, 5}}));
}

TEST(RoiJoinSort, TouchingRangesStaySharingOneChannelMerge) {
    EXPECT_EQ(join_sorted({{10, 20}, {21, 30}}), (Ranges{{10, 20}, {21, 30}}));
    EXPECT_EQ(join_sorted({{10, 20}, {20, 30}}), (Ranges{{10, 30}}));
    EXPECT_EQ(join_sorted({{20, 30}, {10, 20}}), (Ranges{{10, 30}}));
}

TEST(RoiJoinSort, ContainedRangeDisappearsAndSingleRangeIsCopied) {
    EXPECT_EQ(join_sorted({{10, 40}, {15, 20}}), (Ranges{{10, 40}}));
    EXPECT_EQ(join_sorted({{15, 20}, {10, 40}}), (Ranges{{10, 40}}));
    EXPECT_EQ(join_sorted({{7, 300}}), (Ranges{{7, 300}}));
}

TEST(RoiJoinSort, EmptySourceLeavesAnEmptyDestination) {
    EXPECT_TRUE(join_sorted({}).empty());
    auto src = make_list({{1, 2}});
    src->count = -3;
    auto dst = make_list({{-9, -9}});
    roi_join_sort(src.get(), dst.get());
    EXPECT_EQ(dst->count, 0);
}

// The unsorted list of a full join, sorted ascending (each range is 5 wide,
// given from the highest down so every insertion moves to the front).
TEST(RoiJoinSort, SeventyDisjointRangesAreAllKeptAndSorted) {
    Ranges source;
    for (int i = 69; i >= 0; --i) source.emplace_back(10 * i, 10 * i + 5);
    const Ranges result = join_sorted(source);
    ASSERT_EQ(result.size(), 70u);
    for (int i = 0; i < 70; ++i) EXPECT_EQ(result[i], std::make_pair(10 * i, 10 * i + 5)) << i;
}

// ---------------------------------------------------------------------------

// Ranges keep the place where the first range of their group entered.
TEST(RoiJoinAll, KeepsOrderOfFirstAppearance) {
    EXPECT_EQ(join_all({{30, 40}, {10, 20}, {35, 50}}), (Ranges{{30, 50}, {10, 20}}));
}

// (15, 35) merges into (10, 20) only (the first entry it overlaps), giving
// (10, 35), which overlaps (30, 40): the second pass joins them.
TEST(RoiJoinAll, BridgingRangeNeedsASecondPass) {
    EXPECT_EQ(join_all({{10, 20}, {30, 40}, {15, 35}}), (Ranges{{10, 40}}));
    // Other ranges keep their places around the bridged group.
    EXPECT_EQ(join_all({{1, 2}, {10, 20}, {30, 40}, {5, 6}, {15, 35}}),
              (Ranges{{1, 2}, {10, 40}, {5, 6}}));
}

// A chain that needs three passes: pass 1 gives (0, 25), (20, 45), (40, 65),
// (60, 70); pass 2 folds them into (0, 70); pass 3 merges nothing.
TEST(RoiJoinAll, ChainOfBridgesEndsInOneRange) {
    EXPECT_EQ(join_all({{0, 10}, {20, 30}, {40, 50}, {60, 70}, {45, 65}, {25, 45}, {5, 25}}),
              (Ranges{{0, 70}}));
}

TEST(RoiJoinAll, AppendsBehindExistingRangesWithoutJoiningThem) {
    auto src = make_list({{150, 160}, {5, 6}, {155, 170}});
    auto dst = make_list({{100, 200}});
    EXPECT_EQ(roi_join_all(src.get(), dst.get()), 3);
    EXPECT_EQ(ranges_of(*dst), (Ranges{{100, 200}, {150, 170}, {5, 6}}));
    // The source is read only.
    EXPECT_EQ(ranges_of(*src), (Ranges{{150, 160}, {5, 6}, {155, 170}}));
}

TEST(RoiJoinAll, EmptySourceChangesNothingAndReturnsItsCount) {
    auto dst = make_list({{100, 200}});
    auto src = make_list({});
    EXPECT_EQ(roi_join_all(src.get(), dst.get()), 0);
    EXPECT_EQ(ranges_of(*dst), (Ranges{{100, 200}}));
    src = make_list({{1, 2}});
    src->count = -4;
    EXPECT_EQ(roi_join_all(src.get(), dst.get()), -4);
    EXPECT_EQ(ranges_of(*dst), (Ranges{{100, 200}}));
}

// A destination that would need more than its 70 ranges is filled to
// capacity and no further: guard words behind the list must stay intact.
TEST(RoiJoinAll, NeverWritesBeyondTheListCapacity) {
    struct Guarded {
        RoiList list;
        int32_t guard[64];
    };
    auto dst = std::make_unique<Guarded>();
    for (int32_t& g : dst->guard) g = 0x5a5a5a5a;
    dst->list.count = 65;
    for (int i = 0; i < 65; ++i) {
        dst->list.roi[i][0] = 1000 + i;
        dst->list.roi[i][1] = 1000 + i;
    }
    Ranges source;
    for (int i = 0; i < 10; ++i) source.emplace_back(10 * i, 10 * i + 3);
    auto src = make_list(source);
    const int32_t returned = roi_join_all(src.get(), &dst->list);
    EXPECT_EQ(dst->list.count, kRoiListCapacity);
    EXPECT_EQ(returned, dst->list.count);
    for (int i = 0; i < 65; ++i) EXPECT_EQ(dst->list.roi[i][0], 1000 + i) << i;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(dst->list.roi[65 + i][0], 10 * i);
        EXPECT_EQ(dst->list.roi[65 + i][1], 10 * i + 3);
    }
    for (int32_t g : dst->guard) ASSERT_EQ(g, 0x5a5a5a5a);
}

}  // namespace
