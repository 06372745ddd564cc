// Wire format of the pipe messages: byte-exact layout, round trips, rejection.
#include <gtest/gtest.h>

#include <cstring>

#include "common/messages.h"

namespace {

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

KRB_RequestDecodeRequest_CL ExampleRequest() {
    KRB_RequestDecodeRequest_CL request;
    request.clear_queue = 1;
    request.save_type = 1;
    request.frame_width = -1;
    request.frame_height = -1;
    DecodeItem_CL item;
    item.request_id = 1;
    item.movie_path = L"a.mp4";
    item.output_path = L"b.jpg";
    item.positions = {-1, -1};
    request.items.push_back(item);
    return request;
}

TEST(MessageFormat, DecodeRequestMatchesTheDocumentedExampleByteForByte) {
    const std::string expected =
        "02 00 00 00 01 00 00 00 01 00 00 00 FF FF FF FF FF FF FF FF 01 00 00 00 "
        "01 00 00 00 "
        "05 00 00 00 61 00 2E 00 6D 00 70 00 34 00 00 00 "
        "05 00 00 00 62 00 2E 00 6A 00 70 00 67 00 00 00 "
        "02 00 00 00 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF";
    EXPECT_EQ(Hex(ToPayload(ExampleRequest())), expected);
}

TEST(MessageFormat, ResponseDeleteAndPriorityLayouts) {
    KRB_ResponseDecode_CL response;
    response.request_id = 7;
    response.error_image_used = 1;
    response.decode_count = 2;
    response.request_count = 3;
    response.duration = 0x0102030405060708LL;
    response.positions = {-2};
    EXPECT_EQ(Hex(ToPayload(response)),
              "03 00 00 00 07 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 "
              "08 07 06 05 04 03 02 01 01 00 00 00 FE FF FF FF FF FF FF FF");
    // Delete and priority requests differ only in their first four bytes.
    KRB_RequestDeleteRequest_CL remove;
    KRB_RequestDecodePriorityRequest_CL priority;
    remove.request_ids = priority.request_ids = {5, -7};
    const std::string a = ToPayload(remove), b = ToPayload(priority);
    EXPECT_EQ(Hex(a), "01 00 00 00 02 00 00 00 05 00 00 00 F9 FF FF FF");
    EXPECT_EQ(a.substr(4), b.substr(4));
    EXPECT_EQ(b[0], 4);
}

// An empty string is six zero bytes; one with a NUL inside reads up to it. Either way
// the whole announced length is consumed.
TEST(MessageFormat, EmptyStringsAndEmbeddedNuls) {
    for (const std::wstring& text : {std::wstring(), std::wstring(L"ab\0cd", 5)}) {
        ByteWriter out;
        out.PutWString(text);
        if (text.empty()) {
            EXPECT_EQ(Hex(out.Bytes()), "00 00 00 00 00 00");
        }
        std::wstring back = L"x";
        ByteReader in(out.Bytes().data(), out.Bytes().size());
        ASSERT_TRUE(in.GetWString(back));
        EXPECT_EQ(back, text.substr(0, 2));  // "" or "ab"
        EXPECT_EQ(in.Remaining(), 0u);
    }
}

TEST(MessageRoundTrip, DecodeRequestsReadBackUnchanged) {
    KRB_RequestDecodeRequest_CL request = ExampleRequest();
    request.items.push_back(request.items[0]);
    request.items[1].request_id = -9;
    request.items[1].movie_path = L"C:\\動画 フォルダ\\映画.mp4";
    request.items[1].positions = {};
    request.items[0].positions = {-2, 0, 9223372036854775807LL};
    const std::string bytes = ToPayload(request);
    ByteReader in(bytes.data(), bytes.size());
    int32_t type = 0;
    ASSERT_TRUE(peekMessageType(in, type));
    EXPECT_EQ(type, DecodeRequest);
    KRB_RequestDecodeRequest_CL back;
    back.items.resize(5);  // read replaces what was there
    ASSERT_EQ(back.read(in), kReadOk);
    EXPECT_EQ(in.Remaining(), 0u);
    EXPECT_EQ(ToPayload(back), bytes);
    ASSERT_EQ(back.items.size(), 2u);
    EXPECT_EQ(back.items[1].movie_path, request.items[1].movie_path);
    EXPECT_EQ(back.items[0].positions, request.items[0].positions);

    // No items at all is a request too: one that only clears the queue.
    KRB_RequestDecodeRequest_CL clear;
    clear.clear_queue = 1;
    const std::string clearBytes = ToPayload(clear);
    ByteReader clearIn(clearBytes.data(), clearBytes.size());
    ASSERT_EQ(back.read(clearIn), kReadOk);
    EXPECT_EQ(back.clear_queue, 1);
    EXPECT_TRUE(back.items.empty());
}

TEST(MessageRejection, EveryTruncationOfEveryMessageIsRejected) {
    KRB_ResponseDecode_CL response;
    response.positions = {1, 2};
    KRB_RequestDeleteRequest_CL remove;
    remove.request_ids = {1, 2, 3};
    const std::string payloads[] = {ToPayload(ExampleRequest()), ToPayload(response),
                                    ToPayload(remove)};
    for (const std::string& full : payloads) {
        for (size_t cut = 0; cut < full.size(); ++cut) {
            // Only the bytes before the cut exist: a copy keeps reads honest.
            std::string part = full.substr(0, cut);
            ByteReader in(part.data(), part.size());
            int32_t type = 0;
            std::unique_ptr<KRB_RequestBase_CL> message;
            if (!peekMessageType(in, type)) {
                EXPECT_LT(cut, 4u);
                continue;
            }
            if (type == DecodeRequest) message.reset(new KRB_RequestDecodeRequest_CL);
            if (type == ResponseDecode) message.reset(new KRB_ResponseDecode_CL);
            if (type == DeleteRequest) message.reset(new KRB_RequestDeleteRequest_CL);
            ASSERT_TRUE(message);
            EXPECT_EQ(message->read(in), kReadRejected) << "cut at " << cut;
        }
    }
}

void PatchI32(std::string& bytes, size_t offset, int32_t value) {
    std::memcpy(&bytes[offset], &value, 4);
}

TEST(MessageRejection, NegativeAndHugeCountsAndLengthsAreRejected) {
    const std::string good = ToPayload(ExampleRequest());
    // Offsets: item count 20, movie path length 28, output path length 44, positions 60.
    for (size_t offset : {20u, 28u, 44u, 60u}) {
        for (int32_t bad : {-1, INT32_MIN, INT32_MAX, 0x10000000}) {
            std::string bytes = good;
            PatchI32(bytes, offset, bad);
            ByteReader in(bytes.data(), bytes.size());
            KRB_RequestDecodeRequest_CL request;
            EXPECT_EQ(request.read(in), kReadRejected) << "offset " << offset << " value " << bad;
        }
    }
    KRB_RequestDecodePriorityRequest_CL priority;
    priority.request_ids = {1};
    std::string bytes = ToPayload(priority);
    PatchI32(bytes, 4, 2);  // announces two ids, carries one
    ByteReader in(bytes.data(), bytes.size());
    EXPECT_EQ(priority.read(in), kReadRejected);
}

}  // namespace
