// Hostile input through the service's intake in one process (a MainWindow_CL with its
// real window, a job holding the head of a known queue) and through Snapwick's version
// file reader: seeded mutations of well-formed pipe payloads, WM_COPYDATA items, queue
// files and version files, each read from memory that ends at a no-access page, so that
// a read past the end faults at once. Nothing queued may be lost, and only a well-formed
// input may change the queue, as it says. The suite runs 3,000 cases; more with
// INTAKE_FUZZ_CASES=100000 (and another run with INTAKE_FUZZ_SEED). Also: lying frames on
// the real pipe, and a queue file too large to be one.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "client/update/version_file.h"
#include "common/pipe.h"
#include "service/main_window.h"
#include "testing/intake_fuzz/guarded_bytes.h"
#include "testing/support/test_support.h"

using namespace testing_support;

// What the window keeps to itself and its intake tests reach (it befriends this class).
class IntakeFuzzer {
public:
    static DecodeRequestList_CL& List(MainWindow_CL& window) { return window.requestList; }
    static MyPipeServer_CL& Pipe(MainWindow_CL& window) { return window.pipeServer; }
    static void HoldHead(MainWindow_CL& window) { window.isDecoding = 1; }
};

namespace {

using Items = std::vector<DecodeRequestItem_CL>;
enum Target { Decode, Delete, Priority, Response, Junk, CopyData, QueueFile, VersionFile, kTargets };

class Random {
public:
    explicit Random(uint64_t seed) : engine_(seed) {}
    size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(engine_() % n); }
    bool OneIn(size_t n) { return Below(n) == 0; }
    template <typename T, size_t N>
    T Pick(const T (&values)[N]) { return values[Below(N)]; }
    std::string Noise(size_t length) {
        std::string bytes(length, '\0');
        for (auto& b : bytes) b = static_cast<char>(engine_());
        const int32_t type = Pick({DecodeRequest, DeleteRequest, DecodePriorityRequest});
        if (length >= 4 && OneIn(2)) std::memcpy(&bytes[0], &type, 4);  // starts like a message the service takes
        return bytes;
    }

private:
    std::mt19937_64 engine_;  // the same sequence on every platform
};

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

DecodeItem_CL Entry(int32_t id, const wchar_t* movie, std::vector<int64_t> positions) {
    DecodeItem_CL entry;
    entry.request_id = id;
    entry.movie_path = movie;
    entry.output_path = std::wstring(movie) + L".jpg";
    entry.positions = std::move(positions);
    return entry;
}
// The queue that every input meets is the first 1 to 5 of these: a head in progress
// and waiting items, two of one id (a delete naming it may take either).
KRB_RequestDecodeRequest_CL KnownRequest() {
    KRB_RequestDecodeRequest_CL request;
    request.save_type = 1;
    request.items = {Entry(1, L"C:\\movies\\in progress.mp4", {-1, -1, -1}), Entry(2, L"D:\\待ち 1.mp4", {-2}),
                     Entry(3, L"\\\\server\\share\\three.avi", {}), Entry(2, L"second two.mkv", {120000000, -1}),
                     Entry(5, L"five.webm", {INT64_MAX, INT64_MIN})};
    return request;
}
Items KnownItems(size_t count) {
    const KRB_RequestDecodeRequest_CL request = KnownRequest();
    Items items;
    for (size_t i = 0; i < count; ++i) items.push_back(DecodeRequestItem_CL::FromPipeRequest(request, request.items[i]));
    return items;
}

// A well-formed input of the target, made of the known items: what the mutations start from.
std::string Seed(Target target, Random& r, std::string& version, std::string& url) {
    KRB_RequestDecodeRequest_CL request = KnownRequest();
    Items items = KnownItems(5);
    KRB_RequestDeleteRequest_CL ids;  // a priority request has the same layout
    int32_t type = target == Delete ? DeleteRequest : DecodePriorityRequest;
    switch (target) {
    case Decode:
        request.clear_queue = r.OneIn(4) ? 1 : 0;
        request.frame_width = r.Pick({-1, 0, 160, INT32_MAX});
        request.items.erase(request.items.begin(), request.items.begin() + static_cast<long>(r.Below(6)));
        return ToPayload(request);
    case Delete:
    case Priority:
        ids.request_ids.resize(r.Below(6));
        for (auto& id : ids.request_ids) id = static_cast<int32_t>(r.Below(7));
        return std::string(reinterpret_cast<const char*>(&type), 4) + ToPayload(ids).substr(4);
    case Response: {
        KRB_ResponseDecode_CL response;
        response.request_id = 1;
        response.positions = {10000000, 20000000};
        return ToPayload(response);
    }
    case CopyData:
        items[0].requester_title = L"送り手";
        return Bytes(items[r.Below(5)]);
    case QueueFile: items.resize(r.Below(6)); return DecodeRequestList_CL::Serialize(items);
    case VersionFile: {
        static const char* const blanks[] = {"", " ", "\t", "\r\n"};
        version = r.Pick({"1.0.0", "1.2.3.4", "2.0", "0.0.0.1", "9.99"});
        url = r.Pick({"http://example.com/dl", "https://x/", "http://updates.example/s/setup.exe"});
        const auto pair = [&](const std::string& key, const std::string& value) {
            return "\"" + key + "\"" + r.Pick(blanks) + ":" + r.Pick(blanks) + "\"" + r.Pick(blanks) + value + "\"";
        };
        if (r.OneIn(2)) return "{" + std::string(r.Pick(blanks)) + pair("version", version) + ",\n" + pair("url", url) + "}\n";
        // The older form: seven bytes of version, a line break, the URL (notes after a NUL).
        return (version + "       ").substr(0, 7) + "\r\n" + url + (r.OneIn(3) ? std::string("\0notes", 6) : "\r\n");
    }
    default: return r.Noise(r.Below(96));
    }
}

void Mutate(std::string& b, Random& r) {
    switch (r.Below(6)) {
    case 0: b.resize(r.Below(b.size())); break;  // cut short
    case 1: b += r.Noise(1 + r.Below(64)); break;  // bytes after the end
    case 2:  // bits flipped or bytes set to edge values
        for (size_t i = 0, n = 1 + r.Below(4); i < n && !b.empty(); ++i) {
            char& c = b[r.Below(b.size())];
            c = r.OneIn(2) ? static_cast<char>(c ^ (1 << r.Below(8))) : r.Pick("\x00\xFF\x7F\x80");
        }
        break;
    case 3: {  // a count or length (every one is an int32 of 0 to 4096) set to an extreme value
        std::vector<size_t> counts;
        for (size_t o = 0; o + 4 <= b.size(); ++o) {
            int32_t v;
            std::memcpy(&v, &b[o], 4);
            if (v >= 0 && v <= 4096) counts.push_back(o);
        }
        if (counts.empty()) break;
        const size_t at = counts[r.Below(counts.size())];
        int32_t old;
        std::memcpy(&old, &b[at], 4);
        const int32_t left = static_cast<int32_t>(b.size() - at - 4);
        const int32_t value = r.Pick({-1, INT32_MIN, INT32_MAX, 0x10000000, 0x7FFFFFFE, old + 1, old - 1, left / 2 + 1, 0xFFFF});
        std::memcpy(&b[at], &value, 4);
        break;
    }
    case 4: {  // a piece removed or repeated
        if (b.empty()) break;
        const size_t at = r.Below(b.size()), length = 1 + r.Below(b.size() - at);
        if (r.OneIn(2)) b.erase(at, length);
        else b.insert(at, b.substr(at, length));
        break;
    }
    default: b = r.Noise(r.Below(160));
    }
}

class HostileIntake : public ::testing::Test {
protected:
    HostileIntake() : folder(L"hostile"), client(UniqueName(L"hostile")), window(GetModuleHandleW(nullptr), 3, client, folder.path()) {}
    void SetUp() override {
        WNDCLASSEXW wc = {sizeof wc};
        wc.lpfnWndProc = MainWindow_CL::WindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TessaloomHostileIntake";
        RegisterClassExW(&wc);
        // The window's creation starts its pipe server, as in the service.
        hwnd = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr, wc.hInstance, &window);
        ASSERT_TRUE(hwnd);
        IntakeFuzzer::HoldHead(window);  // a job holds the head: requests are queued, no job starts
        Restore(KnownItems(5));
    }
    void Restore(const Items& known) {
        if (AllBytes(Queue()) == AllBytes(known)) return;
        while (IntakeFuzzer::List(window).Size() > 0) IntakeFuzzer::List(window).RemoveHead();
        for (const auto& item : known) IntakeFuzzer::List(window).Append(item);
    }
    Items Queue() { return IntakeFuzzer::List(window).Snapshot(); }

    // Each returns what is wrong, or nothing.
    std::string Pipe(const unsigned char* bytes, size_t size) {
        const Items before = Queue();
        IntakeFuzzer::Pipe(window).handleMessage(bytes, size);
        const Items after = Queue();
        ByteReader in(bytes, size);
        int32_t type = 0;
        KRB_RequestDecodeRequest_CL decode;
        KRB_RequestDeleteRequest_CL ids;
        if (!peekMessageType(in, type) || (type != DecodeRequest && type != DeleteRequest && type != DecodePriorityRequest) ||
            (type == DecodeRequest ? decode.read(in) : ids.read(in)) != kReadOk)
            return AllBytes(after) == AllBytes(before) ? "" : "an ignored payload changed the queue";
        if (type == DecodeRequest) {
            Items expected = before;
            if (decode.clear_queue != 0) expected.resize(1);
            for (const auto& entry : decode.items) expected.push_back(DecodeRequestItem_CL::FromPipeRequest(decode, entry));
            return AllBytes(after) == AllBytes(expected) ? "" : "a decode request queued something else";
        }
        // A delete only removes the items it names; a priority only orders; the head stays first.
        std::map<int32_t, int> named;
        for (int32_t id : ids.request_ids) ++named[id];
        for (const auto& item : Missing(before, after))
            if (type != DeleteRequest || Bytes(item) == Bytes(before[0]) || named[item.request_id]-- <= 0) return "an item was lost";
        if (!Missing(after, before).empty() || Bytes(after[0]) != Bytes(before[0]))
            return "a delete or priority request changed more than it names";
        return "";
    }
    std::string CopyDataItem(const unsigned char* bytes, size_t size) {
        Items expected = Queue();
        COPYDATASTRUCT data = {0x7A, static_cast<DWORD>(size), const_cast<unsigned char*>(bytes)};
        const bool taken = SendMessageW(hwnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)) != 0;
        DecodeRequestItem_CL item;
        ByteReader in(bytes, size);
        const bool whole = item.read(in) == kReadOk && in.Remaining() == 0;
        if (whole) expected.push_back(item);
        if (taken != whole) return whole ? "a whole item was refused" : "a malformed item was taken";
        if (AllBytes(Queue()) != AllBytes(expected)) return "the queue is not the old one plus the item";
        if (whole && ReadFileBytes(window.QueuePath()) != DecodeRequestList_CL::Serialize(expected))
            return "the queue file does not hold the new queue";
        return "";
    }
    std::string LoadQueueFile(const GuardedBytes& bytes, const std::string& text) {
        const std::wstring path = window.QueuePath(), aside = DecodeRequestList_CL::RejectedQueuePath(path);
        Items parsed;
        const bool valid = DecodeRequestList_CL::Parse(bytes.data(), bytes.size(), parsed) || text.empty();
        if (!WriteFileBytes(path, text)) return "could not write the queue file";
        const HRESULT loaded = IntakeFuzzer::List(window).Load(path);
        const Items after = Queue();
        std::string wrong;
        if (valid && (AllBytes(after) != AllBytes(parsed) || loaded != (parsed.empty() ? E_FAIL : S_OK)))
            wrong = "a valid file loaded as something else";
        else if (valid && (ReadFileBytes(path) != text || FileExists(aside)))
            wrong = "a valid file was moved or changed";
        else if (!valid && (!after.empty() || loaded != E_FAIL))
            wrong = "a file that fails validation loaded items";
        else if (!valid && (IntakeFuzzer::List(window).Save(path), ReadFileBytes(aside) != text))
            wrong = "a rejected file was lost when the queue was saved next";
        DeleteFileW(path.c_str());
        DeleteFileW(aside.c_str());
        return wrong;
    }

    ScratchFolder folder;
    std::wstring client;
    MainWindow_CL window;
    HWND hwnd = nullptr;
};

uint64_t FromEnvironment(const char* name, uint64_t otherwise) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : otherwise;
}

TEST_F(HostileIntake, SeededMutationsLoseNothingReadNothingPastTheirEndAndActAsTheySay) {
    ASSERT_TRUE(GuardedBytes("four").Guarded());
    ASSERT_TRUE(GuardedBytes("").Guarded());
    const uint64_t seed = FromEnvironment("INTAKE_FUZZ_SEED", 20261207), cases = FromEnvironment("INTAKE_FUZZ_CASES", 3000);
    int taken[kTargets] = {}, refused[kTargets] = {}, failures = 0;
    for (uint64_t index = 0; index < cases && failures < 10; ++index) {
        Random r(seed * 0xD1B54A32D192ED03ull ^ index);
        const auto target = static_cast<Target>(index % kTargets);
        std::string version, url, bytes = Seed(target, r, version, url);
        const bool mutated = !r.OneIn(10);
        for (size_t i = 0, n = mutated ? 1 + r.Below(3) : 0; i < n; ++i) Mutate(bytes, r);
        if (mutated && target == VersionFile && r.OneIn(20))  // up to what the client reads at most, swollen anywhere
            bytes.insert(r.Below(bytes.size() + 1), std::string((r.OneIn(2) ? 65536 : 1u << 20) - bytes.size(), '"'));
        Restore(KnownItems(1 + index / kTargets % 5));
        const Items before = Queue();
        const GuardedBytes guarded(bytes);
        ASSERT_TRUE(guarded.data());
        std::string wrong;
        bool accepted = false;
        if (target == CopyData) {
            wrong = CopyDataItem(guarded.data(), guarded.size());
        } else if (target == QueueFile) {
            Items parsed;
            accepted = DecodeRequestList_CL::Parse(guarded.data(), guarded.size(), parsed);
            wrong = LoadQueueFile(guarded, bytes);
        } else if (target == VersionFile) {
            const auto file = snapwick::ParseVersionFile({reinterpret_cast<const char*>(guarded.data()), guarded.size()});
            accepted = file.version == std::wstring(version.begin(), version.end()) && file.url == std::wstring(url.begin(), url.end());
            if (!mutated && !accepted) wrong = "a well-formed version file read as something else";
            if (file.version.size() > bytes.size() || file.url.size() > bytes.size() || file.extraText.size() > bytes.size())
                wrong = "a value longer than the body";
        } else {
            wrong = Pipe(guarded.data(), guarded.size());
        }
        if (target != QueueFile && target != VersionFile) accepted = AllBytes(Queue()) != AllBytes(before);
        ++(accepted ? taken : refused)[target];
        if (!wrong.empty()) {
            ++failures;
            ADD_FAILURE() << "case " << index << " of seed " << seed << " (target " << target << "): " << wrong;
        }
    }
    // Every path that can take an input met inputs it took and inputs it refused.
    for (Target target : {Decode, Delete, Priority, CopyData, QueueFile, VersionFile})
        EXPECT_TRUE(taken[target] > 0 && refused[target] > 0) << "target " << target;
}

std::string Framed(uint32_t length, const std::string& payload) {
    return std::string(reinterpret_cast<const char*>(&length), 4) + payload;
}

std::string DecodePayload(int32_t id) {
    KRB_RequestDecodeRequest_CL request;
    request.items = {Entry(id, L"framed.mp4", {})};
    return ToPayload(request);
}

TEST_F(HostileIntake, LyingFramesOnThePipeAreDroppedAndTheServerKeepsServing) {
    const std::wstring pipe = L"Tessaloom-" + client;
    const std::string lie = DecodePayload(77);
    const struct {
        const char* what;
        std::string bytes;
        bool announced;
    } frames[] = {
        {"length beyond the bytes written", Framed(static_cast<uint32_t>(lie.size()) + 100, lie), true},
        {"length above the in-buffer size", Framed(kPipeInBufferBytes + 1, lie), true},
        {"length 0xFFFFFFFF", Framed(0xFFFFFFFF, lie), true},
        {"half a length", std::string("\x10\x00", 2), true},
        {"nothing written", "", true},
        {"nothing written nor announced", "", false},
    };
    UniqueHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, pipe.c_str()));
    ASSERT_TRUE(event);
    for (const auto& frame : frames) {
        // Raw bytes once the pipe is free, announced or not (as a writer that crashed).
        SCOPED_TRACE(frame.what);
        ASSERT_TRUE(WaitNamedPipeW(PipePath(pipe).c_str(), 20000));
        UniqueHandle writer(CreateFileW(PipePath(pipe).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writer);
        DWORD written = 0;
        if (!frame.bytes.empty())
            ASSERT_TRUE(WriteFile(writer.get(), frame.bytes.data(), static_cast<DWORD>(frame.bytes.size()), &written, nullptr));
        if (frame.announced) SetEvent(event.get());
    }
    SetEvent(event.get());  // an announcement that no writer made

    // Well-formed requests are still taken, each as its type says.
    ASSERT_TRUE(SendWhenFree(pipe, DecodePayload(88)));
    KRB_RequestDecodePriorityRequest_CL priority;
    priority.request_ids = {5, 88};
    ASSERT_TRUE(SendWhenFree(pipe, ToPayload(priority)));
    KRB_RequestDeleteRequest_CL remove;
    remove.request_ids = {2, 2};
    ASSERT_TRUE(SendWhenFree(pipe, ToPayload(remove)));
    const std::vector<int32_t> expected = {1, 5, 88, 3};
    const auto ids = [&] {
        std::vector<int32_t> queued;
        for (const auto& item : Queue()) queued.push_back(item.request_id);
        return queued;
    };
    ASSERT_TRUE(WaitFor([&] { return ids() == expected; })) << ::testing::PrintToString(ids());
}

TEST_F(HostileIntake, QueueFileTooLargeToReadIsKeptAsideAndNotOverwritten) {
    const std::wstring path = window.QueuePath(), aside = DecodeRequestList_CL::RejectedQueuePath(path);
    const LONGLONG size = 257LL << 20;  // beyond what is read into memory
    {
        ASSERT_TRUE(WriteFileBytes(path, DecodeRequestList_CL::Serialize(Queue())));
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER end;
        end.QuadPart = size;
        ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
    }
    EXPECT_EQ(IntakeFuzzer::List(window).Load(path), E_FAIL);
    EXPECT_EQ(IntakeFuzzer::List(window).Size(), 0u);
    // The next save writes a new file; the old one, whole, is elsewhere.
    EXPECT_EQ(IntakeFuzzer::List(window).Save(path), S_OK);
    const auto asideSize = [&] {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        GetFileAttributesExW(aside.c_str(), GetFileExInfoStandard, &data);
        return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    };
    EXPECT_EQ(asideSize(), size);
    EXPECT_TRUE(Contains(ReadLogMessages(folder.file(L"kestrel_dec_list.txt")),
                         L"(queue) 読み込めないキューファイルを退避(" + aside + L")"));
    // A second such file does not take the first one's place.
    ASSERT_TRUE(WriteFileBytes(path, "not a queue"));
    EXPECT_EQ(IntakeFuzzer::List(window).Load(path), E_FAIL);
    EXPECT_EQ(ReadFileBytes(DecodeRequestList_CL::RejectedQueuePath(path, 2)), "not a queue");
    EXPECT_EQ(asideSize(), size);
}

}  // namespace
