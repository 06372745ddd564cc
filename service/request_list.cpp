#include "service/request_list.h"

#include <algorithm>

#include "common/scoped.h"
#include "service/logs.h"

int DecodeRequestItem_CL::write(ByteWriter& out) const {
    out.PutI32(request_id);
    out.PutI32(decode_count);
    out.PutI32(error_image_used);
    out.PutI32(request_count);
    out.PutWString(requester_title);
    out.PutI32(item_marker);
    out.PutI64(duration);
    out.PutWString(movie_path);
    out.PutWString(output_path);
    out.PutI32(save_type);
    out.PutI32(frame_width);
    out.PutI32(frame_height);
    out.PutI64Vector(positions);
    return 0;
}

int DecodeRequestItem_CL::read(ByteReader& in) {
    in.GetI32(request_id) && in.GetI32(decode_count) && in.GetI32(error_image_used) &&
        in.GetI32(request_count) && in.GetWString(requester_title) && in.GetI32(item_marker) &&
        in.GetI64(duration) && in.GetWString(movie_path) && in.GetWString(output_path) &&
        in.GetI32(save_type) && in.GetI32(frame_width) && in.GetI32(frame_height) &&
        in.GetI64Vector(positions);
    return in.Failed() ? kReadRejected : kReadOk;
}

DecodeRequestItem_CL DecodeRequestItem_CL::FromPipeRequest(
    const KRB_RequestDecodeRequest_CL& request, const DecodeItem_CL& item) {
    DecodeRequestItem_CL result;
    result.request_id = item.request_id;
    result.movie_path = item.movie_path;
    result.output_path = item.output_path;
    result.positions = item.positions;
    result.request_count = static_cast<int32_t>(item.positions.size());
    result.item_marker = kPipeItemMarker;
    result.save_type = request.save_type;
    result.frame_width = request.frame_width;
    result.frame_height = request.frame_height;
    return result;
}

void DecodeRequestList_CL::Append(const DecodeRequestItem_CL& item) {
    Lock_CL lock(mutex.handle);
    items_.push_back(item);
    items_.back().serial = ++lastSerial_;
}

bool DecodeRequestList_CL::PeekHead(DecodeRequestItem_CL& item) {
    Lock_CL lock(mutex.handle);
    if (items_.empty()) return false;
    item = items_.front();
    item.request_count = static_cast<int32_t>(items_.size());
    return true;
}

void DecodeRequestList_CL::RemoveHead() {
    Lock_CL lock(mutex.handle);
    if (!items_.empty()) items_.erase(items_.begin());
}

bool DecodeRequestList_CL::RemoveHeadIf(uint64_t serial) {
    Lock_CL lock(mutex.handle);
    if (items_.empty() || items_.front().serial != serial) return false;
    items_.erase(items_.begin());
    return true;
}

void DecodeRequestList_CL::RemoveWaiting(const std::vector<int32_t>& ids) {
    Lock_CL lock(mutex.handle);
    for (int32_t id : ids) {
        if (items_.size() < 2) break;
        auto it = std::find_if(items_.begin() + 1, items_.end(),
                               [id](const DecodeRequestItem_CL& i) { return i.request_id == id; });
        if (it != items_.end()) items_.erase(it);
    }
}

void DecodeRequestList_CL::ClearWaiting() {
    Lock_CL lock(mutex.handle);
    if (items_.size() >= 2) items_.erase(items_.begin() + 1, items_.end());
}

void DecodeRequestList_CL::Prioritize(std::vector<int32_t> ids) {
    Lock_CL lock(mutex.handle);
    if (items_.size() < 2) return;
    std::vector<DecodeRequestItem_CL> moved;
    size_t cursor = 1;
    while (cursor < items_.size() && !ids.empty()) {
        auto id = std::find(ids.begin(), ids.end(), items_[cursor].request_id);
        if (id == ids.end()) {
            ++cursor;
            continue;
        }
        moved.push_back(std::move(items_[cursor]));
        ids.erase(id);
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(cursor));
    }
    items_.insert(items_.begin() + 1, std::make_move_iterator(moved.begin()),
                  std::make_move_iterator(moved.end()));
}

size_t DecodeRequestList_CL::Size() {
    Lock_CL lock(mutex.handle);
    return items_.size();
}

std::vector<DecodeRequestItem_CL> DecodeRequestList_CL::Snapshot() {
    Lock_CL lock(mutex.handle);
    return items_;
}

std::string DecodeRequestList_CL::Serialize(const std::vector<DecodeRequestItem_CL>& items) {
    ByteWriter out;
    out.PutI32(QUEUE_FILE_VERSION);
    out.PutI32(static_cast<int32_t>(items.size()));
    for (const auto& item : items) item.write(out);
    return out.Bytes();
}

bool DecodeRequestList_CL::Parse(const void* bytes, size_t size, std::vector<DecodeRequestItem_CL>& items) {
    items.clear();
    ByteReader in(bytes, size);
    int32_t version = 0;
    int32_t count = 0;
    // The smallest item takes 62 bytes (three empty strings, no positions).
    if (!in.GetI32(version) || version != QUEUE_FILE_VERSION || !in.GetCount(count, 62)) return false;
    std::vector<DecodeRequestItem_CL> parsed(static_cast<size_t>(count));
    for (auto& item : parsed)
        if (item.read(in) != kReadOk) return false;
    if (in.Remaining() != 0) return false;
    items = std::move(parsed);
    return true;
}

HRESULT DecodeRequestList_CL::Save(const std::wstring& path) {
    Lock_CL lock(mutex.handle);
    const std::string bytes = Serialize(items_);
    const std::wstring temporary = path + L".tmp";
    {
        UniqueHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return E_FAIL;
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr) ||
            written != bytes.size() || !FlushFileBuffers(file.get())) {
            file.reset();
            DeleteFileW(temporary.c_str());
            return E_FAIL;
        }
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return E_FAIL;
    }
    return S_OK;
}

std::wstring DecodeRequestList_CL::RejectedQueuePath(const std::wstring& path, int attempt) {
    return path + L".rejected" + (attempt > 1 ? L"-" + std::to_wstring(attempt) : std::wstring());
}

namespace {
// Far beyond any real queue; a larger file is not read into memory.
constexpr LONGLONG kMaxQueueFileBytes = 256 * 1024 * 1024;

// Reads the whole file; false when it cannot be read or is too large to be a queue.
bool ReadQueueFile(HANDLE file, std::string& bytes) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > kMaxQueueFileBytes) return false;
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    return bytes.empty() ||
           (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size());
}

// Moves a queue file that cannot be loaded out of the way of the next save.
void SetAside(const std::wstring& path) {
    DWORD error = 0;
    for (int attempt = 1; attempt <= 1000; ++attempt) {
        const std::wstring aside = DecodeRequestList_CL::RejectedQueuePath(path, attempt);
        if (MoveFileExW(path.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) {
            WriteLog(decodeListLog, L"(queue) 読み込めないキューファイルを退避(%s)", aside.c_str());
            return;
        }
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
    }
    WriteLog(decodeListLog, L"(queue) 読み込めないキューファイルを退避できない(%s) error=%u", path.c_str(), error);
}
}  // namespace

HRESULT DecodeRequestList_CL::Load(const std::wstring& path) {
    Lock_CL lock(mutex.handle);
    items_.clear();
    {
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return E_FAIL;
        std::string bytes;
        // An empty file holds nothing to keep.
        if (ReadQueueFile(file.get(), bytes) && (bytes.empty() || Parse(bytes, items_))) {
            for (auto& item : items_) item.serial = ++lastSerial_;
            return items_.empty() ? E_FAIL : S_OK;
        }
    }
    SetAside(path);
    return E_FAIL;
}
