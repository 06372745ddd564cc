#include "common/messages.h"

namespace {
int Result(const ByteReader& in) { return in.Failed() ? kReadRejected : kReadOk; }
}  // namespace

int DecodeItem_CL::write(ByteWriter& out) const {
    out.PutI32(request_id);
    out.PutWString(movie_path);
    out.PutWString(output_path);
    out.PutI64Vector(positions);
    return 0;
}

int DecodeItem_CL::read(ByteReader& in) {
    in.GetI32(request_id) && in.GetWString(movie_path) && in.GetWString(output_path) &&
        in.GetI64Vector(positions);
    return Result(in);
}

int KRB_RequestDecodeRequest_CL::write(ByteWriter& out) const {
    out.PutI32(message_type);
    out.PutI32(clear_queue);
    out.PutI32(save_type);
    out.PutI32(frame_width);
    out.PutI32(frame_height);
    out.PutI32(static_cast<int32_t>(items.size()));
    for (const auto& item : items) item.write(out);
    return 0;
}

int KRB_RequestDecodeRequest_CL::read(ByteReader& in) {
    items.clear();
    int32_t count = 0;
    // An item takes at least 4 + 6 + 6 + 4 bytes.
    if (!(in.GetI32(message_type) && in.GetI32(clear_queue) && in.GetI32(save_type) &&
          in.GetI32(frame_width) && in.GetI32(frame_height) && in.GetCount(count, 20)))
        return Result(in);
    items.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        DecodeItem_CL item;
        if (item.read(in) != kReadOk) return kReadRejected;
        items.push_back(std::move(item));
    }
    return Result(in);
}

int KRB_ResponseDecode_CL::write(ByteWriter& out) const {
    out.PutI32(message_type);
    out.PutI32(request_id);
    out.PutI32(error_image_used);
    out.PutI32(decode_count);
    out.PutI32(request_count);
    out.PutI64(duration);
    out.PutI64Vector(positions);
    return 0;
}

int KRB_ResponseDecode_CL::read(ByteReader& in) {
    in.GetI32(message_type) && in.GetI32(request_id) && in.GetI32(error_image_used) &&
        in.GetI32(decode_count) && in.GetI32(request_count) && in.GetI64(duration) &&
        in.GetI64Vector(positions);
    return Result(in);
}

int KRB_RequestIdList_CL::write(ByteWriter& out) const {
    out.PutI32(message_type);
    out.PutI32Vector(request_ids);
    return 0;
}

int KRB_RequestIdList_CL::read(ByteReader& in) {
    in.GetI32(message_type) && in.GetI32Vector(request_ids);
    return Result(in);
}

bool peekMessageType(const ByteReader& in, int32_t& type) { return in.PeekI32(type); }

std::string ToPayload(const SaveItemBase_CL& message) {
    ByteWriter out;
    message.write(out);
    return out.Bytes();
}
