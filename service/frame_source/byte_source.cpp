#include "service/frame_source/byte_source.h"

#include <windows.h>
#include <algorithm>
#include <cstring>

bool MemoryByteSource::Read(uint64_t offset, void* into, size_t count) {
    if (offset > size_ || count > size_ - offset) return false;
    if (count > 0) std::memcpy(into, bytes_ + offset, count);
    return true;
}

FileByteSource::FileByteSource(const std::wstring& path)
    : file_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    LARGE_INTEGER size = {};
    if (file_ && GetFileSizeEx(file_.get(), &size) && size.QuadPart > 0) size_ = static_cast<uint64_t>(size.QuadPart);
}

bool FileByteSource::Read(uint64_t offset, void* into, size_t count) {
    if (offset > size_ || count > size_ - offset) return false;
    auto* out = static_cast<unsigned char*>(into);
    while (count > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 20));
        DWORD got = 0;
        if (!ReadFile(file_.get(), out, chunk, &got, &at) || got == 0) return false;
        out += got;
        offset += got;
        count -= got;
    }
    return true;
}
