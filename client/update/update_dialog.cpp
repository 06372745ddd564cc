#include "client/update/update_dialog.h"

#include <algorithm>

#include "client/update/high_dpi_helper.h"

namespace snapwick {

namespace {
constexpr int kWidthDlu = 320, kHeightDlu = 240;
constexpr int kWidthPx = 360, kHeightPx = 160;
constexpr int kMargin = 4;
constexpr int kTextOrigin = 8;
}  // namespace

std::wstring UpdateMessageText(const std::wstring& currentVersion, const std::wstring& remoteVersion) {
    return L"最新のバージョン" + remoteVersion + L"が公開されています。" + L"\r\n" +
           L"サイトへ移動しますか？\r\n\r\n" + L"　（現在インストールされているバージョンは" + currentVersion +
           L"です。）\r\n";
}

UpdateDialog_CL::UpdateDialog_CL(std::wstring caption, std::wstring currentVersion, std::wstring remoteVersion)
    : caption_(std::move(caption)), current_(std::move(currentVersion)), remote_(std::move(remoteVersion)) {}

INT_PTR UpdateDialog_CL::show(HWND owner) {
    owner_ = owner ? owner : GetDesktopWindow();
    return showModal(owner_, kWidthDlu, kHeightDlu);
}

INT_PTR UpdateDialog_CL::handleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetWindowTextW(hwnd, caption_.c_str());
        layOut();
        centreOverOwner();
        // Brought to the front without staying above everything else.
        SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        SetWindowPos(hwnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        SetForegroundWindow(hwnd);
        SetActiveWindow(hwnd);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == ID_GO_TO_SITE) EndDialog(hwnd, kChoiceGoToSite);
        if (LOWORD(wParam) == ID_REMIND_LATER) EndDialog(hwnd, kChoiceRemindLater);
        return TRUE;
    case WM_CLOSE:
        EndDialog(hwnd, kChoiceClosed);
        return TRUE;
    default:
        return FALSE;
    }
}

void UpdateDialog_CL::layOut() {
    HighDpiHelper_CL dpi;
    SetWindowPos(hwnd_, nullptr, 0, 0, dpi.scaleX(kWidthPx), dpi.scaleY(kHeightPx),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowLongPtrW(hwnd_, GWL_STYLE, GetWindowLongPtrW(hwnd_, GWL_STYLE) & ~(WS_MAXIMIZEBOX | WS_MINIMIZEBOX));

    controls_ = std::make_unique<ControlFactory_CL>(hwnd_);
    Button_CL& goToSite = controls_->createButton(L"　サイトへ移動する　");
    Button_CL& remindLater = controls_->createButton(L"後日通知する　");
    goToSite.setId(ID_GO_TO_SITE);
    remindLater.setId(ID_REMIND_LATER);
    RECT client = {};
    GetClientRect(hwnd_, &client);
    const int remindX = client.right - kMargin - remindLater.size.cx;
    const int top = client.bottom - kMargin - remindLater.size.cy;
    remindLater.moveTo(remindX, top);
    goToSite.moveTo(remindX - kMargin - goToSite.size.cx, top);
    controls_->createStaticText(UpdateMessageText(current_, remote_), kTextOrigin, kTextOrigin);
}

void UpdateDialog_CL::centreOverOwner() {
    // Free of the owner's position, then centred over it: over the screen when the
    // owner is minimised, over the work area when there is none.
    SetParent(hwnd_, nullptr);
    RECT area = {};
    if (owner_ && IsWindow(owner_) && !IsIconic(owner_)) {
        GetWindowRect(owner_, &area);
    } else if (owner_ && IsWindow(owner_)) {
        area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    } else {
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    }
    RECT own = {};
    GetWindowRect(hwnd_, &own);
    const int w = own.right - own.left, h = own.bottom - own.top;
    const int x = std::max(0L, area.left + (area.right - area.left - w) / 2);
    const int y = std::max(0L, area.top + (area.bottom - area.top - h) / 2);
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

namespace {
int AskWithMessageBox(const std::wstring& caption, const std::wstring& currentVersion,
                      const std::wstring& remoteVersion, HWND owner) {
    switch (MessageBoxW(owner, UpdateMessageText(currentVersion, remoteVersion).c_str(), caption.c_str(),
                        MB_YESNOCANCEL)) {
    case IDYES: return kChoiceGoToSite;
    case IDNO: return kChoiceRemindLater;
    default: return kChoiceClosed;
    }
}
}  // namespace

int AskAboutUpdate(const std::wstring& caption, const std::wstring& currentVersion,
                   const std::wstring& remoteVersion, HWND owner) {
    return AskAboutUpdateShowing([](UpdateDialog_CL& dialog, HWND window) { return dialog.show(window); }, caption,
                                 currentVersion, remoteVersion, owner);
}

int AskAboutUpdateShowing(const ShowUpdateDialog& show, const std::wstring& caption,
                          const std::wstring& currentVersion, const std::wstring& remoteVersion, HWND owner) {
    UpdateDialog_CL dialog(caption, currentVersion, remoteVersion);
    const INT_PTR choice = show(dialog, owner);
    if (choice == kChoiceNoDialog) return AskWithMessageBox(caption, currentVersion, remoteVersion, owner);
    return static_cast<int>(choice);
}

}  // namespace snapwick
