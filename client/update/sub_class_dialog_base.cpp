#include "client/update/sub_class_dialog_base.h"

#include <cstring>

namespace snapwick {

namespace {
// A caption, system menu and minimise box; no controls, menu, class or title in the
// template: the object adds them.
constexpr DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME;
}  // namespace

INT_PTR SubClassDialogBase_CL::showModal(HWND owner, int widthDlu, int heightDlu) {
    // Zeroed: the words after the header (menu, class, title) are all empty.
    alignas(DWORD) unsigned char buffer[1024] = {};
    DLGTEMPLATE header = {};
    header.style = kDialogStyle;
    header.cx = static_cast<short>(widthDlu);
    header.cy = static_cast<short>(heightDlu);
    memcpy(buffer, &header, sizeof header);
    return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<DLGTEMPLATE*>(buffer), owner,
                                   DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK SubClassDialogBase_CL::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<SubClassDialogBase_CL*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<SubClassDialogBase_CL*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, lParam);
        self->hwnd_ = hwnd;
        self->dc_ = std::make_unique<WindowDC>(hwnd);
        SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    }
    if (!self) return FALSE;
    const INT_PTR result = self->handleMessage(hwnd, message, wParam, lParam);
    if (message == WM_DESTROY) {
        self->onDestroy();
        self->dc_.reset();
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    }
    return result;
}

}  // namespace snapwick
