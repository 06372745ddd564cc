// The update check against a real HTTP server on loopback port 80: when it checks,
// what it records, and the dialog's outcomes (pressed from another thread).
#include "testing/support/http_test_server.h"

#include <gtest/gtest.h>

#include <ctime>
#include <thread>

#include "client/process_state.h"
#include "client/update/update_check.h"
#include "client/update/update_dialog.h"
#include "common/inifile.h"
#include "testing/support/test_support.h"

using namespace testing_support;
using snapwick::UpdateCheck_CL;

namespace {

const std::string kNewer = "{\"version\": \"1.0.0.1\", \"url\": \"http://example.invalid/dl\"}";
const std::map<std::string, HttpTestServer::Reply> kRoutes = {
    {"/same.json", {200, "{\"version\": \"1.0.0\", \"url\": \"http://example.invalid/dl\"}"}},
    {"/newer.json", {200, kNewer}},
    {"/older.txt", {200, std::string("1.2.3.4\r\nhttp://example.invalid/old\0notes", 41)}},
    {"/file-url.json", {200, "{\"version\": \"2.0\", \"url\": \"file:///C:/windows/notepad.exe\"}"}},
    {"/page.html", {200, "<html><body>Version 9.9</body></html>"}},
    {"/empty.txt", {200, ""}},
    {"/error.json", {500, kNewer}},
};

int Ymd(time_t t) {
    tm local = {};
    localtime_s(&local, &t);
    return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}
const int kToday = Ymd(time(nullptr));
const int kYesterday = Ymd(time(nullptr) - 24 * 3600);

class UpdateCheck : public ::testing::Test {
protected:
    void SetUp() override {
        ini.SetPath(folder.file(L"Snapwick.ini"));
        snapwick::updateLog.path = folder.file(L"Snapwick_log.txt");
    }
    void TearDown() override { snapwick::updateLog.path.clear(); }

    // Runs the check; the user's answer comes from `answer` (none: the test fails if asked).
    void Check(const std::wstring& path, int answer = -2) {
        UpdateCheck_CL check(ini, L"localhost", path);
        check.ask = [&](const std::wstring&, const std::wstring&, const std::wstring& remote, HWND) {
            asked.push_back(remote);
            EXPECT_NE(answer, -2) << "asked unexpectedly";
            return answer;
        };
        check.openUrl = [&](const std::wstring& url) { opened.push_back(url); };
        check.CheckForUpdate(L"Snapwickのアップデート。", L"1.0.0", nullptr);
        extraText = check.extraText();
    }
    std::wstring Key(const wchar_t* key) { return ini.GetString(L"VERSION", key, L"-"); }
    int IntKey(const wchar_t* key) { return ini.GetInt(L"VERSION", key, -1); }
    std::vector<std::wstring> Log() { return ReadLogMessages(snapwick::updateLog.path); }

    ScratchFolder folder{L"update"};
    Inifile_CL ini;
    std::vector<std::wstring> asked, opened;
    std::string extraText;
};

// When it checks, and what it records; "remind later" is the answer when asked.
TEST_F(UpdateCheck, ChecksWhenDueAndRecordsTheOutcome) {
    const struct {
        const char* name;
        std::vector<std::pair<const wchar_t*, int>> presets;
        const wchar_t* path;
        int requests;           // seen by the server
        const wchar_t* result;  // "last_check_result", "-" when not written
        bool asked;
        bool datesWritten;
    } cases[] = {
        {"notify means no network", {{L"notify", 1}, {L"force", 1}}, L"/newer.json", 0, L"-", false, false},
        {"checked today", {{L"last_day_ymd", kToday}}, L"/newer.json", 0, L"-", false, false},
        {"older day key today", {{L"last_day", kToday % 100}}, L"/newer.json", 0, L"-", false, false},
        {"checked yesterday", {{L"last_day_ymd", kYesterday}}, L"/same.json", 1, L"up_to_date", false, true},
        {"force 2 checks again", {{L"force", 2}, {L"last_day_ymd", kToday}}, L"/same.json", 1, L"up_to_date", false,
         true},
        {"force 1 offers the same version", {{L"force", 1}}, L"/same.json", 1, L"update_available", true, true},
        {"newer version", {}, L"/newer.json", 1, L"update_available", true, true},
        {"an HTML page is never newer", {}, L"/page.html", 1, L"up_to_date", false, true},
        {"empty body, two attempts", {}, L"/empty.txt", 2, L"network_or_parse_failed", false, false},
        // An error status is a definite answer: asked once.
        {"missing file (404)", {}, L"/missing.txt", 1, L"network_or_parse_failed", false, false},
        {"server error (500)", {}, L"/error.json", 1, L"network_or_parse_failed", false, false},
    };
    HttpTestServer server(kRoutes);
    ASSERT_TRUE(server.Started());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(folder.file(L"Snapwick.ini").c_str());
        ini.SetPath(folder.file(L"Snapwick.ini"));
        asked.clear();
        for (const auto& preset : c.presets) ini.SetInt(L"VERSION", preset.first, preset.second);
        const int lastDayYmd = IntKey(L"last_day_ymd");
        const int requestsBefore = server.Requests();

        Check(c.path, snapwick::kChoiceRemindLater);

        EXPECT_EQ(server.Requests() - requestsBefore, c.requests);
        EXPECT_EQ(Key(L"last_check_result"), c.result);
        EXPECT_EQ(asked.size(), c.asked ? 1u : 0u);
        EXPECT_EQ(IntKey(L"last_day_ymd"), c.datesWritten ? kToday : lastDayYmd);
        EXPECT_TRUE(!c.datesWritten || IntKey(L"last_day") == kToday % 100) << IntKey(L"last_day");
        EXPECT_TRUE(opened.empty());
    }
}

TEST_F(UpdateCheck, ServerDownIsANetworkFailureAndLogged) {
    Check(L"/newer.json");
    EXPECT_EQ(Key(L"last_check_result"), L"network_or_parse_failed");
    EXPECT_EQ(IntKey(L"last_day_ymd"), -1);
    const auto log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].rfind(L"HttpSendRequest()エラー = 0x8007", 0), 0u);
}

// "Go to the site" opens the older form's URL (and the next run asks again), but
// only web addresses: a file URL is logged and not opened.
TEST_F(UpdateCheck, GoToSiteOpensOnlyWebAddresses) {
    HttpTestServer server(kRoutes);
    ASSERT_TRUE(server.Started());
    Check(L"/older.txt", snapwick::kChoiceGoToSite);
    EXPECT_EQ(asked, (std::vector<std::wstring>{L"1.2.3.4"}));
    EXPECT_EQ(Key(L"last_remote_version"), L"1.2.3.4");
    EXPECT_EQ(Key(L"last_update_url"), L"http://example.invalid/old");
    EXPECT_EQ(extraText, "notes");
    EXPECT_EQ(opened, (std::vector<std::wstring>{L"http://example.invalid/old"}));
    EXPECT_EQ(IntKey(L"last_day_ymd"), -1);

    Check(L"/file-url.json", snapwick::kChoiceGoToSite);
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_TRUE(Contains(Log(), L"(update-dialog) not a web address, not opened(file:///C:/windows/notepad.exe)"));
}

// Presses a control of the window titled `caption` (or closes it with id 0) once it appears.
std::thread Press(const std::wstring& caption, int id, std::wstring* staticText = nullptr) {
    return std::thread([=] {
        HWND dialog = nullptr;
        HWND text = nullptr;
        // The title comes first in a dialog's set-up and the message (a static child with
        // text) last: once that exists the dialog is complete.
        const auto messageOf = [](HWND window) {
            HWND child = nullptr;
            while ((child = FindWindowExW(window, child, L"Static", nullptr)) != nullptr)
                if (GetWindowTextLengthW(child) > 0) return child;
            return child;
        };
        if (!WaitFor([&] {
                return (dialog = FindWindowW(L"#32770", caption.c_str())) != nullptr &&
                       (text = messageOf(dialog)) != nullptr;
            }, std::chrono::seconds(30))) {
            // Not the dialog expected: close what there is, so the check under test ends
            // and its assertions fail instead of the test hanging.
            if (dialog) PostMessageW(dialog, WM_CLOSE, 0, 0);
            return;
        }
        if (staticText) {
            wchar_t buffer[512] = {};
            GetWindowTextW(text, buffer, 512);
            *staticText = buffer;
        }
        PostMessageW(dialog, id ? WM_COMMAND : WM_CLOSE, static_cast<WPARAM>(id), 0);
    });
}

TEST_F(UpdateCheck, TheDialogsThreeOutcomesAndTheMessageBoxFallback) {
    HttpTestServer server(kRoutes);
    ASSERT_TRUE(server.Started());
    struct Outcome {
        int button;  // 0: closed by its close box
        bool opened;
        bool datesWritten;
        bool messageBox;  // the dialog cannot be made: the message box comes instead ("No": remind later)
    } outcomes[] = {{snapwick::ID_GO_TO_SITE, true, false, false},
                    {snapwick::ID_REMIND_LATER, false, true, false},
                    {0, false, false, false},
                    {IDNO, false, true, true}};
    for (const auto& o : outcomes) {
        SCOPED_TRACE(o.button);
        ini.SetInt(L"VERSION", L"last_day_ymd", kYesterday);
        opened.clear();
        const std::wstring caption = UniqueName(L"update-" + std::to_wstring(o.button));
        std::wstring text;
        std::thread presser = Press(caption, o.button, &text);
        UpdateCheck_CL check(ini, L"localhost", L"/newer.json");
        check.openUrl = [&](const std::wstring& url) { opened.push_back(url); };
        if (o.messageBox) {
            check.ask = [](const std::wstring& c, const std::wstring& current, const std::wstring& remote, HWND owner) {
                const auto noDialog = [](snapwick::UpdateDialog_CL&, HWND) { return INT_PTR(snapwick::kChoiceNoDialog); };
                return snapwick::AskAboutUpdateShowing(noDialog, c, current, remote, owner);
            };
        }
        check.CheckForUpdate(caption, L"1.0.0", nullptr);
        presser.join();
        EXPECT_EQ(text, L"最新のバージョン1.0.0.1が公開されています。\r\nサイトへ移動しますか？\r\n\r\n"
                        L"　（現在インストールされているバージョンは1.0.0です。）\r\n");
        EXPECT_EQ(Key(L"last_check_result"), L"update_available");
        EXPECT_EQ(opened.size(), o.opened ? 1u : 0u);
        EXPECT_EQ(IntKey(L"last_day_ymd"), o.datesWritten ? kToday : kYesterday);
    }
}

}  // namespace
