// The update check against a real HTTP server on loopback port 80.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <map>
#include <thread>

#include "client/process_state.h"
#include "client/update/update_check.h"
#include "client/update/update_dialog.h"
#include "common/inifile.h"
#include "testing/support/test_support.h"

using namespace testing_support;

namespace {

// Answers each GET with the body for its path (404 for any other), one reply per
// connection, and counts requests. Binding port 80 needs root under Wine on Linux.
class HttpTestServer {
public:
    explicit HttpTestServer(std::map<std::string, std::string> bodies) : bodies_(std::move(bodies)) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        BOOL reuse = TRUE;  // connections of an earlier test may still linger on the port
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
        sockaddr_in address = {AF_INET, htons(80), {}, {}};
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener_, 8) == 0)
            thread_ = std::thread([this] { Serve(); });
    }
    ~HttpTestServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        closesocket(listener_);
        WSACleanup();
    }
    bool Started() const { return thread_.joinable(); }
    int Requests() const { return requests_; }

private:
    static bool Readable(SOCKET s, int timeoutMs) {
        fd_set set = {1, {s}};
        timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        return select(0, &set, nullptr, nullptr, &timeout) == 1;
    }
    void Serve() {
        for (SOCKET c; !stop_;)
            if (Readable(listener_, 100) && (c = accept(listener_, nullptr, nullptr)) != INVALID_SOCKET) Answer(c), closesocket(c);
    }
    void Answer(SOCKET connection) {
        std::string request;
        char buffer[2048];
        for (int got; request.find("\r\n\r\n") == std::string::npos && request.size() < 16384; request.append(buffer, got))
            if (!Readable(connection, 10000) || (got = recv(connection, buffer, sizeof buffer, 0)) <= 0) return;
        const size_t start = request.find(' '), end = request.find(' ', start + 1);  // "GET <path> HTTP/1.1"
        if (start == std::string::npos || end == std::string::npos) return;
        ++requests_;
        const auto found = bodies_.find(request.substr(start + 1, end - start - 1));
        const std::string body = found != bodies_.end() ? found->second : "<html>Not Found</html>";
        const std::string response = (found != bodies_.end() ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
                                     std::string("\r\nContent-Length: ") + std::to_string(body.size()) +
                                     "\r\nConnection: close\r\n\r\n" + body;
        send(connection, response.data(), static_cast<int>(response.size()), 0);
        // Closed by the client first, so that no reset cuts the reply.
        shutdown(connection, SD_SEND);
        while (Readable(connection, 5000) && recv(connection, buffer, sizeof buffer, 0) > 0) {
        }
    }

    const std::map<std::string, std::string> bodies_;
    SOCKET listener_ = INVALID_SOCKET;
    std::atomic<int> requests_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int Ymd(time_t t) {
    tm local = {};
    return localtime_s(&local, &t), (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

// Each case on a new settings file; "remind later" is the answer when asked, but "go to
// the site" for the last two: only web addresses are opened, a file URL is logged.
TEST(UpdateCheck, ChecksWhenDueRecordsTheOutcomeAndOpensOnlyWebAddresses) {
    const int today = Ymd(time(nullptr)), yesterday = Ymd(time(nullptr) - 24 * 3600);
    const struct {
        std::vector<std::pair<const wchar_t*, int>> presets;
        const char* path;
        int requests;  // seen by the server; then "last_check_result" ("-": not written)
        const wchar_t* result;
        bool asked, datesWritten;
    } cases[] = {
        {{{L"notify", 1}, {L"force", 1}}, "/newer.json", 0, L"-", false, false},  // notify: no network
        {{{L"last_day_ymd", today}}, "/newer.json", 0, L"-", false, false},
        {{{L"last_day_ymd", yesterday}}, "/same.json", 1, L"up_to_date", false, true},
        {{{L"force", 2}, {L"last_day_ymd", today}}, "/same.json", 1, L"up_to_date", false, true},
        {{{L"force", 1}}, "/same.json", 1, L"update_available", true, true},  // offers the same version
        {{}, "/newer.json", 1, L"update_available", true, true},
        {{}, "/empty.txt", 2, L"network_or_parse_failed", false, false},  // two attempts
        {{}, "/missing.txt", 1, L"network_or_parse_failed", false, false},  // an error status is an answer
        {{}, "/older.txt", 1, L"update_available", true, false},
        {{}, "/file-url.json", 1, L"update_available", true, false},
    };
    HttpTestServer server({
        {"/same.json", "{\"version\": \"1.0.0\", \"url\": \"http://example.invalid/dl\"}"},
        {"/newer.json", "{\"version\": \"1.0.0.1\", \"url\": \"http://example.invalid/dl\"}"},
        {"/older.txt", std::string("1.2.3.4\r\nhttp://example.invalid/old\0notes", 41)},
        {"/file-url.json", "{\"version\": \"2.0\", \"url\": \"file:///C:/windows/notepad.exe\"}"},
        {"/empty.txt", ""},
    });
    ASSERT_TRUE(server.Started());
    ScratchFolder folder(L"update");
    snapwick::updateLog.path = folder.file(L"Snapwick_log.txt");
    std::vector<std::wstring> opened;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        DeleteFileW(folder.file(L"Snapwick.ini").c_str());
        Inifile_CL ini;  // a new file
        ini.SetPath(folder.file(L"Snapwick.ini"));
        for (const auto& preset : c.presets) ini.SetInt(L"VERSION", preset.first, preset.second);
        const int lastDayYmd = ini.GetInt(L"VERSION", L"last_day_ymd", -1), requestsBefore = server.Requests();
        int asked = 0;
        snapwick::UpdateCheck_CL check(ini, L"localhost", std::wstring(c.path, c.path + strlen(c.path)));
        check.ask = [&](const std::wstring&, const std::wstring&, const std::wstring&, HWND) {
            return ++asked, c.path[1] == 'o' || c.path[1] == 'f' ? snapwick::kChoiceGoToSite : snapwick::kChoiceRemindLater;
        };
        check.openUrl = [&](const std::wstring& url) { opened.push_back(url); };
        check.CheckForUpdate(L"Snapwickのアップデート。", L"1.0.0", nullptr);
        EXPECT_EQ(server.Requests() - requestsBefore, c.requests);
        EXPECT_EQ(ini.GetString(L"VERSION", L"last_check_result", L"-"), c.result);
        EXPECT_EQ(asked, c.asked ? 1 : 0);
        EXPECT_EQ(ini.GetInt(L"VERSION", L"last_day_ymd", -1), c.datesWritten ? today : lastDayYmd);
        EXPECT_TRUE(!c.datesWritten || ini.GetInt(L"VERSION", L"last_day", -1) == today % 100);
        EXPECT_TRUE(c.path[1] != 'o' || check.extraText() == "notes");  // after the older form's NUL
    }
    EXPECT_EQ(opened, (std::vector<std::wstring>{L"http://example.invalid/old"}));
    EXPECT_TRUE(Contains(ReadLogMessages(snapwick::updateLog.path),
                         L"(update-dialog) not a web address, not opened(file:///C:/windows/notepad.exe)"));
    snapwick::updateLog.path.clear();
}

}  // namespace
