// Joining of overlapping ROI ranges (ranges that share a channel merge) and
// sorting by first channel. Expected lists are worked by hand from the
// joining rule: each range merges into the first earlier entry it overlaps,
// and passes repeat until one merges nothing.

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/solver.h"
#include "core/conversions.h"

namespace {

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
