// Helpers shared by the test programs: scratch folders, files as bytes, waiting
// for conditions, and starting the real programs.
#pragma once
#include <windows.h>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/module_path.h"
#include "common/scoped.h"

namespace testing_support {

// A fresh empty folder under %TEMP%, removed with its files at scope end.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& name);
    ~ScratchFolder();
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
std::vector<std::wstring> ReadLogLines(const std::wstring& path);
// The message part of each log line (after the 26-character timestamp).
std::vector<std::wstring> ReadLogMessages(const std::wstring& path);
size_t Count(const std::vector<std::wstring>& lines, const std::wstring& line);
inline bool Contains(const std::vector<std::wstring>& lines, const std::wstring& l) { return Count(lines, l) > 0; }

// Polls until the condition holds or the time is up; returns the condition's last value.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A fault movie for the fault codec (testing/fault_codec/fault_script.h): its first line,
// then the given instruction lines. Returns the path.
std::wstring WriteFaultMovie(const std::wstring& path, const std::string& instructions);

// A movie in the test movies' folder (TEST_MOVIES_DIR).
std::wstring Movie(const std::wstring& name);

// A started program. Its process is ended at scope end if still running; whatever it
// started ends with the test program.
class ChildProcess {
public:
    ~ChildProcess();
    // Starts exe with the command line tail `arguments`; stdout and stderr go to the file when given.
    bool Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& outputFile = L"");
    bool Wait(DWORD timeoutMs, DWORD* exitCode = nullptr);
    bool Running() const;
    DWORD Pid() const { return pid_; }

private:
    UniqueHandle process_;
    DWORD pid_ = 0;
};

// The service run as its client would: Tessaloom.exe <client> "<folder>" [extra].
class ServiceProcess {
public:
    ServiceProcess(std::wstring clientName, std::wstring workFolder)
        : clientName_(std::move(clientName)), workFolder_(std::move(workFolder)) {}
    bool Start(const std::wstring& extraArguments = L"");
    // The service window (class "Tessaloom", title = client name), waited for.
    HWND WaitWindow(DWORD timeoutMs = 20000);
    // Sends WM_CLOSE and waits for the process that owns the window to end.
    bool Close(DWORD timeoutMs = 20000);
    ChildProcess& process() { return process_; }

private:
    std::wstring clientName_, workFolder_;
    ChildProcess process_;
};

HWND FindServiceWindow(const std::wstring& clientName);
// Writes one message with PipeClient_CL once the pipe's single instance is free (the
// client itself would sleep 200 ms on each busy try).
bool SendWhenFree(const std::wstring& pipeName, const std::string& payload);

// A client name unique to this test process and tag, so that parallel tests never share
// pipes, events or windows.
std::wstring UniqueName(const std::wstring& tag);

}  // namespace testing_support
