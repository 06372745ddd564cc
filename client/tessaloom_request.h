// Finding, starting and closing the service that serves this client.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include <functional>
#include <string>

namespace snapwick {

class TessaloomRequest_CL {
public:
    TessaloomRequest_CL() = default;
    virtual ~TessaloomRequest_CL() = default;

    // The window title to look for (the client name), the work folder handed to the
    // service, and the folder of Tessaloom.exe.
    void setup(const std::wstring& title, const std::wstring& workFolder, const std::wstring& programFolder);

    // Sends WM_CLOSE to the service window of this title until none is left (at most
    // three times, a second apart).
    void closeService();

    // 1 when the service window exists or appears after starting the service, else 0.
    // A started copy is given time to open its window before another is started, so
    // at most one copy runs.
    int findService();

    HWND window() const;
    const std::wstring& executable() const { return executable_; }

    // How a copy is started (tests stand in for it).
    std::function<BOOL(SHELLEXECUTEINFOW*)> start = ShellExecuteExW;
    // A starting service opens its window within a second or two; on a busy machine
    // it may take much longer, and a second copy would only compete for the same pipe.
    DWORD windowWaitMs = 20000;

private:
    std::wstring title_;
    std::wstring workFolder_;
    std::wstring executable_;
};

}  // namespace snapwick
