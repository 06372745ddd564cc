// Test helper: a process that faults on a secondary thread under the service's crash filter
// (with the folder's Thumbnail.ini), after its service window got WM_CLOSE (-close) or its
// watchdog handed the work over (-handover). Started again as the filter restarts it
// (-restart), it only records its command line in "restarted.txt" of the work folder.
//   crash_probe <client> <folder> [-close|-handover|-restart]
#include <windows.h>

#include <memory>
#include <string>
#include <thread>

#include "service/logs.h"
#include "common/scoped.h"
#include "service/app/app.h"
#include "service/main_window.h"
#include "service/process_state.h"
#include "testing/support/test_support.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const std::wstring folder = argv[2];
    const std::wstring mode = argc == 4 ? argv[3] : L"";
    const bool close = mode == L"-close", handOver = mode == L"-handover";
    if (argc >= 4 && !close && !handOver) {
        std::wstring line;
        for (int i = 1; i < argc; ++i) line += std::wstring(L"[") + argv[i] + L"]";
        const std::string bytes(reinterpret_cast<const char*>(line.data()), line.size() * 2);
        return testing_support::WriteFileBytes(folder + L"\\restarted.txt", bytes) ? 0 : 3;
    }
    g_clientName = argv[1];
    g_workFolder = folder;
    decodeListLog.path = folder + L"\\kestrel_dec_list.txt";
    sequenceLog.path = folder + L"\\kestrel_seq.txt";
    SetUnhandledExceptionFilter(CrashFilter);
    GdiplusSession gdiplus;
    std::unique_ptr<MainWindow_CL> window;
    if (close || handOver) {
        // The service's window, closed as its client closes it or told by its watchdog.
        window = std::make_unique<MainWindow_CL>(GetModuleHandleW(nullptr), 3, g_clientName, folder);
        WNDCLASSEXW wc = {sizeof wc, 0, MainWindow_CL::WindowProc, 0, 0, GetModuleHandleW(nullptr)};
        wc.lpszClassName = L"TessaloomCrashProbe";
        RegisterClassExW(&wc);
        HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr,
                                    wc.hInstance, window.get());
        if (!hwnd) return 4;
        if (close) SendMessageW(hwnd, WM_CLOSE, 0, 0);
        if (handOver) SendMessageW(hwnd, WM_TIMER, NO_RESPONSE_TIMER_ID, 0);  // the watchdog comes due
    }
    std::thread([] { RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr); }).join();
    return 0;
}
