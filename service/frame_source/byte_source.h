// Random access to a movie's bytes, for the readers of its headers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/scoped.h"

// Read fails (false) for any range not wholly inside the source.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    virtual bool Read(uint64_t offset, void* into, size_t count) = 0;
};

// Bytes in memory that the caller keeps alive.
class MemoryByteSource : public ByteSource {
public:
    MemoryByteSource(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, void* into, size_t count) override;

private:
    const uint8_t* bytes_;
    size_t size_;
};

// A movie file opened for reading; the size is taken once at opening (0 when it cannot be
// opened, so that every read fails).
class FileByteSource : public ByteSource {
public:
    explicit FileByteSource(const std::wstring& path);
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, void* into, size_t count) override;

private:
    UniqueHandle file_;
    uint64_t size_ = 0;
};
