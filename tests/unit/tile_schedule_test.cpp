// Which tiles a job's frame sources may decode: how many sources, and the schedule
// that keeps decoding ahead of drawing in bounds and the timeout abort in plan order.
#include <gtest/gtest.h>

#include "service/thumbnail_decode/source_count.h"
#include "service/thumbnail_decode/tile_schedule.h"

namespace {

TEST(SourceCount, SettingCoresAndMemoryBudget) {
    const struct {
        int setting, cores, width, height, sources;
    } cases[] = {
        {1, 16, 1920, 1080, 1},   // one at a time, as before
        {3, 2, 1920, 1080, 3},    // by hand, whatever the cores
        {9, 2, 1920, 1080, 4},    // at most 4
        {0, 2, 1920, 1080, 2},    // one per core
        {0, 16, 1920, 1080, 4},   // up to 4
        {-1, 1, 1920, 1080, 1},
        {0, 16, 3840, 2160, 2},   // 4K: 199 MB a source within 512 MiB
        {0, 16, 7680, 4320, 1},   // 8K: one source over budget still decodes
        {0, 16, 0, 0, 1},         // size unknown (Media Foundation route)
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseSourceCount(c.setting, c.cores, c.width, c.height).sources, c.sources)
            << c.setting << " " << c.cores << " " << c.width << "x" << c.height;
    // Tiles decoded ahead of drawing: frames within 128 MiB, at least two per source.
    EXPECT_EQ(TilesAhead(2, 10, 1920, 1080), 10);
    EXPECT_EQ(TilesAhead(2, 40, 1920, 1080), 16);
    EXPECT_EQ(TilesAhead(2, 40, 3840, 2160), 4);
    EXPECT_EQ(TilesAhead(3, 40, 0, 0), 6);
}

TileOutcome Result(DecodeFrameResult result) {
    TileOutcome outcome;
    outcome.result = result;
    return outcome;
}

// Steps of sources and job: 'c' claims (expecting `value`, -1 for none), 's', 't', 'f'
// complete tile `value` with success, timeout or failure, 'r' hands it back, 'd' marks
// `value` tiles drawn, 'x' stops.
TEST(TileSchedule, ClaimsInOrderWithinTheWindowAndTheTimeoutRun) {
    struct Step {
        char op;
        int value;
    };
    const struct {
        const char* name;
        int count, abortLimit, ahead;
        std::vector<Step> steps;
    } cases[] = {
        {"lowest first, at most `ahead` past the drawn tiles", 6, 0, 4,
         {{'c', 0}, {'c', 1}, {'c', 2}, {'c', 3}, {'c', -1}, {'s', 1}, {'c', -1}, {'d', 1}, {'c', 4}, {'d', 3},
          {'c', 5}, {'c', -1}}},
        {"a tile handed back is taken first", 4, 0, 4, {{'c', 0}, {'c', 1}, {'c', 2}, {'r', 1}, {'c', 1}, {'c', 3}}},
        {"no tile past a run that may still abort", 8, 3, 8,
         {{'c', 0}, {'c', 1}, {'c', 2}, {'c', -1}, {'t', 0}, {'t', 1}, {'c', -1}, {'s', 2}, {'c', 3}, {'c', 4},
          {'c', 5}, {'t', 3}, {'t', 4}, {'c', -1}, {'f', 5}, {'c', 6}}},
        {"limit 0 never holds back", 5, 0, 5, {{'c', 0}, {'c', 1}, {'t', 0}, {'t', 1}, {'c', 2}, {'c', 3}, {'c', 4}}},
        {"nothing after a stop", 3, 3, 3, {{'c', 0}, {'x', 0}, {'c', -1}, {'r', 0}, {'c', -1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TileSchedule schedule(c.count, c.abortLimit, c.ahead);
        int n = 0;
        for (const Step& step : c.steps) {
            SCOPED_TRACE(testing::Message() << "step " << ++n << " " << step.op << step.value);
            switch (step.op) {
                case 'c': EXPECT_EQ(schedule.Claim(), step.value); break;
                case 's': schedule.Complete(step.value, Result(Success)); break;
                case 't': schedule.Complete(step.value, Result(Timeout)); break;
                case 'f': schedule.Complete(step.value, Result(Failed)); break;
                case 'r': schedule.Release(step.value); break;
                case 'd': schedule.Drawn(step.value); break;
                default: schedule.Stop(); break;
            }
            if (step.op == 's' || step.op == 't' || step.op == 'f') {
                EXPECT_TRUE(schedule.Done(step.value));
                EXPECT_EQ(schedule.Take(step.value).result, step.op == 's' ? Success : step.op == 't' ? Timeout : Failed);
            }
        }
    }
}

}  // namespace
