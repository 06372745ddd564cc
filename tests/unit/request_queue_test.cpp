// The queue's operations and its file format, without a service around them.
#include <gtest/gtest.h>

#include <cstring>

#include "service/request_list.h"

namespace {

DecodeRequestItem_CL Item(int32_t id, const std::wstring& movie = L"m.mp4") {
    DecodeRequestItem_CL item;
    item.request_id = id;
    item.movie_path = movie;
    item.output_path = L"out.jpg";
    item.positions = {-1, -1};
    return item;
}

std::vector<int32_t> Ids(DecodeRequestList_CL& queue) {
    std::vector<int32_t> ids;
    for (const auto& item : queue.Snapshot()) ids.push_back(item.request_id);
    return ids;
}

class Queue : public ::testing::Test {
protected:
    void SetUp() override { queue.mutex.Reset(CreateMutexW(nullptr, FALSE, nullptr)); }
    void Fill(std::initializer_list<int32_t> ids) {
        for (int32_t id : ids) queue.Append(Item(id));
    }
    DecodeRequestList_CL queue;
};

// Priority moves the named items behind the head in queue order; each id moves at most
// one item, and unknown ids and the head's id change nothing. Delete removes one waiting
// item per listed id, never the head.
TEST_F(Queue, PriorityAndDeleteLeaveTheHeadFirst) {
    Fill({100, 9, 7, 5});
    queue.Prioritize({5, 7});
    EXPECT_EQ(Ids(queue), (std::vector<int32_t>{100, 7, 5, 9}));
    queue.Prioritize({9, 42, 100});
    EXPECT_EQ(Ids(queue), (std::vector<int32_t>{100, 9, 7, 5}));
    queue.RemoveWaiting({100, 7, 7});
    EXPECT_EQ(Ids(queue), (std::vector<int32_t>{100, 9, 5}));

    queue.ClearWaiting();
    Fill({4, 4});
    queue.RemoveWaiting({4});
    EXPECT_EQ(Ids(queue), (std::vector<int32_t>{100, 4}));
    queue.RemoveWaiting({4, 4, 100});
    EXPECT_EQ(Ids(queue), (std::vector<int32_t>{100}));
}

TEST_F(Queue, ClearKeepsOnlyTheHeadAndSmallQueuesAreUntouched) {
    queue.ClearWaiting();
    queue.RemoveWaiting({1});
    queue.Prioritize({1});
    EXPECT_TRUE(Ids(queue).empty());
    Fill({1});
    queue.ClearWaiting();
    queue.RemoveWaiting({1});
    queue.Prioritize({1});
    EXPECT_EQ(Ids(queue), (std::vector<int32_t>{1}));
    Fill({2, 3});
    queue.ClearWaiting();
    EXPECT_EQ(Ids(queue), (std::vector<int32_t>{1}));
}

TEST(QueueFile, LayoutIsByteExact) {
    EXPECT_EQ(DecodeRequestList_CL::Serialize({}), std::string("\x00\x00\x01\x00\x00\x00\x00\x00", 8));
    DecodeRequestItem_CL item;
    item.request_id = 1;
    item.decode_count = 2;
    item.error_image_used = 3;
    item.request_count = 4;
    item.requester_title = L"T";
    item.item_marker = kPipeItemMarker;
    item.duration = 5;
    item.movie_path = L"m";
    item.output_path = L"";
    item.save_type = 6;
    item.frame_width = -1;
    item.frame_height = 7;
    item.positions = {-2};
    const std::string bytes = DecodeRequestList_CL::Serialize({item});
    const std::string expected = std::string(
        "\x00\x00\x01\x00" "\x01\x00\x00\x00"
        "\x01\x00\x00\x00" "\x02\x00\x00\x00" "\x03\x00\x00\x00" "\x04\x00\x00\x00"
        "\x01\x00\x00\x00" "T\x00\x00\x00"
        "\x57\x52\x4B\x51"
        "\x05\x00\x00\x00\x00\x00\x00\x00"
        "\x01\x00\x00\x00" "m\x00\x00\x00"
        "\x00\x00\x00\x00" "\x00\x00"
        "\x06\x00\x00\x00" "\xFF\xFF\xFF\xFF" "\x07\x00\x00\x00"
        "\x01\x00\x00\x00" "\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF",
        4 + 4 + 16 + 8 + 4 + 8 + 8 + 6 + 12 + 12);
    EXPECT_EQ(bytes, expected);
    std::vector<DecodeRequestItem_CL> back;
    ASSERT_TRUE(DecodeRequestList_CL::Parse(bytes, back));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(DecodeRequestList_CL::Serialize(back), bytes);
}

TEST(QueueFile, InvalidFilesParseAsNothing) {
    std::vector<DecodeRequestItem_CL> items;
    const std::string good = DecodeRequestList_CL::Serialize({Item(1), Item(2, L"日本語.mp4")});
    ASSERT_TRUE(DecodeRequestList_CL::Parse(good, items));
    EXPECT_EQ(items.size(), 2u);

    // An empty queue is a valid file that holds nothing; bytes after the last item are not.
    EXPECT_TRUE(DecodeRequestList_CL::Parse(DecodeRequestList_CL::Serialize({}), items));
    EXPECT_TRUE(items.empty());
    EXPECT_FALSE(DecodeRequestList_CL::Parse(good + '\0', items));
    std::string wrongVersion = good;
    wrongVersion[2] = 2;
    EXPECT_FALSE(DecodeRequestList_CL::Parse(wrongVersion, items));
    for (size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_FALSE(DecodeRequestList_CL::Parse(good.substr(0, cut), items)) << cut;
    // Negative and huge counts and lengths: item count, title length, position count.
    const size_t positionsOffset = 90;  // the first item's position count
    for (size_t offset : {size_t{4}, size_t{24}, positionsOffset}) {
        for (int32_t bad : {-1, INT32_MIN, INT32_MAX}) {
            std::string corrupt = good;
            std::memcpy(&corrupt[offset], &bad, 4);
            EXPECT_FALSE(DecodeRequestList_CL::Parse(corrupt, items)) << offset << " " << bad;
            EXPECT_TRUE(items.empty());
        }
    }
}

}  // namespace
