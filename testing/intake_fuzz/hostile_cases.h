// Seeded, reproducible hostile inputs for the service's intake (well-formed pipe
// payloads, WM_COPYDATA items and queue files) and for Snapwick's version file (both
// forms, as its update server sends it over plain HTTP), then cut, lengthened,
// bit-flipped, spliced, given extreme counts and lengths, swollen, or replaced by noise.
#pragma once
#include <cstdint>
#include <string>

enum class IntakeTarget {
    PipeDecode, PipeDelete, PipePriority, PipeResponse, PipeJunk, CopyDataItem, QueueFile, VersionFile
};
constexpr int kIntakeTargetCount = 8;
const char* TargetName(IntakeTarget target);
inline bool IsPipeTarget(IntakeTarget target) {
    return target != IntakeTarget::CopyDataItem && target != IntakeTarget::QueueFile &&
           target != IntakeTarget::VersionFile;
}

struct HostileCase {
    IntakeTarget target = IntakeTarget::PipeJunk;
    std::string bytes;
    std::string mutation;  // what was done to the well-formed input; "none" for nothing
    int itemsBefore = 0;   // queue items the input held before it was mutated
    std::string version;   // what a version file said before it was mutated
    std::string url;
};

// Case `index` of the run `seed`: the same pair always gives the same case. The
// targets take turns; one case in ten is left well-formed.
HostileCase MakeHostileCase(uint64_t seed, uint64_t index);
