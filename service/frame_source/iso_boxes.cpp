#include "service/frame_source/iso_boxes.h"

bool ReadBox(HeaderReader& reader, uint64_t at, uint64_t limit, Box* box) {
    uint64_t size = 0, type = 0, header = 8;
    if (!reader.Visit() || limit - at < header || !reader.ReadBigEndian(at, 4, &size) ||
        !reader.ReadBigEndian(at + 4, 4, &type))
        return false;
    if (size == 1) {  // 64-bit size after the type
        header = 16;
        if (limit - at < header || !reader.ReadBigEndian(at + 8, 8, &size)) return false;
    } else if (size == 0) {  // to the end of what holds it
        size = limit - at;
    }
    if (size < header || size > limit - at) return false;
    box->type = static_cast<uint32_t>(type);
    box->payload = at + header;
    box->end = at + size;
    return true;
}

bool ReadHandlerType(HeaderReader& reader, const Box& hdlr, uint32_t* type) {
    uint64_t handler = 0;
    if (hdlr.end - hdlr.payload < 12 || !reader.ReadBigEndian(hdlr.payload + 8, 4, &handler)) return false;
    *type = static_cast<uint32_t>(handler);
    return true;
}
