// One fuzzer for the readers of outside bytes: the service's intake (a MainWindow_CL with its real window), Snapwick's
// version file and the movie header reader. Longer or other runs: INTAKE_FUZZ_CASES (per reader), INTAKE_FUZZ_SEED.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>

#include "client/update/version_file.h"
#include "common/pipe.h"
#include "service/frame_source/display_geometry.h"
#include "service/frame_source/keyframe_index.h"
#include "service/main_window.h"
#include "testing/support/test_support.h"

using namespace testing_support;

namespace {

// Bytes that end right before a no-access page (a read past the end faults); as a movie, counting reads asked for outside.
class GuardedBytes : public ByteSource {
public:
    explicit GuardedBytes(const std::string& bytes) : size_(bytes.size()) {
        const size_t page = 65536, dataBytes = (size_ + page - 1) / page * page;  // a multiple of any page size
        region_.reset(VirtualAlloc(nullptr, dataBytes + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE),
                      [](void* p) { VirtualFree(p, 0, MEM_RELEASE); });
        DWORD old = 0;
        if (!region_ || !VirtualProtect(static_cast<char*>(region_.get()) + dataBytes, page, PAGE_NOACCESS, &old)) return;
        data_ = static_cast<unsigned char*>(region_.get()) + dataBytes - size_;
        std::memcpy(data_, bytes.data(), size_);
    }
    const unsigned char* data() const { return data_; }  // null when the guard could not be set up
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, void* into, size_t count) override {
        if (offset > size_ || count > size_ - offset) return ++outside, false;
        return std::memcpy(into, data_ + offset, count), requested += count, true;
    }
    uint64_t outside = 0, requested = 0;  // reads asked for outside the bytes; bytes read

private:
    std::shared_ptr<void> region_;
    unsigned char* data_ = nullptr;
    size_t size_;
};

struct Random {
    size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(engine() % n); }
    bool OneIn(size_t n) { return Below(n) == 0; }
    template <typename T> T Pick(std::initializer_list<T> values) { return values.begin()[Below(values.size())]; }
    std::mt19937_64 engine;  // the same sequence on every platform
};

std::string Int32(int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
// Little-endian int32s; box sizes (none, below or at a header, 64-bit beyond the end); EBML sizes.
const std::vector<std::string> kHostileSizes = {Int32(-1), Int32(INT32_MIN), Int32(INT32_MAX), Int32(0x10000000), Int32(0x7FFFFFFE),
    Int32(0xFFFF), Int32(0), Int32(1 << 24), Int32(7 << 24), Int32(8 << 24), std::string("\0\0\0\1mdat\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xF0", 16),
    "\x80", "\x81", "\x88", "\xFF", std::string(1, '\0'), "\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", "\x10\xFF\xFF\xF0"};

using Sizes = std::function<std::vector<size_t>(const std::string&)>;
void Mutate(std::string& b, Random& r, const Sizes& sizesIn) {
    const size_t at = r.Below(b.size()), length = 1 + r.Below(b.size() - at);
    const std::vector<size_t> sizes = sizesIn(b);
    std::string run;
    switch (r.Below(6)) {
    case 0: b.resize(at); break;                                                   // cut short
    case 1: b += std::string(1 + r.Below(64), r.Pick({'\0', '\xFF', 'A'})); break;  // bytes after the end
    case 2:                                                                        // bits flipped or bytes set to edge values
        for (size_t n = 1 + r.Below(4), i = at; n > 0 && !b.empty(); --n, i = r.Below(b.size()))
            b[i] = r.OneIn(2) ? static_cast<char>(b[i] ^ (1 << r.Below(8))) : r.Pick({'\0', '\xFF', '\x7F', '\x80'});
        break;
    case 3:  // a piece removed, repeated, or repeated beyond 64 KiB
        for (size_t k = r.OneIn(16) ? 1 + 65536 / length : 1; k > 0; --k) run.append(b, at, length);
        r.OneIn(2) ? b.erase(at, length) : b.insert(at, run);
        break;
    default:  // a hostile size where one is, or one off (in its first byte: little-endian or one-byte sizes)
        if (sizes.empty()) break;
        const size_t i = sizes[r.Below(sizes.size())];
        run = kHostileSizes[r.Below(kHostileSizes.size())];
        if (r.OneIn(3) && i < b.size()) b[i] = static_cast<char>(b[i] + (r.OneIn(2) ? 1 : -1));
        else b.replace(i, std::min(run.size(), b.size() - i), run);
    }
}


// Feeds a reader its seeds, mutated (a tenth not); `check` says what is wrong ("" if nothing) and if the reader took it.
void Fuzz(const char* name, const std::function<std::string(Random&)>& seed, const Sizes& sizes,
          const std::function<std::string(GuardedBytes&, bool& taken)>& check, uint64_t scale = 1) {
    const char *seedText = std::getenv("INTAKE_FUZZ_SEED"), *casesText = std::getenv("INTAKE_FUZZ_CASES");
    const uint64_t start = seedText && *seedText ? std::strtoull(seedText, nullptr, 10) : 20261207;
    const uint64_t cases = scale * (casesText && *casesText ? std::strtoull(casesText, nullptr, 10) : 1000);
    uint64_t taken = 0, failures = 0;
    for (uint64_t index = 0; index < cases && failures < 10; ++index) {
        Random r{std::mt19937_64(start * 0xD1B54A32D192ED03ull ^ index)};
        std::string bytes = seed(r);
        const bool mutated = !r.OneIn(10);
        for (size_t n = mutated ? 1 + r.Below(3) : 0; n > 0; --n) Mutate(bytes, r, sizes);
        GuardedBytes in(bytes);
        ASSERT_TRUE(in.data());
        bool took = false;
        std::string wrong = check(in, took);
        if (wrong.empty() && !mutated && !took) wrong = "a well-formed input was refused";
        taken += took;
        if (!wrong.empty() && ++failures) ADD_FAILURE() << name << ", case " << index << " of seed " << start << ": " << wrong;
    }
    EXPECT_TRUE(taken > 0 && taken < cases) << name << ": " << taken << " of " << cases << " inputs taken";
}

// Every length and count of the service's byte format is a little-endian int32 (0 to 4096 in the seeds).
std::vector<size_t> Int32Counts(const std::string& b) {
    std::vector<size_t> at;
    for (size_t o = 0; o + 4 <= b.size(); ++o)
        if (b[o + 3] == 0 && b[o + 2] == 0 && static_cast<uint8_t>(b[o + 1]) <= 0x10) at.push_back(o);
    return at;
}
// The offsets right after each mark.
std::vector<size_t> After(const std::string& b, std::initializer_list<const char*> marks) {
    std::vector<size_t> at;
    for (const char* mark : marks)
        for (size_t i = b.find(mark); i != std::string::npos; i = b.find(mark, i + 1)) at.push_back(i + std::strlen(mark));
    return at;
}

using Items = std::vector<DecodeRequestItem_CL>;
std::string Bytes(const Items& items) { return DecodeRequestList_CL::Serialize(items); }
// Every intake input meets the first 1 to 5 of these (Restore): a head that a job holds and waiting items,
// two of one id (a delete naming it may take either).
KRB_RequestDecodeRequest_CL KnownRequest() {
    const wchar_t* const movies[] = {L"C:\\in progress.mp4", L"D:\\待ち 1.mp4", L"\\\\server\\share\\three.avi", L"two.mkv", L"five.webm"};
    const std::vector<int64_t> positions[] = {{-1, -1, -1}, {-2}, {}, {120000000, -1}, {INT64_MAX, INT64_MIN}};
    KRB_RequestDecodeRequest_CL request;
    request.items.resize(5);
    for (size_t i = 0; i < 5; ++i) {
        DecodeItem_CL& item = request.items[i];
        item.request_id = i == 3 ? 2 : static_cast<int32_t>(i + 1), item.positions = positions[i];
        item.movie_path = movies[i], item.output_path = item.movie_path + L".jpg";
    }
    return request;
}

}  // namespace

// The window befriends this class: it reaches the window's intake.
class IntakeFuzzer : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSEXW wc = {sizeof wc, 0, MainWindow_CL::WindowProc, 0, 0, GetModuleHandleW(nullptr), 0, 0, 0, 0, L"TessaloomIntakeFuzzer"};
        RegisterClassExW(&wc);  // creating the window starts the pipe server, as in the service
        hwnd = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr, wc.hInstance, &window);
        ASSERT_TRUE(hwnd);
        window.isDecoding = 1;  // a job holds the head: requests are queued, no job starts
    }
    DecodeRequestList_CL& List() { return window.requestList; }
    void HandlePipeMessage(const GuardedBytes& in) { window.pipeServer.handleMessage(in.data(), in.Size()); }
    Items Queue() { return List().Snapshot(); }
    Items Restore(size_t count) {
        const KRB_RequestDecodeRequest_CL request = KnownRequest();
        while (List().Size() > 0) List().RemoveHead();
        for (size_t i = 0; i < count; ++i) List().Append(DecodeRequestItem_CL::FromPipeRequest(request, request.items[i]));
        return Queue();
    }

    ScratchFolder folder{L"fuzz"};
    std::wstring client = UniqueName(L"fuzz");
    MainWindow_CL window{GetModuleHandleW(nullptr), 3, client, folder.path()};
    HWND hwnd = nullptr;
};

TEST_F(IntakeFuzzer, PipeMessagesAndCopyDataItems) {
    const auto seed = [&](Random& r) {
        Restore(1 + r.Below(5));
        KRB_RequestDecodeRequest_CL decode = KnownRequest();
        KRB_RequestIdList_CL ids(r.Pick({DeleteRequest, DecodePriorityRequest}));
        for (size_t n = r.Below(6); n > 0; --n) ids.request_ids.push_back(static_cast<int32_t>(r.Below(7)));
        decode.clear_queue = r.OneIn(3);
        decode.items.erase(decode.items.begin(), decode.items.begin() + static_cast<long>(r.Below(6)));
        return r.OneIn(2) ? ToPayload(ids) : ToPayload(decode);
    };
    Fuzz("pipe messages", seed, Int32Counts, [&](GuardedBytes& in, bool& took) -> std::string {
              DecodeRequestList_CL model;  // the queue's own operations (their own tests check them) on the old queue
              model.mutex.Reset(CreateMutexW(nullptr, FALSE, nullptr));
              for (const auto& item : Queue()) model.Append(item);
              HandlePipeMessage(in);
              ByteReader reader(in.data(), in.Size());
              int32_t type = 0;
              KRB_RequestDecodeRequest_CL decode;
              KRB_RequestIdList_CL ids(DeleteRequest);  // a priority request has the same layout
              took = peekMessageType(reader, type) && (type == DecodeRequest ? decode.read(reader) == kReadOk
                                                        : (type == DeleteRequest || type == DecodePriorityRequest) && ids.read(reader) == kReadOk);
              if (took && type == DeleteRequest) model.RemoveWaiting(ids.request_ids);
              if (took && type == DecodePriorityRequest) model.Prioritize(ids.request_ids);
              if (took && decode.clear_queue != 0) model.ClearWaiting();
              for (size_t i = 0; took && i < decode.items.size(); ++i)
                  model.Append(DecodeRequestItem_CL::FromPipeRequest(decode, decode.items[i]));
              return Bytes(Queue()) == Bytes(model.Snapshot()) ? "" : "the queue is not the message applied";
          });

    // Through the real pipe, frames that lie or stop short (announced or not) are dropped, a busy pipe is tried
    // again; the server keeps serving.
    const std::wstring pipe = L"Tessaloom-" + client;
    Items expected = Restore(5);
    const KRB_RequestDecodeRequest_CL decode = KnownRequest();
    const std::string lie = ToPayload(decode);
    const struct { std::string bytes; bool announced; } frames[] = {{Int32(static_cast<int32_t>(lie.size()) + 100) + lie, true},
        {Int32(kPipeInBufferBytes + 1) + lie, true}, {Int32(-1) + lie, true}, {std::string("\x10\x00", 2), true}, {"", true}, {"", false}};
    UniqueHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, pipe.c_str()));
    ASSERT_TRUE(event);
    for (const auto& frame : frames) {
        ASSERT_TRUE(WaitNamedPipeW(PipePath(pipe).c_str(), 20000));
        UniqueHandle writer(CreateFileW(PipePath(pipe).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(writer && (frame.bytes.empty() || WriteFile(writer.get(), frame.bytes.data(), static_cast<DWORD>(frame.bytes.size()), &written, nullptr)));
        if (frame.announced) SetEvent(event.get());
    }
    {  // a writer holding the single instance keeps another out for ten tries, 200 ms apart
        PipeClient_CL first(pipe), second(pipe);
        ASSERT_TRUE(WaitNamedPipeW(PipePath(pipe).c_str(), 20000) && first.open() == PipeClient_CL::OpenResult::Opened);
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(second.open(), PipeClient_CL::OpenResult::Busy);
        EXPECT_GE(GetTickCount64() - start, 1750u);  // nine waits between the tries
    }
    SetEvent(event.get());  // an announcement that no writer made
    for (const auto& entry : decode.items) expected.push_back(DecodeRequestItem_CL::FromPipeRequest(decode, entry));
    ASSERT_TRUE(SendWhenFree(pipe, lie));
    EXPECT_TRUE(WaitFor([&] { return Bytes(Queue()) == Bytes(expected); }));  // only what is well-formed is taken

    const auto item = [&](Random& r) { return Bytes({Restore(5)[r.Below(5)]}).substr(8); };  // after the file's version and count
    Fuzz("WM_COPYDATA items", item, Int32Counts, [&](GuardedBytes& in, bool& took) -> std::string {
              Items expected = Queue();
              COPYDATASTRUCT data = {0x7A, static_cast<DWORD>(in.Size()), const_cast<unsigned char*>(in.data())};
              const bool taken = SendMessageW(hwnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)) != 0;
              DecodeRequestItem_CL item;
              ByteReader reader(in.data(), in.Size());
              if ((took = item.read(reader) == kReadOk && reader.Remaining() == 0)) expected.push_back(item);
              if (taken != took) return took ? "a whole item was refused" : "a malformed item was taken";
              if (Bytes(Queue()) != Bytes(expected)) return "the queue is not the old one and the item";
              return !took || ReadFileBytes(window.QueuePath()) == Bytes(expected) ? "" : "the queue file was not saved";
          });
}

TEST_F(IntakeFuzzer, QueueFiles) {
    const std::wstring path = window.QueuePath(), first = DecodeRequestList_CL::RejectedQueuePath(path);
    int loads = 0;
    Fuzz("queue files", [&](Random& r) { return Bytes(Restore(r.Below(6))); }, Int32Counts, [&](GuardedBytes& in, bool& took) {
              const bool earlier = ++loads % 2 == 0;  // every other time a file set aside before is there
              const std::wstring aside = DecodeRequestList_CL::RejectedQueuePath(path, earlier ? 2 : 1);
              const std::string text(reinterpret_cast<const char*>(in.data()), in.Size());
              Items parsed;
              took = DecodeRequestList_CL::Parse(text, parsed) || text.empty();
              if (!WriteFileBytes(path, text) || (earlier && !WriteFileBytes(first, "earlier"))) return "could not write the files";
              const HRESULT loaded = List().Load(path);
              // A valid file is loaded as it is and stays; any other is set aside whole, where no save or later file overwrites it.
              const bool right = took ? Bytes(Queue()) == Bytes(parsed) && loaded == (parsed.empty() ? E_FAIL : S_OK) && !FileExists(aside)
                                      : List().Size() == 0 && loaded == E_FAIL && (List().Save(path), ReadFileBytes(aside) == text);
              const bool kept = (!took || ReadFileBytes(path) == text) && (!earlier || ReadFileBytes(first) == "earlier");
              for (const std::wstring& file : {path, first, aside}) DeleteFileW(file.c_str());
              return right && kept ? "" : took ? "a valid file was loaded wrong or moved" : "a rejected file loaded items or was not kept";
          });

    // One too large to read (beyond 256 MiB) is set aside whole.
    ASSERT_TRUE(WriteFileBytes(path, Bytes(Restore(5))));
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    const LARGE_INTEGER size = {{0x10100000, 0}};
    ASSERT_TRUE(SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
    file.reset();
    EXPECT_TRUE(List().Load(path) == E_FAIL && List().Size() == 0 && List().Save(path) == S_OK);
    WIN32_FILE_ATTRIBUTE_DATA aside = {};
    EXPECT_TRUE(GetFileAttributesExW(first.c_str(), GetFileExInfoStandard, &aside) && aside.nFileSizeLow == size.LowPart);
    EXPECT_TRUE(Contains(ReadLogMessages(folder.file(L"kestrel_dec_list.txt")), L"(queue) 読み込めないキューファイルを退避(" + first + L")"));
}

TEST_F(IntakeFuzzer, VersionFiles) {
    std::string version, url;
    const auto seed = [&](Random& r) {
        version = r.Pick({"1.0.0", "1.2.3.4", "2.0", "0.0.0.1", "9.99"}), url = r.Pick({"http://example.com/dl", "https://x/s.exe"});
        if (r.OneIn(2)) return "{\"version\": \"" + version + "\",\r\n \"url\":\"" + url + " \"}";
        // The older form: seven bytes of version, a line break, the URL (notes after a NUL).
        return (version + "       ").substr(0, 7) + "\r\n" + url + (r.OneIn(3) ? std::string("\0notes", 6) : "\r\n");
    };
    Fuzz("version files", seed, [](const std::string& b) { return After(b, {"\"", ":"}); }, [&](GuardedBytes& in, bool& took) {
              const auto file = snapwick::ParseVersionFile({reinterpret_cast<const char*>(in.data()), in.Size()});
              took = file.version == std::wstring(version.begin(), version.end()) && file.url == std::wstring(url.begin(), url.end());
              return "";  // what it must not do, read past the body, faults
          });
}

TEST_F(IntakeFuzzer, MovieHeaders) {
    struct { const wchar_t* name; DisplayGeometry shown; std::string headers; } movies[] = {
        {L"rotated90_640x360_h264.mp4", {90, 1, 1}}, {L"rotated270_640x360_h264.mp4", {270, 1, 1}}, {L"rotated90_640x360_h264.mov", {90, 1, 1}},
        {L"anamorphic_720x576_par64x45_h264.mp4", {0, 64, 45}}, {L"anamorphic_720x576_par64x45_h264.mkv", {0, 64, 45}},
        {L"seconds_640x360_vp9.webm", {0, 1, 1}}};
    size_t current = 0;
    // Taken: the geometry that the movie carries; else a turn by quarters and a reduced pixel aspect within 1/8..8.
    // The keyframe index is read from the same bytes, and must stay inside them too.
    const auto check = [&](GuardedBytes& in, bool& took) {
        ReadKeyframeIndex(in);
        const DisplayGeometry g = ReadDisplayGeometry(in), &shown = movies[current].shown;
        took = g.rotation == shown.rotation && g.pixelAspectX == shown.pixelAspectX && g.pixelAspectY == shown.pixelAspectY;
        if (in.outside > 0) return "read outside the bytes";
        const uint64_t x = g.pixelAspectX, y = g.pixelAspectY;
        const bool quarter = g.rotation % 90 == 0 && g.rotation >= 0 && g.rotation < 360;
        return quarter && std::gcd(x, y) == 1 && x <= 8 * y && y <= 8 * x ? "" : "implausible";
    };
    for (current = 0; current < 6; ++current) {  // of a whole movie only headers are read (an MP4's mdat comes first)
        const std::string file = ReadFileBytes(Movie(movies[current].name));
        GuardedBytes whole(file);
        bool took = false;
        EXPECT_TRUE(*check(whole, took) == '\0' && took && whole.requested < 4096) << current << ": " << whole.requested << " bytes";
        EXPECT_EQ(ReadKeyframeIndex(whole).Known(), current < 4) << current;  // MP4 and QuickTime only
        // The seeds: an MP4's last box (moov), a Matroska file up to its first cluster.
        movies[current].headers = current < 4 ? file.substr(file.rfind("moov") - 4) : file.substr(0, file.find("\x1F\x43\xB6\x75"));
    }
    // Sizes: after the id of each element on the way to the video track's sizes; before a box type.
    const auto sizes = [&](const std::string& b) {
        if (current >= 4)
            return After(b, {"\x1A\x45\xDF\xA3", "\x18\x53\x80\x67", "\x16\x54\xAE\x6B", "\x15\x49\xA9\x66", "\x11\x4D\x9B\x74",
                             "\x1F\x43\xB6\x75", "\x54\xB0", "\x54\xBA", "\x54\xB2", "\xAE", "\xE0", "\xB0", "\xBA", "\x83"});
        std::vector<size_t> at;
        for (size_t i = 0; i + 8 <= b.size(); ++i)
            if (std::all_of(&b[i + 4], &b[i + 8], [](char c) { return std::islower(c) || std::isdigit(c); })) at.push_back(i);
        return at;
    };
    Fuzz("movie headers", [&](Random& r) { return movies[current = r.Below(6)].headers; }, sizes, check, 20);
}
