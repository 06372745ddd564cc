// Bounded reading of a movie's headers for the display geometry readers: every read is
// checked against the source's size, and the bytes read and the boxes or elements visited
// are capped, so that a hostile file costs little and ends the reading cleanly.
#pragma once
#include <cstddef>
#include <cstdint>

#include "service/frame_source/byte_source.h"

// Deeper than any box or element path the readers follow.
constexpr int kMaxHeaderDepth = 12;

class HeaderReader {
public:
    explicit HeaderReader(ByteSource& source) : source_(source), size_(source.Size()) {}
    uint64_t Size() const { return size_; }
    // False when the range is not wholly inside the source or the byte budget is spent.
    bool Read(uint64_t offset, void* into, size_t count);
    // A big-endian unsigned number of 1 to 8 bytes.
    bool ReadBigEndian(uint64_t offset, size_t count, uint64_t* value);
    // Counts one more box or element; false once too many were visited.
    bool Visit() { return ++visits_ <= kMaxVisits; }

private:
    static constexpr int kMaxVisits = 10000;
    static constexpr uint64_t kMaxBytesRead = 1 << 20;
    ByteSource& source_;
    uint64_t size_;
    uint64_t bytesRead_ = 0;
    int visits_ = 0;
};

// What a container's headers say, before it is checked and reduced.
struct RawGeometry {
    int rotation = 0;
    uint64_t aspectX = 1;
    uint64_t aspectY = 1;
};

// Each returns false when the headers are odd anywhere on the way to the first video
// track; properties that the track leaves unknown keep their defaults.
bool ReadIsoMediaGeometry(HeaderReader& reader, RawGeometry* geometry);  // MP4, MOV
bool ReadMatroskaGeometry(HeaderReader& reader, RawGeometry* geometry);  // Matroska, WebM
