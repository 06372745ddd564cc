#include "testing/intake_fuzz/intake_fuzzer.h"

#include <algorithm>
#include <map>

#include "client/update/version_file.h"
#include "testing/intake_fuzz/guarded_bytes.h"

namespace {

const wchar_t kWindowClass[] = L"TessaloomIntakeFuzz";

using Items = std::vector<DecodeRequestItem_CL>;

std::string Bytes(const DecodeRequestItem_CL& item) {
    ByteWriter out;
    item.write(out);
    return out.Bytes();
}

std::vector<std::string> AllBytes(const Items& items) {
    std::vector<std::string> all;
    for (const auto& item : items) all.push_back(Bytes(item));
    return all;
}

// The items of `before` that `after` no longer holds (as many times as they went).
Items Missing(const Items& before, const Items& after) {
    std::map<std::string, int> left;
    for (const auto& item : after) ++left[Bytes(item)];
    Items missing;
    for (const auto& item : before)
        if (--left[Bytes(item)] < 0) missing.push_back(item);
    return missing;
}

bool SameHead(const Items& a, const Items& b) { return !a.empty() && !b.empty() && Bytes(a[0]) == Bytes(b[0]); }

std::string ReadAll(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (file && ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

bool WriteAll(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

DecodeItem_CL Entry(int32_t id, const wchar_t* movie, std::vector<int64_t> positions) {
    DecodeItem_CL entry;
    entry.request_id = id;
    entry.movie_path = movie;
    entry.output_path = std::wstring(movie) + L".jpg";
    entry.positions = std::move(positions);
    return entry;
}

}  // namespace

PipeRequest ReadPipeRequest(const unsigned char* bytes, size_t size) {
    PipeRequest request;
    ByteReader in(bytes, size);
    int32_t type = 0;
    if (!peekMessageType(in, type)) return request;
    bool read = false;
    if (type == DecodeRequest) {
        read = request.decode.read(in) == kReadOk;
    } else if (type == DeleteRequest || type == DecodePriorityRequest) {
        KRB_RequestDeleteRequest_CL ids;
        read = ids.read(in) == kReadOk;
        request.ids = ids.request_ids;
    }
    if (read) request.type = type;
    return request;
}

KRB_RequestDecodeRequest_CL IntakeFuzzer::KnownRequest() {
    KRB_RequestDecodeRequest_CL request;
    request.save_type = 1;
    request.frame_width = request.frame_height = -1;
    // Two waiting items share an id: a delete naming it may take one of them.
    request.items = {Entry(1, L"C:\\movies\\in progress.mp4", {-1, -1, -1}), Entry(2, L"D:\\待ち 1.mp4", {-2}),
                     Entry(3, L"\\\\server\\share\\three.avi", {}), Entry(2, L"second two.mkv", {120000000, -1}),
                     Entry(5, L"five.webm", {INT64_MAX})};
    return request;
}

std::vector<DecodeRequestItem_CL> IntakeFuzzer::KnownQueue() {
    const KRB_RequestDecodeRequest_CL request = KnownRequest();
    Items queue;
    for (const auto& entry : request.items) queue.push_back(DecodeRequestItem_CL::FromPipeRequest(request, entry));
    return queue;
}

IntakeFuzzer::IntakeFuzzer(const std::wstring& workFolder, const std::wstring& clientName)
    : window_(GetModuleHandleW(nullptr), 3, clientName, workFolder) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = MainWindow_CL::WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
    // The window's creation starts its pipe server, as in the service.
    hwnd_ = CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 64, 64, nullptr,
                            nullptr, GetModuleHandleW(nullptr), &window_);
    // A job holds the head item: requests are queued, and no job is started for them.
    window_.isDecoding = 1;
    RestoreKnownQueue();
}

void IntakeFuzzer::RestoreKnownQueue() {
    DecodeRequestList_CL& queue = window_.requestList;
    const Items known = KnownQueue();
    if (AllBytes(queue.Snapshot()) == AllBytes(known)) return;
    while (queue.Size() > 0) queue.RemoveHead();
    for (const auto& item : known) queue.Append(item);
}

CaseOutcome IntakeFuzzer::Feed(const HostileCase& input) {
    GuardedBytes bytes(input.bytes);
    CaseOutcome outcome;
    if (!bytes.data()) {
        outcome.wrong = "no guarded memory";
        return outcome;
    }
    if (IsPipeTarget(input.target))
        outcome = FeedPipe(bytes.data(), bytes.size());
    else if (input.target == IntakeTarget::CopyDataItem)
        outcome = FeedCopyData(bytes.data(), bytes.size());
    else if (input.target == IntakeTarget::VersionFile)
        outcome = FeedVersionFile(input, bytes.data());
    else
        outcome = FeedQueueFile(input, bytes.data());
    RestoreKnownQueue();
    return outcome;
}

CaseOutcome IntakeFuzzer::FeedPipe(const unsigned char* bytes, size_t size) {
    const Items before = window_.requestList.Snapshot();
    window_.pipeServer.handleMessage(bytes, size);
    const Items after = window_.requestList.Snapshot();
    const PipeRequest request = ReadPipeRequest(bytes, size);

    CaseOutcome outcome;
    outcome.accepted = request.type != 0;
    const Items missing = Missing(before, after);
    std::map<int32_t, int> named;  // ids a delete names, each good for one item
    for (int32_t id : request.ids) ++named[id];
    for (const auto& item : missing) {
        const bool isHead = Bytes(item) == Bytes(before[0]);
        const bool cleared = request.type == DecodeRequest && request.decode.clear_queue != 0;
        const bool deleted = request.type == DeleteRequest && named[item.request_id]-- > 0;
        if (isHead || !(cleared || deleted)) ++outcome.itemsLost;
    }

    if (request.type == DecodeRequest) {
        Items expected = before;
        if (request.decode.clear_queue != 0) expected.resize(1);
        for (const auto& entry : request.decode.items)
            expected.push_back(DecodeRequestItem_CL::FromPipeRequest(request.decode, entry));
        if (AllBytes(after) != AllBytes(expected)) outcome.wrong = "decode request queued something else";
    } else if (request.type == DeleteRequest || request.type == DecodePriorityRequest) {
        // Only removals (delete) or a new order (priority); the head stays first.
        const bool onlyRemoved = Missing(after, before).empty();
        const bool sameItems = request.type == DeleteRequest || after.size() == before.size();
        if (!onlyRemoved || !sameItems || !SameHead(before, after))
            outcome.wrong = "delete or priority request changed more than it names";
    } else if (AllBytes(after) != AllBytes(before)) {
        outcome.wrong = "an ignored payload changed the queue";
    }
    return outcome;
}

CaseOutcome IntakeFuzzer::FeedCopyData(const unsigned char* bytes, size_t size) {
    const Items before = window_.requestList.Snapshot();
    COPYDATASTRUCT data = {0x7A, static_cast<DWORD>(size), const_cast<unsigned char*>(bytes)};
    const LRESULT answer = SendMessageW(hwnd_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    const Items after = window_.requestList.Snapshot();

    DecodeRequestItem_CL item;
    ByteReader in(bytes, size);
    CaseOutcome outcome;
    outcome.accepted = item.read(in) == kReadOk && in.Remaining() == 0;
    Items expected = before;
    if (outcome.accepted) expected.push_back(item);
    outcome.itemsLost = Missing(before, after).size();
    if ((answer != 0) != outcome.accepted)
        outcome.wrong = outcome.accepted ? "a whole item was refused" : "a malformed item was taken";
    else if (AllBytes(after) != AllBytes(expected))
        outcome.wrong = "the queue is not the old one plus the item";
    else if (outcome.accepted && ReadAll(window_.QueuePath()) != DecodeRequestList_CL::Serialize(after))
        outcome.wrong = "the queue file does not hold the new queue";
    return outcome;
}

CaseOutcome IntakeFuzzer::FeedQueueFile(const HostileCase& input, const unsigned char* bytes) {
    DecodeRequestList_CL& queue = window_.requestList;
    const std::wstring path = window_.QueuePath();
    const std::wstring aside = DecodeRequestList_CL::RejectedQueuePath(path);
    CaseOutcome outcome;
    if (!WriteAll(path, input.bytes)) {
        outcome.wrong = "could not write the queue file";
        return outcome;
    }
    Items parsed;
    const bool valid = DecodeRequestList_CL::Parse(bytes, input.bytes.size(), parsed) || input.bytes.empty();
    const HRESULT loaded = queue.Load(path);
    const Items after = queue.Snapshot();
    outcome.accepted = valid;
    if (valid) {
        if (AllBytes(after) != AllBytes(parsed) || loaded != (parsed.empty() ? E_FAIL : S_OK))
            outcome.wrong = "a valid file loaded as something else";
        else if (ReadAll(path) != input.bytes || Exists(aside))
            outcome.wrong = "a valid file was moved or changed";
    } else {
        // The next job start saves the queue: what the file held must survive it.
        queue.Save(path);
        if (!after.empty() || loaded != E_FAIL)
            outcome.wrong = "a file that fails validation loaded items";
        else if (ReadAll(aside) != input.bytes)
            outcome.itemsLost = std::max(input.itemsBefore, 1);
    }
    DeleteFileW(path.c_str());
    DeleteFileW(aside.c_str());
    return outcome;
}

CaseOutcome IntakeFuzzer::FeedVersionFile(const HostileCase& input, const unsigned char* bytes) {
    const size_t size = input.bytes.size();
    const snapwick::VersionFile file = snapwick::ParseVersionFile(std::string_view(reinterpret_cast<const char*>(bytes), size));
    const auto wide = [](const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); };
    CaseOutcome outcome;
    outcome.accepted = file.version == wide(input.version) && file.url == wide(input.url);
    if (input.mutation == "none" && !outcome.accepted)
        outcome.wrong = "a well-formed version file read as something else";
    else if (file.version.size() > size || file.url.size() > size || file.extraText.size() > size)
        outcome.wrong = "a value longer than the body";
    return outcome;
}

FuzzTotals RunHostileCases(IntakeFuzzer& fuzzer, uint64_t seed, uint64_t first, uint64_t count,
                           const std::function<void(uint64_t)>& beforeCase) {
    FuzzTotals totals;
    for (uint64_t index = first; index < first + count; ++index) {
        const HostileCase input = MakeHostileCase(seed, index);
        if (beforeCase) beforeCase(index);
        const CaseOutcome outcome = fuzzer.Feed(input);
        const int target = static_cast<int>(input.target);
        ++totals.cases;
        ++totals.casesByTarget[target];
        if (outcome.accepted) {
            ++totals.accepted;
            ++totals.acceptedByTarget[target];
        }
        totals.itemsLost += outcome.itemsLost;
        if (!outcome.wrong.empty()) ++totals.wrong;
        if ((outcome.itemsLost > 0 || !outcome.wrong.empty()) && totals.problems.size() < 10)
            totals.problems.push_back("case " + std::to_string(index) + " (" + TargetName(input.target) + ", " +
                                      input.mutation + "): " +
                                      (outcome.wrong.empty() ? "items lost" : outcome.wrong));
    }
    return totals;
}
