// Wire format of the pipe messages: byte-exact layouts read and written back, rejection.
#include <gtest/gtest.h>

#include <cstring>

#include "common/messages.h"

namespace {

std::string Bytes(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 3) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// The documented example: clear the queue, JPEG, own size, item 1 "a.mp4" to "b.jpg" at
// two evenly spaced positions.
const std::string kExample = Bytes(
    "02 00 00 00 01 00 00 00 01 00 00 00 FF FF FF FF FF FF FF FF 01 00 00 00 01 00 00 00 "
    "05 00 00 00 61 00 2E 00 6D 00 70 00 34 00 00 00 05 00 00 00 62 00 2E 00 6A 00 70 00 67 00 00 00 "
    "02 00 00 00 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF");

std::unique_ptr<KRB_RequestBase_CL> Read(const std::string& bytes, int* result) {
    ByteReader in(bytes.data(), bytes.size());
    int32_t type = 0;
    std::unique_ptr<KRB_RequestBase_CL> m;
    if (peekMessageType(in, type) && type == DecodeRequest) m = std::make_unique<KRB_RequestDecodeRequest_CL>();
    if (type == ResponseDecode) m = std::make_unique<KRB_ResponseDecode_CL>();
    if (type == DeleteRequest) m = std::make_unique<KRB_RequestDeleteRequest_CL>();
    if (type == DecodePriorityRequest) m = std::make_unique<KRB_RequestDecodePriorityRequest_CL>();
    *result = m && m->read(in) == kReadOk && in.Remaining() == 0 ? kReadOk : kReadRejected;
    return m;
}

// Each message read and written back byte for byte; cut anywhere, rejected.
TEST(MessageFormat, LayoutsRoundTripAndMalformedAreRejected) {
    const std::string cases[] = {
        kExample,
        // Response: id 7, error image used, decode_count 2, request_count 3, duration, one position.
        Bytes("03 00 00 00 07 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 08 07 06 05 04 03 02 01 "
              "01 00 00 00 FE FF FF FF FF FF FF FF"),
        Bytes("01 00 00 00 02 00 00 00 05 00 00 00 F9 FF FF FF"),  // delete 5 and -7
        Bytes("04 00 00 00 01 00 00 00 05 00 00 00"),              // priority for 5
        // Item 9 with empty paths (six zero bytes each) and no positions.
        Bytes("02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 09 00 00 00 "
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
        Bytes("02 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),  // only clears
    };
    for (const std::string& bytes : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        int result = kReadRejected;
        auto message = Read(bytes, &result);
        ASSERT_EQ(result, kReadOk);
        EXPECT_EQ(ToPayload(*message), bytes);
        for (size_t cut = 0; cut < bytes.size(); ++cut) {
            Read(bytes.substr(0, cut), &result);  // only the bytes before the cut exist
            EXPECT_EQ(result, kReadRejected) << "cut at " << cut;
        }
    }
    // Read as told: the response's decode_count; negative and huge counts and lengths
    // (item count, movie and output path lengths, position count) are rejected.
    int result = kReadRejected;
    EXPECT_EQ(static_cast<KRB_ResponseDecode_CL&>(*Read(cases[1], &result)).decode_count, 2);
    for (size_t offset : {20, 28, 44, 60})
        for (int32_t bad : {-1, INT32_MIN, INT32_MAX, 0x10000000}) {
            std::string bytes = kExample;
            std::memcpy(&bytes[offset], &bad, 4);
            EXPECT_EQ((Read(bytes, &result), result), kReadRejected) << offset << " " << bad;
        }
}

}  // namespace
