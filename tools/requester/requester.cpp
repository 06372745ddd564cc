// Sends requests to a running Tessaloom service as its peers do, or listens for its
// responses. For operators and for the tests.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/messages.h"
#include "common/pipe.h"
#include "common/scoped.h"
#include "service/request_list.h"

namespace {

const wchar_t kUsage[] =
    L"usage:\n"
    L"  requester decode <client> [--clear] [--type N] [--size W H] <id> <movie> <output> [pos...]\n"
    L"  requester delete <client> <id>...\n"
    L"  requester priority <client> <id>...\n"
    L"  requester copydata <client> [--type N] [--size W H] [--title T] <id> <movie> <output> [pos...]\n"
    L"  requester raw <pipe> <hex bytes>\n"
    L"  requester listen <pipe> <seconds> [--all]\n"
    L"Positions are in 100 ns units; -1 = evenly spaced, -2 = random.\n"
    L"decode, delete and priority write to the pipe \"Tessaloom-<client>\"; copydata sends\n"
    L"the item to the window of class \"Tessaloom\" titled <client>; listen prints one line\n"
    L"per response on pipe <pipe> until the last one (decode_count 0; with --all, every\n"
    L"response) or the time is up.\n"
    L"Exit code: 0 sent (or final response received), 1 usage, 2 not delivered.\n";

struct ItemOptions {
    int32_t type = 1, width = -1, height = -1, clear = 0;
    std::wstring title;
    int32_t id = 0;
    std::wstring movie, output;
    std::vector<int64_t> positions;
};

bool ParseItem(int argc, wchar_t** argv, int first, ItemOptions& o) {
    int i = first;
    for (; i < argc && wcsncmp(argv[i], L"--", 2) == 0; ++i) {
        const std::wstring flag = argv[i];
        if (flag == L"--clear") {
            o.clear = 1;
        } else if (flag == L"--type" && i + 1 < argc) {
            o.type = _wtoi(argv[++i]);
        } else if (flag == L"--size" && i + 2 < argc) {
            o.width = _wtoi(argv[++i]);
            o.height = _wtoi(argv[++i]);
        } else if (flag == L"--title" && i + 1 < argc) {
            o.title = argv[++i];
        } else {
            return false;
        }
    }
    if (argc - i < 3) return false;
    o.id = _wtoi(argv[i]);
    o.movie = argv[i + 1];
    o.output = argv[i + 2];
    for (int p = i + 3; p < argc; ++p) o.positions.push_back(_wtoi64(argv[p]));
    return true;
}

int Send(const std::wstring& pipe, const std::string& payload) {
    PipeClient_CL client(pipe);
    if (client.open() != PipeClient_CL::OpenResult::Opened) return 2;
    return client.send(payload.data(), payload.size()) ? 0 : 2;
}

int Decode(int argc, wchar_t** argv) {
    ItemOptions o;
    if (argc < 3 || !ParseItem(argc, argv, 3, o)) return 1;
    KRB_RequestDecodeRequest_CL request;
    request.clear_queue = o.clear;
    request.save_type = o.type;
    request.frame_width = o.width;
    request.frame_height = o.height;
    DecodeItem_CL item;
    item.request_id = o.id;
    item.movie_path = o.movie;
    item.output_path = o.output;
    item.positions = o.positions;
    request.items.push_back(item);
    return Send(L"Tessaloom-" + std::wstring(argv[2]), ToPayload(request));
}

int IdList(int argc, wchar_t** argv, KRB_RequestIdList_CL& request) {
    if (argc < 3) return 1;
    for (int i = 3; i < argc; ++i) request.request_ids.push_back(_wtoi(argv[i]));
    return Send(L"Tessaloom-" + std::wstring(argv[2]), ToPayload(request));
}

int CopyData(int argc, wchar_t** argv) {
    ItemOptions o;
    if (argc < 3 || !ParseItem(argc, argv, 3, o)) return 1;
    DecodeRequestItem_CL item;
    item.request_id = o.id;
    item.requester_title = o.title;
    item.item_marker = kPipeItemMarker;
    item.movie_path = o.movie;
    item.output_path = o.output;
    item.save_type = o.type;
    item.frame_width = o.width;
    item.frame_height = o.height;
    item.positions = o.positions;
    item.request_count = static_cast<int32_t>(o.positions.size());
    ByteWriter out;
    item.write(out);
    HWND hwnd = FindWindowW(L"Tessaloom", argv[2]);
    if (!hwnd) return 2;
    COPYDATASTRUCT data = {0, static_cast<DWORD>(out.Bytes().size()),
                           const_cast<char*>(out.Bytes().data())};
    return SendMessageW(hwnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)) ? 0 : 2;
}

int Raw(int argc, wchar_t** argv) {
    if (argc < 4) return 1;
    std::string bytes;
    for (const wchar_t* p = argv[3]; *p;) {
        if (iswspace(*p)) {
            ++p;
            continue;
        }
        if (!iswxdigit(p[0]) || !iswxdigit(p[1])) return 1;
        bytes.push_back(static_cast<char>(wcstol(std::wstring(p, 2).c_str(), nullptr, 16)));
        p += 2;
    }
    return Send(argv[2], bytes);
}

class ResponsePrinter : public PipeServer_CL {
public:
    void handleMessage(const unsigned char* bytes, size_t count) override {
        ByteReader in(bytes, count);
        int32_t type = 0;
        if (!peekMessageType(in, type) || type != ResponseDecode) return;
        KRB_ResponseDecode_CL response;
        if (response.read(in) != kReadOk) return;
        std::wstring line = L"request_id=" + std::to_wstring(response.request_id) +
                            L" error_image_used=" + std::to_wstring(response.error_image_used) +
                            L" decode_count=" + std::to_wstring(response.decode_count) +
                            L" request_count=" + std::to_wstring(response.request_count) +
                            L" duration=" + std::to_wstring(response.duration) + L" positions=";
        for (size_t i = 0; i < response.positions.size(); ++i)
            line += (i ? L"," : L"") + std::to_wstring(response.positions[i]);
        WriteStdoutLine(line);
        if (response.decode_count == 0 && !all) SetEvent(done.get());
    }
    bool all = false;
    UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

int Listen(int argc, wchar_t** argv) {
    if (argc < 4) return 1;
    ResponsePrinter server;
    server.pipeName = argv[2];
    server.all = argc > 4 && std::wstring(argv[4]) == L"--all";
    if (FAILED(server.start())) return 2;
    WriteStdoutLine(L"listening");
    const DWORD ms = static_cast<DWORD>(_wtoi(argv[3])) * 1000;
    return WaitForSingleObject(server.done.get(), ms) == WAIT_OBJECT_0 ? 0 : 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    int result = 1;
    if (command == L"decode") {
        result = Decode(argc, argv);
    } else if (command == L"delete") {
        KRB_RequestDeleteRequest_CL request;
        result = IdList(argc, argv, request);
    } else if (command == L"priority") {
        KRB_RequestDecodePriorityRequest_CL request;
        result = IdList(argc, argv, request);
    } else if (command == L"copydata") {
        result = CopyData(argc, argv);
    } else if (command == L"raw") {
        result = Raw(argc, argv);
    } else if (command == L"listen") {
        result = Listen(argc, argv);
    }
    if (result == 1) fputws(kUsage, stderr);
    return result;
}
