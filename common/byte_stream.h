// Little-endian byte streams for the message, queue-file and WM_COPYDATA formats.
// The reader checks every count and length against the bytes that remain, so a
// malformed payload is rejected without reading past its end.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ByteWriter {
public:
    void PutI32(int32_t v);
    void PutI64(int64_t v);
    // int32 length in code units, the code units, one 0x0000 terminator.
    void PutWString(const std::wstring& s);
    void PutI32Vector(const std::vector<int32_t>& v);
    void PutI64Vector(const std::vector<int64_t>& v);

    const std::string& Bytes() const { return bytes_; }

private:
    void Put(const void* p, size_t n) { bytes_.append(static_cast<const char*>(p), n); }
    std::string bytes_;
};

class ByteReader {
public:
    ByteReader(const void* data, size_t size)
        : data_(static_cast<const unsigned char*>(data)), size_(size) {}

    // Each getter returns false, and leaves the reader failed, when the bytes
    // that remain cannot hold what is announced.
    bool GetI32(int32_t& v);
    bool GetI64(int64_t& v);
    // Keeps the text up to the first 0x0000 unit.
    bool GetWString(std::wstring& s);
    bool GetI32Vector(std::vector<int32_t>& v);
    bool GetI64Vector(std::vector<int64_t>& v);
    // Reads a count for elements of at least minElementBytes each.
    bool GetCount(int32_t& n, size_t minElementBytes);

    // The next int32 without consuming it; false when fewer than 4 bytes remain.
    bool PeekI32(int32_t& v) const;

    size_t Remaining() const { return size_ - pos_; }
    bool Failed() const { return failed_; }

private:
    bool Take(void* out, size_t n);
    const unsigned char* data_;
    size_t size_;
    size_t pos_ = 0;
    bool failed_ = false;
};
