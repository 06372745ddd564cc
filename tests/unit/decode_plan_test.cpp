// A job's plan: the decode plan's worked examples, and the schedule of its tiles that
// keeps decoding ahead of drawing in bounds and the timeout abort in plan order.
#include <gtest/gtest.h>

#include <sstream>

#include "service/thumbnail_decode/decode_plan.h"
#include "service/thumbnail_decode/tile_schedule.h"

namespace {

using Positions = std::vector<int64_t>;

TEST(DecodePlan, WorkedExamples) {
    constexpr int64_t kMax = INT64_MAX;
    const struct {
        int64_t duration;
        Positions requested, positions;
        int64_t last, minGap, adjusted, clamps;  // -1: not checked
    } cases[] = {
        {600000000, {-1, -1, -1, -1}, {75000000, 225000000, 375000000, 525000000}, 600000000, 37500000, 0, 0},
        // Every job's draws start 41, 67, 34, 0: the zero draw is clamped, its neighbour raised.
        {600000000, {-2, -2, -2, -2}, {178500000, 216000000, 351750000, 525000000}, -1, -1, 1, 1},
        {30000000, {-1, -1, -1}, {5000000, 15000000, 25000000}, 15000000, -1, 0, 0},  // short: last limited
        {80000000, {-1}, {40000000}, 60000000, -1, 0, 0},                              // medium
        {0, {-1, -1}, {1, 1000001}, -1, 1000000, 1, 2},  // clamped to 1, the minimum gap not capped
        {600000000, {5, 5, 5}, {5, 50000005, 100000005}, -1, 50000000, 2, 0},  // spread by the minimum gap
        {600000000, {1, 0, -3}, {100000000, 300000000, 500000000}, -1, -1, 0, 3},  // evenly spaced instead
        {30000000, {14000000, 14000000, 14000000}, {14000000, 15000000, 15000000}, -1, -1, 2, 0},  // stop at last
        {0, {kMax, kMax - 5}, {kMax - 5, kMax}, -1, -1, -1, 0},  // raised positions saturate
        {600000000, {kMax, kMax}, {kMax, 600000000}, -1, -1, -1, 0},
    };
    for (const auto& c : cases) {
        PlanRandom random;
        const DecodePlan plan = MakeDecodePlan(c.duration, c.requested, random);
        const int64_t told[] = {plan.last, plan.minGap, plan.adjusted, static_cast<int64_t>(plan.clamps.size())};
        const int64_t want[] = {c.last, c.minGap, c.adjusted, c.clamps};
        EXPECT_EQ(plan.positions, c.positions) << c.duration << " " << testing::PrintToString(c.requested);
        for (int i = 0; i < 4; ++i) EXPECT_TRUE(want[i] < 0 || want[i] == told[i]) << &c - cases << ": " << i << " " << told[i];
    }
}

// Steps of sources and job: "c3" claims for source 1 expecting tile 3 ("c-": none; "c3/2"
// for source 2); "s1", "t1", "f1" complete tile 1 with success, timeout or failure; "r1"
// hands it back; "d2" marks two tiles drawn; "l2" ends source 2; "x" stops. Intervals:
// each tile's keyframe interval, by letter ('-': unknown).
TEST(TileSchedule, ClaimsInOrderWithinTheWindowAndTheTimeoutRun) {
    const struct {
        const char* name;
        int count, abortLimit, ahead;
        const char* steps;
        const char* intervals;
    } cases[] = {
        {"lowest first, at most `ahead` past the drawn tiles", 6, 0, 4, "c0 c1 c2 c3 c- s1 c- d1 c4 d3 c5 c-", ""},
        {"a tile handed back is taken first", 4, 0, 4, "c0 c1 c2 r1 c1 c3", ""},
        {"no tile past a run that may still abort", 8, 3, 8, "c0 c1 c2 c- t0 t1 c- s2 c3 c4 c5 t3 t4 c- f5 c6", ""},
        {"limit 0 never holds back", 5, 0, 5, "c0 c1 t0 t1 c2 c3 c4", ""},
        {"nothing after a stop", 3, 3, 3, "c0 x c- r0 c-", ""},
        {"a source goes on within its keyframe interval; the others leave that to it", 6, 0, 6,
         "c0 c2/2 c4/3 s0 c1 s1 c- s2 c3/2 l3 c5", "aabbcc"},
        {"unknown intervals and a new interval are taken lowest first", 4, 0, 4, "c0 c1/2 s1/2 c2/2 s0 c3", "a--b"},
        {"an ended source's interval is free again", 3, 0, 3, "c0/2 s0/2 c- l2 c1", "aaa"},
        {"the window holds for the next tile of an interval too", 4, 0, 2, "c0 s0 c1 s1 c- d2 c2", "aaaa"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int64_t> intervals;
        for (const char* i = c.intervals; *i; ++i) intervals.push_back(*i == '-' ? -1 : *i - 'a');
        TileSchedule schedule(c.count, c.abortLimit, c.ahead, intervals);
        std::istringstream steps(c.steps);
        for (std::string step; steps >> step;) {
            SCOPED_TRACE(step);
            const int value = step.size() > 1 && step[1] != '-' ? std::stoi(step.substr(1)) : -1;
            const size_t slash = step.find('/');
            const int source = slash == std::string::npos ? 1 : std::stoi(step.substr(slash + 1));
            TileOutcome outcome;
            const DecodeFrameResult result = outcome.result = step[0] == 's' ? Success : step[0] == 't' ? Timeout : Failed;
            if (step[0] == 'c') { EXPECT_EQ(schedule.Claim(source), value); }
            if (step[0] == 'l') schedule.Leave(value);
            if (step[0] == 'r') schedule.Release(value);
            if (step[0] == 'd') schedule.Drawn(value);
            if (step[0] == 'x') schedule.Stop();
            if (std::string("stf").find(step[0]) == std::string::npos) continue;
            schedule.Complete(value, std::move(outcome));
            EXPECT_TRUE(schedule.Done(value));
            EXPECT_EQ(schedule.Take(value).result, result);
        }
    }
}

}  // namespace
