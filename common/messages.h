// The messages exchanged over the named pipes, and their byte format.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_stream.h"

enum MessageType : int32_t {
    DeleteRequest = 1,
    DecodeRequest = 2,
    ResponseDecode = 3,
    DecodePriorityRequest = 4,
};

// Results of read/write: 0 (S_OK) or E_FAIL for a payload that is malformed
// (negative or oversized counts or lengths, shorter than announced).
constexpr int kReadOk = 0;
constexpr int kReadRejected = static_cast<int>(0x80004005);

class SaveItemBase_CL {
public:
    virtual int write(ByteWriter& out) const = 0;
    virtual int read(ByteReader& in) = 0;

protected:
    ~SaveItemBase_CL() = default;
};

class KRB_RequestBase_CL : public SaveItemBase_CL {
public:
    explicit KRB_RequestBase_CL(int32_t type) : message_type(type) {}
    virtual ~KRB_RequestBase_CL() = default;

    int32_t message_type;
};

class KRB_RequestDecodeRequest_CL : public KRB_RequestBase_CL {
public:
    class DecodeItem_CL : public SaveItemBase_CL {
    public:
        int write(ByteWriter& out) const override;
        int read(ByteReader& in) override;

        int32_t request_id = 0;
        std::wstring movie_path;
        std::wstring output_path;
        std::vector<int64_t> positions;
    };

    KRB_RequestDecodeRequest_CL() : KRB_RequestBase_CL(DecodeRequest) {}
    int write(ByteWriter& out) const override;
    int read(ByteReader& in) override;

    int32_t clear_queue = 0;
    int32_t save_type = 0;
    int32_t frame_width = 0;
    int32_t frame_height = 0;
    std::vector<DecodeItem_CL> items;
};
using DecodeItem_CL = KRB_RequestDecodeRequest_CL::DecodeItem_CL;

class KRB_ResponseDecode_CL : public KRB_RequestBase_CL {
public:
    KRB_ResponseDecode_CL() : KRB_RequestBase_CL(ResponseDecode) {}
    int write(ByteWriter& out) const override;
    int read(ByteReader& in) override;

    int32_t request_id = 0;
    int32_t error_image_used = 0;
    int32_t decode_count = 0;
    int32_t request_count = 0;
    int64_t duration = 0;
    std::vector<int64_t> positions;
};

// Priority and delete requests share one layout; only message_type differs.
class KRB_RequestIdList_CL : public KRB_RequestBase_CL {
public:
    using KRB_RequestBase_CL::KRB_RequestBase_CL;
    int write(ByteWriter& out) const override;
    int read(ByteReader& in) override;

    std::vector<int32_t> request_ids;
};

class KRB_RequestDecodePriorityRequest_CL : public KRB_RequestIdList_CL {
public:
    KRB_RequestDecodePriorityRequest_CL() : KRB_RequestIdList_CL(DecodePriorityRequest) {}
};

class KRB_RequestDeleteRequest_CL : public KRB_RequestIdList_CL {
public:
    KRB_RequestDeleteRequest_CL() : KRB_RequestIdList_CL(DeleteRequest) {}
};

// The first int32 of the payload without consuming it; false for a payload
// shorter than four bytes.
bool peekMessageType(const ByteReader& in, int32_t& type);

// Serialises a message into the bytes of one pipe payload.
std::string ToPayload(const SaveItemBase_CL& message);
