// The queue's operations and its file format, without a service around them.
#include <gtest/gtest.h>

#include <cstring>

#include "service/request_list.h"

namespace {

DecodeRequestItem_CL Item(int32_t id, const std::wstring& movie = L"m.mp4") {
    DecodeRequestItem_CL item;
    item.request_id = id, item.movie_path = movie, item.positions = {-1, -1};
    return item;
}

// Steps: 'a' appends, 'p' prioritises, 'd' deletes, 'c' clears the waiting items; then
// the ids in order. The head is the running job: it never moves nor goes.
TEST(Queue, OperationsLeaveTheHeadFirst) {
    using Ids = std::vector<int32_t>;
    const struct {
        char op;
        Ids ids, after;
    } steps[] = {
        {'c', {}, {}}, {'d', {1}, {}}, {'p', {1}, {}}, {'a', {1}, {1}}, {'c', {}, {1}}, {'d', {1}, {1}}, {'p', {1}, {1}},
        {'a', {2}, {1, 2}}, {'c', {}, {1}},  // the head and exactly one waiting item
        {'a', {9, 7, 5}, {1, 9, 7, 5}}, {'p', {5, 7}, {1, 7, 5, 9}}, {'p', {9, 42, 1}, {1, 9, 7, 5}},
        {'d', {1, 7, 7}, {1, 9, 5}}, {'c', {}, {1}}, {'a', {4, 4}, {1, 4, 4}}, {'d', {4}, {1, 4}}, {'d', {4, 4, 1}, {1}},
    };
    DecodeRequestList_CL queue;
    queue.mutex.Reset(CreateMutexW(nullptr, FALSE, nullptr));
    for (const auto& s : steps) {
        if (s.op == 'a') for (int32_t id : s.ids) queue.Append(Item(id));
        if (s.op == 'p') queue.Prioritize(s.ids);
        if (s.op == 'd') queue.RemoveWaiting(s.ids);
        if (s.op == 'c') queue.ClearWaiting();
        Ids ids;
        for (const auto& item : queue.Snapshot()) ids.push_back(item.request_id);
        EXPECT_EQ(ids, s.after) << "step " << &s - steps << " " << s.op;
    }
}

// Byte for byte; read back unchanged. Not a queue file: another version, bytes after the
// last item, any cut, negative or huge counts and lengths (items, title, positions).
TEST(QueueFile, LayoutIsByteExactAndInvalidFilesParseAsNothing) {
    DecodeRequestItem_CL item = Item(1, L"m");
    item.decode_count = 2, item.error_image_used = 3, item.request_count = 4, item.requester_title = L"T";
    item.item_marker = kPipeItemMarker, item.duration = 5, item.save_type = 6, item.frame_width = -1;
    item.frame_height = 7, item.positions = {-2};
    const std::string bytes = DecodeRequestList_CL::Serialize({item});
    EXPECT_EQ(bytes, std::string("\x00\x00\x01\x00" "\x01\x00\x00\x00"
                                 "\x01\x00\x00\x00" "\x02\x00\x00\x00" "\x03\x00\x00\x00" "\x04\x00\x00\x00"
                                 "\x01\x00\x00\x00" "T\x00\x00\x00" "\x57\x52\x4B\x51" "\x05\x00\x00\x00\x00\x00\x00\x00"
                                 "\x01\x00\x00\x00" "m\x00\x00\x00" "\x00\x00\x00\x00" "\x00\x00"
                                 "\x06\x00\x00\x00" "\xFF\xFF\xFF\xFF" "\x07\x00\x00\x00"
                                 "\x01\x00\x00\x00" "\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 82));
    std::vector<DecodeRequestItem_CL> items;
    ASSERT_TRUE(DecodeRequestList_CL::Parse(bytes, items));
    EXPECT_EQ(DecodeRequestList_CL::Serialize(items), bytes);
    const std::string good = DecodeRequestList_CL::Serialize({Item(1), Item(2, L"日本語.mp4")});
    ASSERT_TRUE(DecodeRequestList_CL::Parse(good, items) && items.size() == 2u);
    std::vector<std::string> bad = {good + '\0', good};
    bad[1][2] = 2;
    for (size_t cut = 0; cut < good.size(); ++cut) bad.push_back(good.substr(0, cut));
    for (size_t offset : {4, 24, 76})
        for (int32_t value : {-1, INT32_MIN, INT32_MAX}) std::memcpy(&(bad.emplace_back(good))[offset], &value, 4);
    for (const std::string& b : bad) {
        EXPECT_FALSE(DecodeRequestList_CL::Parse(b, items)) << testing::PrintToString(b);
        EXPECT_TRUE(items.empty());
    }
}

}  // namespace
