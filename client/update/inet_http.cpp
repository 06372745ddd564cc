#include "client/update/inet_http.h"

#include <algorithm>
#include <cwchar>

#include "client/process_state.h"
#include "common/console.h"
#include "common/log.h"
#include "common/scoped.h"

namespace snapwick {

namespace {
// The ideographic space (U+3000) between "Internet" and "Explorer" is part of the agent.
const wchar_t kAgent[] = L"Microsoft Internet\u3000Explorer";
// A server that accepts and then says nothing must not hold the client for minutes.
constexpr DWORD kTimeoutMs = 10000;
constexpr DWORD kReadBlock = 1048576;

// "<what>エラー = 0x8007xxxx : <system text>" to the update log.
void LogFailure(const wchar_t* what) {
    const DWORD error = GetLastError();
    wchar_t* text = nullptr;
    // WinINet's own error texts live in wininet.dll, not in the system table.
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  GetModuleHandleW(L"wininet.dll"), error, 0,
                                  reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    LocalMemory<wchar_t*> owned(text);
    std::wstring message = length ? std::wstring(text, length) : L"";
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) message.pop_back();
    WriteLog(updateLog, L"%sエラー = 0x%08x : %s", what, 0x80070000u | (error & 0xFFFF), message.c_str());
}
}  // namespace

bool InetHttp_CL::Open() {
    internet_.reset(InternetOpenW(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internet_) {
        LogFailure(L"InternetOpen()");
        return false;
    }
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        DWORD timeout = kTimeoutMs;
        InternetSetOptionW(internet_.get(), option, &timeout, sizeof timeout);
    }
    return true;
}

HINTERNET InetHttp_CL::Connect(const std::wstring& host) {
    if (!internet_) return nullptr;
    connection_.reset(InternetConnectW(internet_.get(), host.c_str(), INTERNET_DEFAULT_HTTP_PORT, nullptr,
                                       nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection_) LogFailure(L"InternetConnect()");
    return connection_.get();
}

int InetHttp_CL::SendGet(const std::wstring& path) {
    if (!connection_) return 0;
    request_.reset(HttpOpenRequestW(connection_.get(), L"GET", path.c_str(), nullptr, nullptr, nullptr,
                                    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0));
    if (!request_) {
        LogFailure(L"HttpOpenRequest()");
        return 0;
    }
    if (!HttpSendRequestW(request_.get(), nullptr, 0, nullptr, 0)) {
        LogFailure(L"HttpSendRequest()");
        return 0;
    }
    DWORD size = sizeof statusCode;
    if (HttpQueryInfoW(request_.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &statusCode, &size,
                       nullptr)) {
        WriteStdoutLine(L"StatusCode = " + std::to_wstring(statusCode));
    } else {
        WriteStdoutLine(L"HttpQueryInfo err" + std::to_wstring(GetLastError()));
    }
    wchar_t text[128] = {};  // 256 bytes
    size = sizeof text - sizeof(wchar_t);
    contentLength = -1;
    if (HttpQueryInfoW(request_.get(), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) {
        wchar_t* end = nullptr;
        const long long value = wcstoll(text, &end, 10);
        if (end != text && value >= 0) contentLength = value > kMaxBodyBytes ? kMaxBodyBytes + 1 : static_cast<int>(value);
    }
    return 1;
}

int InetHttp_CL::ReadBody(int length) {
    body_.clear();
    if (!request_ || length > kMaxBodyBytes) return 0;
    // Known length: read until it has all come; a single read may return less.
    const size_t limit = length >= 0 ? static_cast<size_t>(length) : static_cast<size_t>(kMaxBodyBytes);
    std::string block(kReadBlock, '\0');
    while (body_.size() < limit) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(block.size(), limit - body_.size()));
        DWORD got = 0;
        if (!InternetReadFile(request_.get(), &block[0], want, &got)) {
            WriteStdoutLine(L"読み込み失敗");
            body_.clear();
            return 0;
        }
        if (got == 0) break;
        body_.append(block.data(), got);
    }
    // An unknown length that reaches the limit is not a version file.
    if (length < 0 && body_.size() >= limit) {
        DWORD got = 0;
        char probe = 0;
        if (InternetReadFile(request_.get(), &probe, 1, &got) && got > 0) {
            body_.clear();
            return 0;
        }
    }
    return static_cast<int>(body_.size());
}

}  // namespace snapwick
