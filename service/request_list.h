// The service's queue of thumbnail items and its file.
#pragma once
#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_stream.h"
#include "common/messages.h"
#include "common/mutex.h"

constexpr int32_t QUEUE_FILE_VERSION = 0x00010000;
constexpr int32_t kPipeItemMarker = 0x514B5257;

class DecodeRequestItem_CL {
public:
    virtual ~DecodeRequestItem_CL() = default;
    virtual int write(ByteWriter& out) const;
    // 0, or E_FAIL when the bytes do not hold one whole item.
    virtual int read(ByteReader& in);

    // An item for one entry of a decode request that came through the pipe.
    static DecodeRequestItem_CL FromPipeRequest(const KRB_RequestDecodeRequest_CL& request,
                                                const DecodeItem_CL& item);

    int32_t request_id = 0;
    int32_t decode_count = 0;
    int32_t error_image_used = 0;
    int32_t request_count = 0;
    std::wstring requester_title;
    int32_t item_marker = 0;
    int64_t duration = 0;
    std::wstring movie_path;
    int32_t save_type = 0;
    int32_t frame_width = 0;
    int32_t frame_height = 0;
    std::wstring output_path;
    std::vector<int64_t> positions;
    // Not part of the byte format: which queued item this is, unique in the process
    // (set when the item enters the queue, by Append or Load).
    uint64_t serial = 0;
};

// Every operation holds the named queue mutex for its whole duration.
class DecodeRequestList_CL {
public:
    DecodeRequestList_CL() = default;
    DecodeRequestList_CL(const DecodeRequestList_CL&) = delete;
    DecodeRequestList_CL& operator=(const DecodeRequestList_CL&) = delete;
    virtual ~DecodeRequestList_CL() = default;

    void Append(const DecodeRequestItem_CL& item);
    // A copy of the head whose request_count is the queue's length; false when empty.
    bool PeekHead(DecodeRequestItem_CL& item);
    void RemoveHead();
    // Removes the head only when it is the item with that serial.
    bool RemoveHeadIf(uint64_t serial);
    // Removes, per id in list order, the first waiting item (index 1 on) with that id.
    void RemoveWaiting(const std::vector<int32_t>& ids);
    // Removes every item but the head.
    void ClearWaiting();
    // Moves the waiting items named by ids right behind the head, keeping their order.
    void Prioritize(std::vector<int32_t> ids);
    size_t Size();

    // The queue file. Save writes a temporary file and renames it over the old one,
    // so an interrupted save never leaves a cut-off queue.
    HRESULT Save(const std::wstring& path);
    // Loads the file; S_OK when it held at least one item. A file that is missing or
    // empty leaves the queue empty (E_FAIL). So does one that fails validation (another
    // version, counts or lengths beyond its end, bytes after the last item): it is
    // renamed to RejectedQueuePath(path), so that no later save overwrites what it held.
    HRESULT Load(const std::wstring& path);
    // path + ".rejected", or ".rejected-2" and up while those exist.
    static std::wstring RejectedQueuePath(const std::wstring& path, int attempt = 1);

    // The queue's bytes as Save writes them, and their parser; for the file and tests.
    // Parse is false, leaving items empty, for bytes that are not exactly one queue file.
    static std::string Serialize(const std::vector<DecodeRequestItem_CL>& items);
    static bool Parse(const void* bytes, size_t size, std::vector<DecodeRequestItem_CL>& items);
    static bool Parse(const std::string& bytes, std::vector<DecodeRequestItem_CL>& items) {
        return Parse(bytes.data(), bytes.size(), items);
    }

    std::vector<DecodeRequestItem_CL> Snapshot();

    Mutex_CL mutex;

private:
    std::vector<DecodeRequestItem_CL> items_;
    uint64_t lastSerial_ = 0;
};
