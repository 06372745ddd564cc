#include "testing/intake_fuzz/guarded_bytes.h"

#include <windows.h>
#include <cstring>

namespace {
size_t PageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}
}  // namespace

GuardedBytes::GuardedBytes(const std::string& bytes) : size_(bytes.size()) {
    const size_t page = PageSize();
    const size_t dataBytes = (bytes.size() + page - 1) / page * page;
    region_ = VirtualAlloc(nullptr, dataBytes + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!region_) return;
    auto* guard = static_cast<unsigned char*>(region_) + dataBytes;
    DWORD old = 0;
    if (!VirtualProtect(guard, page, PAGE_NOACCESS, &old)) return;
    unsigned char* start = guard - bytes.size();
    if (!bytes.empty()) std::memcpy(start, bytes.data(), bytes.size());
    data_ = start;
}

GuardedBytes::~GuardedBytes() {
    if (region_) VirtualFree(region_, 0, MEM_RELEASE);
}

bool GuardedBytes::Guarded() const {
    MEMORY_BASIC_INFORMATION info = {};
    return data_ && VirtualQuery(data_ + size_, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT &&
           info.Protect == PAGE_NOACCESS;
}
