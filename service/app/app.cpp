#include "service/app/app.h"

#include <windows.h>
#include <shellapi.h>
#include <clocale>

#include "common/scoped.h"
#include "service/logs.h"
#include "service/main_window.h"
#include "service/process_state.h"
#include "service/restart.h"
#include "service/settings.h"
#include "service/thumbnail_decode/cancel_relay.h"
#include "service/thumbnail_decode/decode_helpers.h"

namespace {
DWORD g_mainThreadId = 0;
const wchar_t kWindowClass[] = L"Tessaloom";
}  // namespace

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info) {
    // A fault on the main thread ends the process without a restart.
    if (GetCurrentThreadId() == g_mainThreadId) return EXCEPTION_EXECUTE_HANDLER;
    DecodeHelpers::StopForJobThreadFault();
    CancelRelay::StopForJobThreadFault();
    if (MainWindow_CL::HandleJobThreadFault(info)) return EXCEPTION_CONTINUE_EXECUTION;
    // A job's further frame source: only its thread ends, the job goes on without it.
    if (DecodeHelpers::HandleFault()) return EXCEPTION_CONTINUE_EXECUTION;
    // A new process already has the work: a second one would compete for the queue.
    if (MainWindow_CL::HasHandedOver()) return EXCEPTION_EXECUTE_HANDLER;
    const ServiceSettings settings(g_workFolder);
    if (settings.GetInt(L"run_decode", 0) != 0) settings.SetInt(L"exception", 1);
    // Its client closed it: the movie is marked for whoever starts a service next,
    // but nothing starts one now.
    if (MainWindow_CL::IsClosed()) {
        WriteLog(decodeListLog, L"例外発生(終了要求済みのため再起動しない)");
        return EXCEPTION_EXECUTE_HANDLER;
    }
    WriteLog(decodeListLog, L"例外発生による再起動\n");
    MainWindow_CL::StopIntakeAfterCrash();
    AppRestart(g_clientName, g_workFolder);
    return EXCEPTION_EXECUTE_HANDLER;
}

int ServiceMain(HINSTANCE instance) {
    setlocale(LC_ALL, "Japanese");
    int argc = 0;
    LocalMemory<LPWSTR*> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv.get() || argc < 3) return -1;
    g_mainThreadId = GetCurrentThreadId();
    const std::wstring clientName = argv.get()[1];
    const std::wstring workFolder = argv.get()[2];
    g_clientName = clientName;
    g_workFolder = workFolder;

    ServiceSettings(workFolder).Create();
    ComApartment com;
    GdiplusSession gdiplus;

    MainWindow_CL window(instance, argc, clientName, workFolder);

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(WNDCLASSEXW);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWindow_CL::WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(5));
    wc.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&wc)) {
        // Without a window no quit message could ever arrive.
        WriteLog(mainLog, L"[LOG_LINE]  RegisterClassExW failed error=%u", GetLastError());
        return 1;
    }
    // Titled at the end of WM_CREATE, after the first try at the pipe.
    HWND hwnd = CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, 64, 64, nullptr, nullptr, instance,
                                &window);
    if (!hwnd) {
        WriteLog(mainLog, L"[LOG_LINE]  CreateWindowExW failed error=%u", GetLastError());
        return 1;
    }

    MSG msg = {};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
