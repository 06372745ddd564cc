// The decode plan: the worked examples, the generator, and properties over many inputs.
#include <gtest/gtest.h>

#include <algorithm>

#include "service/thumbnail_decode/decode_plan.h"

namespace {

using Positions = std::vector<int64_t>;

DecodePlan Plan(int64_t duration, const Positions& requested) {
    PlanRandom random;
    return MakeDecodePlan(duration, requested, random);
}

TEST(PlanRandom, FirstDrawsOfEveryJob) {
    PlanRandom random;
    std::vector<int> draws;
    for (int i = 0; i < 10; ++i) draws.push_back(random.NextPercent());
    EXPECT_EQ(draws, (std::vector<int>{41, 67, 34, 0, 69, 24, 78, 58, 62, 64}));
}

TEST(DecodePlan, EvenlySpacedTenMinutes) {
    const DecodePlan plan = Plan(600000000, {-1, -1, -1, -1});
    EXPECT_EQ(plan.last, 600000000);
    EXPECT_EQ(plan.step, 150000000);
    EXPECT_EQ(plan.positions, (Positions{75000000, 225000000, 375000000, 525000000}));
    EXPECT_EQ(plan.minGap, 37500000);
    EXPECT_EQ(plan.adjusted, 0);
    EXPECT_TRUE(plan.clamps.empty());
}

TEST(DecodePlan, RandomTenMinutesClampsTheZeroDrawAndRaisesTheCloseNeighbour) {
    const DecodePlan plan = Plan(600000000, {-2, -2, -2, -2});
    EXPECT_EQ(plan.unit, 5250000);
    ASSERT_EQ(plan.clamps.size(), 1u);
    EXPECT_EQ(plan.clamps[0], std::make_pair(int64_t{0}, int64_t{525000000}));
    EXPECT_EQ(plan.positions, (Positions{178500000, 216000000, 351750000, 525000000}));
    EXPECT_EQ(plan.adjusted, 1);
}

TEST(DecodePlan, ShortAndMediumMoviesLimitLast) {
    const DecodePlan three = Plan(30000000, {-1, -1, -1});
    EXPECT_EQ(three.last, 15000000);
    EXPECT_EQ(three.step, 10000000);
    EXPECT_EQ(three.positions, (Positions{5000000, 15000000, 25000000}));
    EXPECT_EQ(Plan(80000000, {-1}).last, 60000000);
    EXPECT_EQ(Plan(100000000, {-1}).last, 100000000);
    EXPECT_EQ(Plan(49999999, {-1}).last, 24999999);
}

TEST(DecodePlan, ZeroDurationClampsToOneAndKeepsTheMinimumGapUncapped) {
    const DecodePlan plan = Plan(0, {-1, -1});
    EXPECT_EQ(plan.positions, (Positions{1, 1000001}));
    EXPECT_EQ(plan.minGap, 1000000);
    ASSERT_EQ(plan.clamps.size(), 2u);
    EXPECT_EQ(plan.clamps[0], std::make_pair(int64_t{0}, int64_t{1}));
}

TEST(DecodePlan, ExplicitEqualEntriesAreSpreadByTheMinimumGap) {
    const DecodePlan plan = Plan(600000000, {5, 5, 5});
    EXPECT_TRUE(plan.clamps.empty());
    EXPECT_EQ(plan.minGap, 50000000);
    EXPECT_EQ(plan.positions, (Positions{5, 50000005, 100000005}));
    EXPECT_EQ(plan.adjusted, 2);
}

TEST(DecodePlan, ExplicitOneZeroAndNegativeBecomeTheirEvenlySpacedPosition) {
    const DecodePlan plan = Plan(600000000, {1, 0, -3});
    EXPECT_EQ(plan.positions, (Positions{100000000, 300000000, 500000000}));
    EXPECT_EQ(plan.clamps.size(), 3u);
}

TEST(DecodePlan, RaisedPositionsStopAtLastAndMayRepeatIt) {
    // 3 s: last is 1.5 s; explicit entries near it are raised and capped.
    const DecodePlan plan = Plan(30000000, {14000000, 14000000, 14000000});
    EXPECT_EQ(plan.positions, (Positions{14000000, 15000000, 15000000}));
    EXPECT_EQ(plan.adjusted, 2);
}

TEST(DecodePlan, RaisedPositionsNearTheInt64LimitSaturate) {
    constexpr int64_t kMax = INT64_MAX;
    // No last to cap at (duration 0): the raised position stops at the limit.
    EXPECT_EQ(Plan(0, {kMax, kMax - 5}).positions, (Positions{kMax - 5, kMax}));
    // With a last, the saturated position is capped there like any raised one.
    EXPECT_EQ(Plan(600000000, {kMax, kMax}).positions, (Positions{kMax, 600000000}));
}

TEST(DecodePlan, EmptyRequestGivesAnEmptyPlan) {
    EXPECT_TRUE(Plan(600000000, {}).positions.empty());
}

TEST(DecodePlan, PropertiesOverManyDurationsAndRequests) {
    const int64_t durations[] = {0, 1, 3, 49999999, 50000000, 99999999, 100000000, 120000000,
                                 7200LL * 10000000, 1LL << 50};
    const Positions entries[] = {{-1}, {-2, -2, -2, -2, -2, -2, -2, -2}, {-1, -2, 0, 7, -1},
                                 {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}};
    for (int64_t duration : durations) {
        for (const Positions& requested : entries) {
            const DecodePlan plan = Plan(duration, requested);
            ASSERT_EQ(plan.positions.size(), requested.size());
            EXPECT_TRUE(std::is_sorted(plan.positions.begin(), plan.positions.end()));
            for (int64_t p : plan.positions) EXPECT_GE(p, 1) << duration;
            for (size_t i = 1; i < plan.positions.size(); ++i) {
                const int64_t gap = plan.positions[i] - plan.positions[i - 1];
                // Either the minimum gap holds or the position sits at last.
                EXPECT_TRUE(gap >= plan.minGap || plan.positions[i] == plan.last) << duration;
            }
        }
    }
}

}  // namespace
