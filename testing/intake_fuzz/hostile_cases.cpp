#include "testing/intake_fuzz/hostile_cases.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "common/messages.h"
#include "service/request_list.h"

namespace {

// splitmix64: small, fast and the same on every platform.
class CaseRandom {
public:
    explicit CaseRandom(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint64_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() % n); }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    template <typename T, size_t N>
    T Pick(const T (&values)[N]) { return values[Below(N)]; }

private:
    uint64_t state_;
};

std::wstring Text(CaseRandom& r) {
    // Path characters, Japanese, a lone surrogate, U+FFFF and an embedded NUL.
    static const wchar_t units[] = {L'a', L'Z', L'0', L'.', L' ', L'\\', L':', L'"', 0x3042, 0x52D5, 0xD800, 0xFFFF, 0};
    std::wstring text(r.OneIn(20) ? 300 : r.Below(24), L'\0');
    for (auto& c : text) c = r.Pick(units);
    return text;
}

// Small ids, so that deletes and priorities meet queued items.
int32_t Id(CaseRandom& r) { return r.OneIn(8) ? static_cast<int32_t>(r.Next()) : static_cast<int32_t>(r.Below(10)); }

std::vector<int64_t> Positions(CaseRandom& r) {
    static const int64_t special[] = {-1, -2, -3, 0, 1, 2, 120000000, INT64_MAX, INT64_MIN};
    std::vector<int64_t> positions(r.Below(5));
    for (auto& p : positions) p = r.OneIn(3) ? static_cast<int64_t>(r.Next()) : r.Pick(special);
    return positions;
}

int32_t Number(CaseRandom& r) {
    static const int32_t special[] = {-1, 0, 1, 2, 160, INT32_MAX, INT32_MIN};
    return r.OneIn(2) ? r.Pick(special) : static_cast<int32_t>(r.Next());
}

DecodeRequestItem_CL QueueItem(CaseRandom& r) {
    DecodeRequestItem_CL item;
    item.request_id = Id(r);
    item.decode_count = Number(r);
    item.error_image_used = Number(r);
    item.request_count = Number(r);
    item.requester_title = r.OneIn(2) ? std::wstring() : Text(r);
    item.item_marker = r.OneIn(2) ? kPipeItemMarker : Number(r);
    item.duration = static_cast<int64_t>(r.Next());
    item.movie_path = Text(r);
    item.save_type = Number(r);
    item.frame_width = Number(r);
    item.frame_height = Number(r);
    item.output_path = Text(r);
    item.positions = Positions(r);
    return item;
}

std::string DecodePayload(CaseRandom& r) {
    KRB_RequestDecodeRequest_CL request;
    request.clear_queue = r.OneIn(8) ? 1 : 0;
    request.save_type = static_cast<int32_t>(r.Below(3));
    request.frame_width = r.OneIn(2) ? -1 : Number(r);
    request.frame_height = r.OneIn(2) ? -1 : Number(r);
    request.items.resize(r.Below(4));
    for (auto& item : request.items) {
        item.request_id = Id(r);
        item.movie_path = Text(r);
        item.output_path = Text(r);
        item.positions = Positions(r);
    }
    return ToPayload(request);
}

template <class IdListRequest>
std::string IdList(CaseRandom& r) {
    IdListRequest request;
    request.request_ids.resize(r.Below(6));
    for (auto& id : request.request_ids) id = Id(r);
    return ToPayload(request);
}

std::string ResponsePayload(CaseRandom& r) {
    KRB_ResponseDecode_CL response;
    response.request_id = Id(r);
    response.error_image_used = Number(r);
    response.decode_count = Number(r);
    response.request_count = Number(r);
    response.duration = static_cast<int64_t>(r.Next());
    response.positions = Positions(r);
    return ToPayload(response);
}

std::string Noise(CaseRandom& r, size_t length) {
    std::string bytes(length, '\0');
    for (auto& b : bytes) b = static_cast<char>(r.Next());
    // Half of it starts like a message the service takes.
    if (length >= 4 && r.OneIn(2)) {
        static const int32_t types[] = {1, 2, 4};
        const int32_t type = r.Pick(types);
        std::memcpy(&bytes[0], &type, 4);
    }
    return bytes;
}

void PutI32(std::string& bytes, size_t offset, int32_t value) { std::memcpy(&bytes[offset], &value, 4); }

// Offsets of the int32 values that look like counts or lengths (0 to 4096); every
// count and length of the formats is among them.
std::vector<size_t> CountLikeOffsets(const std::string& bytes) {
    std::vector<size_t> offsets;
    for (size_t o = 0; o + 4 <= bytes.size(); ++o) {
        int32_t v;
        std::memcpy(&v, &bytes[o], 4);
        if (v >= 0 && v <= 4096) offsets.push_back(o);
    }
    return offsets;
}

// One mutation; appends what it did to `log`.
void Mutate(std::string& bytes, CaseRandom& r, std::string& log) {
    auto note = [&](const std::string& what) { log += (log.empty() ? "" : "+") + what; };
    switch (r.Below(7)) {
    case 0: {  // cut short
        const size_t keep = r.Below(bytes.size());
        bytes.resize(keep);
        note("cut(" + std::to_string(keep) + ")");
        break;
    }
    case 1: {  // bytes after the end
        const size_t extra = 1 + r.Below(64);
        bytes += Noise(r, extra);
        note("append(" + std::to_string(extra) + ")");
        break;
    }
    case 2: {  // bit flips
        const uint32_t flips = 1 + r.Below(4);
        for (uint32_t i = 0; i < flips && !bytes.empty(); ++i)
            bytes[r.Below(bytes.size())] ^= static_cast<char>(1u << r.Below(8));
        note("flip(" + std::to_string(flips) + ")");
        break;
    }
    case 3: {  // bytes set to edge values
        static const char values[] = {'\x00', '\xFF', '\x7F', '\x80'};
        for (uint32_t i = 0, n = 1 + r.Below(4); i < n && !bytes.empty(); ++i)
            bytes[r.Below(bytes.size())] = r.OneIn(5) ? static_cast<char>(r.Next()) : r.Pick(values);
        note("set");
        break;
    }
    case 4: {  // a count or length set to an extreme value
        const std::vector<size_t> offsets = CountLikeOffsets(bytes);
        if (bytes.size() < 4) break;
        const size_t at = offsets.empty() ? r.Below(bytes.size() - 3) : offsets[r.Below(offsets.size())];
        int32_t old;
        std::memcpy(&old, &bytes[at], 4);
        const int32_t remaining = static_cast<int32_t>(bytes.size() - at - 4);
        const int32_t values[] = {-1, INT32_MIN, INT32_MAX, 0x10000000, 0x3FFFFFFF, 0x7FFFFFFE,
                                  static_cast<int32_t>(static_cast<uint32_t>(old) + 1),
                                  static_cast<int32_t>(static_cast<uint32_t>(old) - 1), remaining / 2 + 1,
                                  remaining / 8 + 1, 0xFFFF};
        const int32_t value = r.Pick(values);
        PutI32(bytes, at, value);
        note("count@" + std::to_string(at) + "=" + std::to_string(value));
        break;
    }
    case 5: {  // a piece removed or repeated
        if (bytes.empty()) break;
        const size_t at = r.Below(bytes.size());
        const size_t length = 1 + r.Below(bytes.size() - at);
        if (r.OneIn(2)) {
            bytes.erase(at, length);
            note("erase(" + std::to_string(at) + "," + std::to_string(length) + ")");
        } else {
            bytes.insert(at, bytes.substr(at, length));
            note("repeat(" + std::to_string(at) + "," + std::to_string(length) + ")");
        }
        break;
    }
    default:  // noise instead
        bytes = Noise(r, r.Below(160));
        note("noise(" + std::to_string(bytes.size()) + ")");
        break;
    }
}

// A version file in either form; `version` and `url` get what it says.
std::string VersionFileBytes(CaseRandom& r, std::string& version, std::string& url) {
    static const char* const versions[] = {"1.0.0", "1.2.3.4", "2.0", "0.0.0.1", "9.99"};
    static const char* const urls[] = {"http://example.com/dl", "https://x/", "http://updates.example/s/setup.exe"};
    static const char* const blanks[] = {"", " ", "\t", "\r\n", "  "};
    version = r.Pick(versions);
    url = r.Pick(urls);
    if (r.OneIn(2)) {
        const auto pair = [&](const std::string& key, const std::string& value) {
            return "\"" + key + "\"" + r.Pick(blanks) + ":" + r.Pick(blanks) + "\"" + r.Pick(blanks) + value + "\"";
        };
        const std::string v = pair("version", version), u = pair("url", url);
        return "{" + std::string(r.Pick(blanks)) + (r.OneIn(2) ? v + ", " + u : u + ",\n" + v) + "}\n";
    }
    // Older form: seven bytes of version, a line break, the URL (notes after a NUL).
    const std::string head = (version + "       ").substr(0, 7);
    return head + "\r\n" + url + (r.OneIn(3) ? std::string("\0notes", 6) : std::string("\r\n"));
}

}  // namespace

const char* TargetName(IntakeTarget target) {
    static const char* const names[kIntakeTargetCount] = {"pipe decode", "pipe delete",     "pipe priority",
                                                          "pipe response", "pipe junk", "WM_COPYDATA item",
                                                          "queue file",  "version file"};
    return names[static_cast<int>(target)];
}

HostileCase MakeHostileCase(uint64_t seed, uint64_t index) {
    CaseRandom r(seed * 0xD1B54A32D192ED03ull ^ index);
    r.Next();
    HostileCase c;
    c.target = static_cast<IntakeTarget>(index % kIntakeTargetCount);
    switch (c.target) {
    case IntakeTarget::PipeDecode: c.bytes = DecodePayload(r); break;
    case IntakeTarget::PipeDelete: c.bytes = IdList<KRB_RequestDeleteRequest_CL>(r); break;
    case IntakeTarget::PipePriority: c.bytes = IdList<KRB_RequestDecodePriorityRequest_CL>(r); break;
    case IntakeTarget::PipeResponse: c.bytes = ResponsePayload(r); break;
    case IntakeTarget::PipeJunk: c.bytes = Noise(r, r.Below(96)); break;
    case IntakeTarget::CopyDataItem: {
        ByteWriter out;
        QueueItem(r).write(out);
        c.bytes = out.Bytes();
        c.itemsBefore = 1;
        break;
    }
    case IntakeTarget::QueueFile: {
        std::vector<DecodeRequestItem_CL> items(r.Below(4));
        for (auto& item : items) item = QueueItem(r);
        c.bytes = DecodeRequestList_CL::Serialize(items);
        c.itemsBefore = static_cast<int>(items.size());
        break;
    }
    case IntakeTarget::VersionFile: c.bytes = VersionFileBytes(r, c.version, c.url); break;
    }
    if (r.OneIn(10)) {
        c.mutation = "none";
        return c;
    }
    for (uint32_t i = 0, n = 1 + r.Below(3); i < n; ++i) Mutate(c.bytes, r, c.mutation);
    // A body up to the size the client reads at most (1 MiB), swollen at any point.
    if (c.target == IntakeTarget::VersionFile && r.OneIn(20)) {
        const size_t size = r.OneIn(2) ? 65536 : 1u << 20;
        const size_t at = r.Below(c.bytes.size() + 1);
        c.bytes.insert(at, std::string(size - std::min(size, c.bytes.size()), r.OneIn(2) ? 'x' : '"'));
        c.mutation += "+swell(" + std::to_string(at) + ")";
    }
    if (c.mutation.empty()) c.mutation = "none";
    return c;
}
