#include "common/byte_stream.h"

#include <cstring>
#include <type_traits>

namespace {
template <typename T>
void ToLittleEndian(T v, unsigned char* out) {
    auto u = static_cast<std::make_unsigned_t<T>>(v);
    for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<unsigned char>(u >> (8 * i));
}
template <typename T>
T FromLittleEndian(const unsigned char* in) {
    std::make_unsigned_t<T> u = 0;
    for (size_t i = 0; i < sizeof(T); ++i) u |= static_cast<std::make_unsigned_t<T>>(in[i]) << (8 * i);
    return static_cast<T>(u);
}
}  // namespace

void ByteWriter::PutI32(int32_t v) {
    unsigned char b[4];
    ToLittleEndian(v, b);
    Put(b, 4);
}

void ByteWriter::PutI64(int64_t v) {
    unsigned char b[8];
    ToLittleEndian(v, b);
    Put(b, 8);
}

void ByteWriter::PutWString(const std::wstring& s) {
    PutI32(static_cast<int32_t>(s.size()));
    for (wchar_t c : s) {
        unsigned char b[2] = {static_cast<unsigned char>(c & 0xFF),
                              static_cast<unsigned char>((c >> 8) & 0xFF)};
        Put(b, 2);
    }
    const unsigned char terminator[2] = {0, 0};
    Put(terminator, 2);
}

void ByteWriter::PutI32Vector(const std::vector<int32_t>& v) {
    PutI32(static_cast<int32_t>(v.size()));
    for (int32_t x : v) PutI32(x);
}

void ByteWriter::PutI64Vector(const std::vector<int64_t>& v) {
    PutI32(static_cast<int32_t>(v.size()));
    for (int64_t x : v) PutI64(x);
}

bool ByteReader::Take(void* out, size_t n) {
    if (failed_ || n > Remaining()) {
        failed_ = true;
        return false;
    }
    std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return true;
}

bool ByteReader::GetI32(int32_t& v) {
    unsigned char b[4];
    if (!Take(b, 4)) return false;
    v = FromLittleEndian<int32_t>(b);
    return true;
}

bool ByteReader::GetI64(int64_t& v) {
    unsigned char b[8];
    if (!Take(b, 8)) return false;
    v = FromLittleEndian<int64_t>(b);
    return true;
}

bool ByteReader::PeekI32(int32_t& v) const {
    if (failed_ || Remaining() < 4) return false;
    v = FromLittleEndian<int32_t>(data_ + pos_);
    return true;
}

bool ByteReader::GetCount(int32_t& n, size_t minElementBytes) {
    if (!GetI32(n)) return false;
    if (n < 0 || static_cast<uint64_t>(n) * minElementBytes > Remaining()) {
        failed_ = true;
        return false;
    }
    return true;
}

bool ByteReader::GetWString(std::wstring& s) {
    int32_t length = 0;
    if (!GetI32(length)) return false;
    // Code units plus the terminator must still be there.
    if (length < 0 || (static_cast<uint64_t>(length) + 1) * 2 > Remaining()) {
        failed_ = true;
        return false;
    }
    s.clear();
    bool ended = false;
    for (int32_t i = 0; i <= length; ++i) {
        const unsigned char* p = data_ + pos_ + 2 * static_cast<size_t>(i);
        wchar_t c = static_cast<wchar_t>(p[0] | (p[1] << 8));
        if (c == 0) ended = true;
        if (!ended) s.push_back(c);
    }
    pos_ += (static_cast<size_t>(length) + 1) * 2;
    return true;
}

bool ByteReader::GetI32Vector(std::vector<int32_t>& v) {
    v.clear();
    int32_t n = 0;
    if (!GetCount(n, 4)) return false;
    v.resize(static_cast<size_t>(n));
    for (auto& x : v)
        if (!GetI32(x)) return false;
    return true;
}

bool ByteReader::GetI64Vector(std::vector<int64_t>& v) {
    v.clear();
    int32_t n = 0;
    if (!GetCount(n, 8)) return false;
    v.resize(static_cast<size_t>(n));
    for (auto& x : v)
        if (!GetI64(x)) return false;
    return true;
}
