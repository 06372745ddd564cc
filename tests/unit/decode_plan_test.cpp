// The decode plan: the worked examples and properties over many inputs.
#include <gtest/gtest.h>

#include <algorithm>

#include "service/thumbnail_decode/decode_plan.h"

namespace {

using Positions = std::vector<int64_t>;

DecodePlan Plan(int64_t duration, const Positions& requested) {
    PlanRandom random;
    return MakeDecodePlan(duration, requested, random);
}

// The worked examples: positions, and the plan's figures where they are told.
TEST(DecodePlan, WorkedExamples) {
    constexpr int64_t kMax = INT64_MAX;
    const struct {
        int64_t duration;
        Positions requested, positions;
        int64_t last, minGap;  // -1: not checked
        int adjusted;
        size_t clamps;
    } cases[] = {
        {600000000, {-1, -1, -1, -1}, {75000000, 225000000, 375000000, 525000000}, 600000000, 37500000, 0, 0},
        // Every job's draws start 41, 67, 34, 0: the zero draw is clamped, and its close
        // neighbour raised.
        {600000000, {-2, -2, -2, -2}, {178500000, 216000000, 351750000, 525000000}, -1, -1, 1, 1},
        // Short and medium movies limit last.
        {30000000, {-1, -1, -1}, {5000000, 15000000, 25000000}, 15000000, -1, 0, 0},
        {80000000, {-1}, {40000000}, 60000000, -1, 0, 0},
        {100000000, {-1}, {50000000}, 100000000, -1, 0, 0},
        {49999999, {-1}, {24999999}, 24999999, -1, 0, 0},
        // Zero duration: clamped to 1, and the minimum gap is not capped.
        {0, {-1, -1}, {1, 1000001}, -1, 1000000, 1, 2},
        // Explicit equal entries are spread by the minimum gap.
        {600000000, {5, 5, 5}, {5, 50000005, 100000005}, -1, 50000000, 2, 0},
        // 1, 0 and negative entries become their evenly spaced position.
        {600000000, {1, 0, -3}, {100000000, 300000000, 500000000}, -1, -1, 0, 3},
        // Raised positions stop at last (1.5 s of 3 s) and may repeat it.
        {30000000, {14000000, 14000000, 14000000}, {14000000, 15000000, 15000000}, -1, -1, 2, 0},
        // Near the int64 limit: raised positions saturate, then are capped at last if any.
        {0, {kMax, kMax - 5}, {kMax - 5, kMax}, -1, -1, -1, 0},
        {600000000, {kMax, kMax}, {kMax, 600000000}, -1, -1, -1, 0},
        {600000000, {}, {}, -1, -1, 0, 0},
    };
    const auto asTold = [](int64_t told, int64_t value) { return told < 0 || told == value; };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.duration << " " << testing::PrintToString(c.requested));
        const DecodePlan plan = Plan(c.duration, c.requested);
        EXPECT_EQ(plan.positions, c.positions);
        EXPECT_TRUE(asTold(c.last, plan.last)) << plan.last;
        EXPECT_TRUE(asTold(c.minGap, plan.minGap)) << plan.minGap;
        EXPECT_TRUE(asTold(c.adjusted, plan.adjusted)) << plan.adjusted;
        EXPECT_EQ(plan.clamps.size(), c.clamps);
    }
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
