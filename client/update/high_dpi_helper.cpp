#include "client/update/high_dpi_helper.h"

#include <windows.h>

#include "client/update/dll_function.h"
#include "common/console.h"
#include "common/scoped.h"

namespace snapwick {

namespace {
constexpr int kProcessDpiUnaware = 0;
using GetProcessDpiAwarenessFn = HRESULT(WINAPI*)(HANDLE, int*);
using IsProcessDPIAwareFn = BOOL(WINAPI*)();

int MajorWindowsVersion() {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
#pragma warning(suppress : 4996)
    if (!GetVersionExW(&info)) return 0;
    return static_cast<int>(info.dwMajorVersion);
}
}  // namespace

HighDpiHelper_CL::HighDpiHelper_CL() {
    if (MajorWindowsVersion() > 5) {
        DllFunction_CL shcore(L"SHCore.dll");
        DllFunction_CL user32(L"user32.dll");
        if (auto getAwareness = shcore.as<GetProcessDpiAwarenessFn>("GetProcessDpiAwareness")) {
            int awareness = kProcessDpiUnaware;
            if (SUCCEEDED(getAwareness(GetCurrentProcess(), &awareness)))
                dpiAware = awareness != kProcessDpiUnaware ? 1 : 0;
        } else if (auto isAware = user32.as<IsProcessDPIAwareFn>("IsProcessDPIAware")) {
            dpiAware = isAware() ? 1 : 0;
        }
    } else {
        dpiAware = 0;
    }
    WriteStdoutLine(dpiAware ? L"Virtual DPI = ON" : L"Virtual DPI = OFF");
    if (!dpiAware) {
        WindowDC screen(nullptr);
        dpiX = GetDeviceCaps(screen.get(), LOGPIXELSX);
        dpiY = GetDeviceCaps(screen.get(), LOGPIXELSY);
        if (dpiX <= 0) dpiX = 96;
        if (dpiY <= 0) dpiY = 96;
    }
}

int HighDpiHelper_CL::scaleX(int pixels) const { return dpiAware ? pixels : MulDiv(pixels, dpiX, 96); }
int HighDpiHelper_CL::scaleY(int pixels) const { return dpiAware ? pixels : MulDiv(pixels, dpiY, 96); }

}  // namespace snapwick
