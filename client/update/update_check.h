// At most once a day: is a newer Snapwick published? Records the outcome in the
// settings file and offers the download site.
#pragma once
#include <windows.h>
#include <functional>
#include <string>

#include "common/inifile.h"

namespace snapwick {

class UpdateCheck_CL {
public:
    UpdateCheck_CL(const Inifile_CL& settings, std::wstring host, std::wstring path);
    virtual ~UpdateCheck_CL() = default;

    // Always 0; the outcome is in the settings ("last_check_result" and the rest).
    int CheckForUpdate(const std::wstring& caption, const std::wstring& currentVersion, HWND owner);

    // How the user is asked (an UpdateChoice) and how a site is opened; tests put
    // their own in place of the dialog and the browser.
    std::function<int(const std::wstring& caption, const std::wstring& current, const std::wstring& remote,
                      HWND owner)>
        ask;
    std::function<void(const std::wstring& url)> openUrl;

    // Text found after a NUL in a version file of the older form.
    const std::string& extraText() const { return extraText_; }

private:
    bool Download(std::string& text);
    void GoToSite(const std::wstring& url);

    const Inifile_CL& settings_;
    std::wstring host_;
    std::wstring path_;
    std::string extraText_;
};

// True for a URL that may be handed to the browser: http:// or https:// only.
bool IsWebUrl(const std::wstring& url);

}  // namespace snapwick
