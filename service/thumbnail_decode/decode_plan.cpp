#include "service/thumbnail_decode/decode_plan.h"

#include <algorithm>
#include <cstdint>

int PlanRandom::NextPercent() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 0x7FFF) % 100;
}

namespace {
constexpr int64_t kShortMovie = 50000000;    // 5 s
constexpr int64_t kMediumMovie = 100000000;  // 10 s
constexpr int64_t kSmallestGap = 1000000;    // 0.1 s
}  // namespace

DecodePlan MakeDecodePlan(int64_t duration, const std::vector<int64_t>& requested,
                          PlanRandom& random) {
    DecodePlan plan;
    plan.duration = duration;
    const int64_t count = static_cast<int64_t>(requested.size());
    if (count == 0) return plan;

    plan.last = duration;
    if (duration < kShortMovie)
        plan.last = duration / 2;
    else if (duration < kMediumMovie)
        plan.last = duration * 3 / 4;
    plan.step = duration / count;
    plan.half = plan.step / 2;
    plan.unit = (plan.last - plan.half) / 100;

    int64_t cur = plan.half;
    for (int64_t p : requested) {
        int64_t v = p;
        if (p == -1)
            v = cur;
        else if (p == -2)
            v = random.NextPercent() * plan.unit;
        if (v < 2) {
            const int64_t replacement = cur <= 0 ? 1 : cur;
            plan.clamps.emplace_back(v, replacement);
            v = replacement;
        }
        plan.positions.push_back(v);
        cur += plan.step;
    }
    std::sort(plan.positions.begin(), plan.positions.end());

    plan.minGap = std::max(plan.step / 4, kSmallestGap);
    for (size_t i = 1; i < plan.positions.size(); ++i) {
        if (plan.positions[i] - plan.positions[i - 1] < plan.minGap) {
            // Explicit positions may lie anywhere up to the int64 limit: stop there.
            const int64_t previous = plan.positions[i - 1];
            plan.positions[i] = previous > INT64_MAX - plan.minGap ? INT64_MAX : previous + plan.minGap;
            if (plan.last > 0 && plan.positions[i] > plan.last) plan.positions[i] = plan.last;
            ++plan.adjusted;
        }
    }
    return plan;
}
