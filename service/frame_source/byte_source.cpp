#include "service/frame_source/byte_source.h"

#include <cstring>

bool MemoryByteSource::Read(uint64_t offset, void* into, size_t count) {
    if (offset > size_ || count > size_ - offset) return false;
    if (count > 0) std::memcpy(into, bytes_ + offset, count);
    return true;
}
