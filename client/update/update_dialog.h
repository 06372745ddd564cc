// The dialog that offers a newer version: go to the site, or be reminded later.
#pragma once
#include <functional>
#include <string>

#include "client/update/control_factory.h"
#include "client/update/sub_class_dialog_base.h"

namespace snapwick {

constexpr int ID_GO_TO_SITE = 4096;
constexpr int ID_REMIND_LATER = 4098;

// The choices: closed, go to the site, remind later; -1 when no dialog could be shown.
enum UpdateChoice : int { kChoiceClosed = 0, kChoiceGoToSite = 1, kChoiceRemindLater = 2, kChoiceNoDialog = -1 };

// The dialog's message for the two versions.
std::wstring UpdateMessageText(const std::wstring& currentVersion, const std::wstring& remoteVersion);

class UpdateDialog_CL : public SubClassDialogBase_CL {
public:
    UpdateDialog_CL(std::wstring caption, std::wstring currentVersion, std::wstring remoteVersion);

    // Shows the dialog modally over owner (the desktop when null).
    INT_PTR show(HWND owner);

protected:
    INT_PTR handleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void layOut();
    void centreOverOwner();

    const std::wstring caption_;
    const std::wstring current_;
    const std::wstring remote_;
    HWND owner_ = nullptr;
    std::unique_ptr<ControlFactory_CL> controls_;
};

// How the dialog is shown: its choice, or kChoiceNoDialog when it cannot be created.
using ShowUpdateDialog = std::function<INT_PTR(UpdateDialog_CL& dialog, HWND owner)>;

// The dialog, or a Yes/No/Cancel message box with the same text when the dialog
// cannot be created (Yes: go to the site, No: remind later, Cancel: closed).
int AskAboutUpdate(const std::wstring& caption, const std::wstring& currentVersion,
                   const std::wstring& remoteVersion, HWND owner);
// The same with the dialog shown by `show`.
int AskAboutUpdateShowing(const ShowUpdateDialog& show, const std::wstring& caption,
                          const std::wstring& currentVersion, const std::wstring& remoteVersion, HWND owner);

}  // namespace snapwick
