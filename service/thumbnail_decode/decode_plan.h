// Which movie positions a job decodes: pure 64-bit integer arithmetic, no Windows calls.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

// The job's own random generator: the same draws in every job.
class PlanRandom {
public:
    // The next percentage, 0 to 99.
    int NextPercent();

private:
    uint32_t state_ = 1;
};

struct DecodePlan {
    int64_t duration = 0;
    int64_t last = 0;
    int64_t step = 0;
    int64_t half = 0;
    int64_t unit = 0;
    int64_t minGap = 0;
    // One position per requested entry, ascending; tile i shows positions[i].
    std::vector<int64_t> positions;
    // Entries below 2 that were replaced: (old, new), in entry order.
    std::vector<std::pair<int64_t, int64_t>> clamps;
    // Positions raised to keep the minimum gap.
    int adjusted = 0;
};

// Requested entries: -1 evenly spaced, -2 random, anything else that position.
// An empty request gives an empty plan.
DecodePlan MakeDecodePlan(int64_t duration, const std::vector<int64_t>& requested,
                          PlanRandom& random);
