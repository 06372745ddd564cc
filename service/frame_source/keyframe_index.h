// Where a movie's keyframes lie, from its container's own index (MP4 and QuickTime:
// the video track's sync samples). A frame after the one a source holds, with no keyframe
// in between, costs less to decode on to than to seek to: a seek decodes again from the
// keyframe before it. The index only chooses between the two; the frame is the same.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "service/frame_source/byte_source.h"

class KeyframeIndex {
public:
    KeyframeIndex() = default;  // unknown
    // Keyframe times in 100 ns units, in rising order.
    explicit KeyframeIndex(std::vector<int64_t> times) : times_(std::move(times)) {}

    bool Known() const { return !times_.empty(); }
    // Whether a keyframe lies in (after, upTo]; true when the index is unknown.
    bool KeyframeBetween(int64_t after, int64_t upTo) const;
    // The last keyframe at or before a time; -1 when unknown or there is none.
    int64_t KeyframeAtOrBefore(int64_t time) const;
    // Which keyframe interval a time lies in: the number of keyframes at or before it;
    // -1 when the index is unknown.
    int64_t IntervalOf(int64_t time) const;

private:
    std::vector<int64_t> times_;
};

// Unknown for other containers, for a video track whose every frame is a keyframe (no
// sync sample table), and for tables that are odd or too large to read.
KeyframeIndex ReadKeyframeIndex(ByteSource& source);
KeyframeIndex ReadKeyframeIndex(const std::wstring& moviePath);
