// A copy of some bytes that ends exactly where a no-access page begins, so that a
// reader that goes one byte past the end faults at once instead of reading whatever
// happens to lie there.
#pragma once
#include <cstddef>
#include <string>

class GuardedBytes {
public:
    explicit GuardedBytes(const std::string& bytes);
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    // Null when the memory could not be set up.
    const unsigned char* data() const { return data_; }
    size_t size() const { return size_; }
    // True when the page right after the last byte is committed and not accessible.
    bool Guarded() const;

private:
    void* region_ = nullptr;
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
};
