// A modal dialog run from a template built in memory, whose messages go to a C++
// object.
#pragma once
#include <windows.h>
#include <memory>

#include "common/scoped.h"

namespace snapwick {

class SubClassDialogBase_CL {
public:
    SubClassDialogBase_CL() = default;
    SubClassDialogBase_CL(const SubClassDialogBase_CL&) = delete;
    SubClassDialogBase_CL& operator=(const SubClassDialogBase_CL&) = delete;
    virtual ~SubClassDialogBase_CL() = default;

    // Runs the dialog; the EndDialog result, or -1 when it cannot be created.
    INT_PTR showModal(HWND owner, int widthDlu, int heightDlu);

protected:
    // Called on WM_DESTROY, before the device context is given back.
    virtual void onDestroy() {}
    // Every message of the dialog; the dialog procedure's result.
    virtual INT_PTR handleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) = 0;

    HWND hwnd_ = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    std::unique_ptr<WindowDC> dc_;
};

}  // namespace snapwick
