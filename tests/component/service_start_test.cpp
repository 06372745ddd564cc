// Snapwick's start of the service: one copy only, waited for, also when the start gives
// no process to watch (the start itself stood in for).
#include <gtest/gtest.h>

#include <thread>

#include "client/tessaloom_request.h"
#include "testing/support/test_support.h"

using namespace testing_support;

namespace {

TEST(SnapwickServiceStart, WaitsForTheStartedCopyInsteadOfStartingAnother) {
    const struct {
        const char* name;
        bool processHandle, windowComes;  // the start hands over a process; the copy's window comes late
        int found;
    } cases[] = {
        {"a copy that opens its window late", true, true, 1},
        {"no process handle, the window late", false, true, 1},
        {"no process handle, no window", false, false, 0},
    };
    WNDCLASSW wc = {0, DefWindowProcW, 0, 0, GetModuleHandleW(nullptr), nullptr, nullptr, nullptr, nullptr, L"Tessaloom"};
    RegisterClassW(&wc);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring title = UniqueName(L"start");
        snapwick::TessaloomRequest_CL request;
        request.setup(title, L"C:\\work", L"C:\\nowhere");
        request.windowWaitMs = 3000;
        int starts = 0;
        UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread copy;
        request.start = [&](SHELLEXECUTEINFOW* info) {
            if (c.processHandle) info->hProcess = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
            if (++starts == 1 && c.windowComes)
                copy = std::thread([&] {
                    Sleep(1500);  // a slow start
                    HWND hwnd = CreateWindowW(L"Tessaloom", title.c_str(), 0, 0, 0, 64, 64, nullptr, nullptr,
                                              GetModuleHandleW(nullptr), nullptr);
                    WaitForSingleObject(done.get(), INFINITE);
                    DestroyWindow(hwnd);
                });
            return TRUE;
        };
        EXPECT_EQ(request.findService(), c.found);
        EXPECT_EQ(starts, 1);
        SetEvent(done.get());
        if (copy.joinable()) copy.join();
    }
}

}  // namespace
