// A copy of some bytes that ends exactly where a no-access page begins, so that a
// reader that goes one byte past the end faults at once instead of reading whatever
// happens to lie there.
#pragma once
#include <windows.h>
#include <cstring>
#include <string>

class GuardedBytes {
public:
    explicit GuardedBytes(const std::string& bytes) : size_(bytes.size()) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const size_t page = info.dwPageSize, dataBytes = (size_ + page - 1) / page * page;
        region_ = VirtualAlloc(nullptr, dataBytes + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        DWORD old = 0;
        if (!region_ || !VirtualProtect(static_cast<unsigned char*>(region_) + dataBytes, page, PAGE_NOACCESS, &old)) return;
        data_ = static_cast<unsigned char*>(region_) + dataBytes - size_;
        if (size_) std::memcpy(data_, bytes.data(), size_);
    }
    ~GuardedBytes() {
        if (region_) VirtualFree(region_, 0, MEM_RELEASE);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    // Null when the memory could not be set up.
    const unsigned char* data() const { return data_; }
    size_t size() const { return size_; }
    // True when the page right after the last byte is committed and not accessible.
    bool Guarded() const {
        MEMORY_BASIC_INFORMATION info = {};
        return data_ && VirtualQuery(data_ + size_, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT &&
               info.Protect == PAGE_NOACCESS;
    }

private:
    void* region_ = nullptr;
    unsigned char* data_ = nullptr;
    size_t size_ = 0;
};
