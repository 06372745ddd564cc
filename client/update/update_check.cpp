#include "client/update/update_check.h"

#include <shellapi.h>
#include <shlwapi.h>
#include <ctime>
#include <cwchar>

#include "client/process_state.h"
#include "client/update/inet_http.h"
#include "client/update/update_dialog.h"
#include "client/update/version_file.h"
#include "common/console.h"
#include "common/log.h"

namespace snapwick {

namespace {
constexpr int kDownloadAttempts = 2;
// Its presence keeps the browser closed (for the developers' own machines).
const wchar_t kNoBrowserMarker[] = L"c:\\MyHome.txt";

struct Today {
    int ymd = 0;
    int day = 0;
};

Today LocalToday() {
    const __time64_t now = _time64(nullptr);
    tm local = {};
    _localtime64_s(&local, &now);
    return {(local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday, local.tm_mday};
}

void OpenInBrowser(const std::wstring& url) {
    ShellExecuteW(nullptr, nullptr, url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
}  // namespace

bool IsWebUrl(const std::wstring& url) {
    return _wcsnicmp(url.c_str(), L"http://", 7) == 0 || _wcsnicmp(url.c_str(), L"https://", 8) == 0;
}

UpdateCheck_CL::UpdateCheck_CL(const Inifile_CL& settings, std::wstring host, std::wstring path)
    : ask(AskAboutUpdate), openUrl(OpenInBrowser), settings_(settings), host_(std::move(host)),
      path_(std::move(path)) {}

bool UpdateCheck_CL::Download(std::string& text) {
    for (int attempt = 0; attempt < kDownloadAttempts; ++attempt) {
        InetHttp_CL http;
        if (!http.Open() || !http.Connect(host_) || !http.SendGet(path_)) continue;
        // An error page is not the version file, whatever its body says; a server
        // that said so clearly is not asked again.
        if (http.statusCode < 200 || http.statusCode > 299) {
            WriteLog(updateLog, L"(update-check) status=%u path(%s)", http.statusCode, path_.c_str());
            if (http.statusCode != 0) return false;
            continue;
        }
        if (http.ReadBody(http.contentLength) > 0) {
            text = http.body();
            return true;
        }
    }
    return false;
}

void UpdateCheck_CL::GoToSite(const std::wstring& url) {
    // The file came over plain HTTP: anything but a web address could start a local program.
    if (!IsWebUrl(url)) {
        WriteLog(updateLog, L"(update-dialog) not a web address, not opened(%s)", url.c_str());
        return;
    }
    if (PathFileExistsW(kNoBrowserMarker)) {
        WriteLog(updateLog, L"(update-dialog) %s exists, not opened(%s)", kNoBrowserMarker, url.c_str());
        return;
    }
    WriteLog(updateLog, L"(update-dialog) open(%s)", url.c_str());
    openUrl(url);
}

int UpdateCheck_CL::CheckForUpdate(const std::wstring& caption, const std::wstring& currentVersion, HWND owner) {
    const int force = settings_.GetInt(kVersionSection, L"force", 0);
    if (updateCheckBusy) return 0;
    if (settings_.GetInt(kVersionSection, L"notify", 0) != 0) return 0;

    const Today today = LocalToday();
    const int lastDayYmd = settings_.GetInt(kVersionSection, L"last_day_ymd", 0);
    const int lastDay = settings_.GetInt(kVersionSection, L"last_day", 0);
    const bool due = force != 0 || (lastDayYmd != 0 ? lastDayYmd != today.ymd : lastDay != today.day);
    if (!due) return 0;

    std::string text;
    if (!Download(text)) {
        settings_.SetString(kVersionSection, L"last_check_result", L"network_or_parse_failed");
        WriteLog(updateLog, L"(update-check) network_or_parse_failed host(%s) path(%s)", host_.c_str(),
                 path_.c_str());
        return 0;
    }
    const VersionFile file = ParseVersionFile(text);
    extraText_ = file.extraText;
    if (!extraText_.empty()) {
        WriteStdoutLine(L"古い形式");
        WriteStdoutLine(std::wstring(extraText_.begin(), extraText_.end()) + L" " +
                        std::to_wstring(extraText_.size()));
    }
    settings_.SetString(kVersionSection, L"last_remote_version", file.version);
    settings_.SetString(kVersionSection, L"last_update_url", file.url);
    // An HTML page (an error page of the server) never counts as newer.
    const std::wstring remote = text[0] == '<' ? L"0.0.0.0" : file.version;

    if (force == 1 || IsNewerVersion(currentVersion, remote)) {
        settings_.SetString(kVersionSection, L"last_check_result", L"update_available");
        updateCheckBusy = 1;
        const int choice = ask(caption, currentVersion, remote, owner ? owner : GetDesktopWindow());
        WriteLog(updateLog, L"(update-dialog) choice=%d remote=%s", choice, remote.c_str());
        if (choice == kChoiceGoToSite) {
            GoToSite(file.url);
        } else if (choice == kChoiceRemindLater) {
            settings_.SetInt(kVersionSection, L"last_day", today.day);
            settings_.SetInt(kVersionSection, L"last_day_ymd", today.ymd);
        }
        updateCheckBusy = 0;
    } else {
        settings_.SetString(kVersionSection, L"last_check_result", L"up_to_date");
        settings_.SetInt(kVersionSection, L"last_day", today.day);
        settings_.SetInt(kVersionSection, L"last_day_ymd", today.ymd);
        WriteLog(updateLog, L"(update-check) up_to_date remote=%s", file.version.c_str());
    }
    return 0;
}

}  // namespace snapwick
