#include "client/tessaloom_request.h"

#include <shellapi.h>

#include "common/module_path.h"
#include "common/scoped.h"

namespace snapwick {

namespace {
constexpr int kCloseAttempts = 3;
constexpr DWORD kCloseWaitMs = 1000;
constexpr int kStartAttempts = 5;
constexpr DWORD kStartRetryMs = 500;
// A window check costs a call to the window server: looking often is cheap, and each
// run waits for the service twice (its start and its end).
constexpr DWORD kPollMs = 10;

// Polls for `done` up to timeoutMs, and less when `stop` is signalled.
template <class Done>
bool PollFor(Done done, DWORD timeoutMs, HANDLE stop = nullptr) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= deadline) return false;
        if (stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return done();
        Sleep(kPollMs);
    }
}
}  // namespace

void TessaloomRequest_CL::setup(const std::wstring& title, const std::wstring& workFolder,
                                const std::wstring& programFolder) {
    title_ = title;
    workFolder_ = workFolder;
    executable_ = programFolder + L"\\Tessaloom.exe";
}

HWND TessaloomRequest_CL::window() const { return FindWindowW(L"Tessaloom", title_.c_str()); }

void TessaloomRequest_CL::closeService() {
    for (int attempt = 0; attempt < kCloseAttempts; ++attempt) {
        HWND hwnd = window();
        if (!hwnd) return;
        // A hung service must not hang its client as well.
        DWORD_PTR result = 0;
        SendMessageTimeoutW(hwnd, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 10000, &result);
        PollFor([&] { return !IsWindow(hwnd); }, kCloseWaitMs);
    }
}

int TessaloomRequest_CL::findService() {
    if (window()) return 1;
    const std::wstring directory = CurrentFolder();
    const std::wstring parameters = title_ + L" \"" + workFolder_ + L"\"";
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        info.lpFile = executable_.c_str();
        info.lpParameters = parameters.c_str();
        info.lpDirectory = directory.c_str();
        info.nShow = SW_SHOWNORMAL;
        if (start(&info)) {
            // Without a process handle (the start went through another program) the
            // copy cannot be watched, but it was started all the same.
            UniqueHandle process(info.hProcess);
            // Wait while the copy lives; only one that is known to have ended is
            // started again.
            if (PollFor([&] { return window() != nullptr; }, windowWaitMs, process.get())) return 1;
            if (!process || WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) return 0;
        } else {
            Sleep(kStartRetryMs);
        }
        if (window()) return 1;
    }
    return 0;
}

}  // namespace snapwick
