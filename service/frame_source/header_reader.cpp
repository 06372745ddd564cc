#include "service/frame_source/header_reader.h"

bool HeaderReader::Read(uint64_t offset, void* into, size_t count) {
    if (offset > size_ || count > size_ - offset) return false;
    if (count > kMaxBytesRead - bytesRead_) return false;
    bytesRead_ += count;
    return source_.Read(offset, into, count);
}

bool HeaderReader::ReadBigEndian(uint64_t offset, size_t count, uint64_t* value) {
    uint8_t bytes[8];
    if (count < 1 || count > sizeof bytes || !Read(offset, bytes, count)) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < count; ++i) v = (v << 8) | bytes[i];
    *value = v;
    return true;
}
