#include "testing/support/test_support.h"

#include <shlwapi.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "common/pipe.h"

namespace testing_support {

namespace {
void RemoveTree(const std::wstring& folder) {
    std::error_code ignored;  // what cannot be removed stays
    std::filesystem::remove_all(folder, ignored);
}
}  // namespace

ScratchFolder::ScratchFolder(const std::wstring& name) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring root = std::wstring(temp) + L"tessaloom-tests";
    CreateDirectoryW(root.c_str(), nullptr);
    path_ = root + L"\\" + name + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64());
    RemoveTree(path_);
    CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

std::string ReadFileBytes(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    char buffer[65536];
    for (DWORD got = 0; file && ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0;)
        bytes.append(buffer, got);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::wstring WriteFaultMovie(const std::wstring& path, const std::string& instructions) {
    WriteFileBytes(path, "TESSALOOM-FAULT-MOVIE\n" + instructions + "\n");
    return path;
}

bool FileExists(const std::wstring& path) { return PathFileExistsW(path.c_str()) != FALSE; }

std::vector<std::wstring> ReadLogLines(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);  // UTF-16LE, as Windows, after its BOM
    std::wstring text(bytes.size() / 2, L'\0');
    if (!text.empty()) std::memcpy(&text[0], bytes.data(), text.size() * 2);
    std::vector<std::wstring> lines;
    size_t start = text.compare(0, 1, L"\xFEFF") == 0 ? 1 : 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

std::vector<std::wstring> ReadLogMessages(const std::wstring& path) {
    std::vector<std::wstring> messages;
    for (const auto& line : ReadLogLines(path)) messages.push_back(line.size() >= 26 ? line.substr(26) : line);
    return messages;
}

size_t Count(const std::vector<std::wstring>& lines, const std::wstring& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::wstring Movie(const std::wstring& name) {
    const wchar_t* dir = _wgetenv(L"TEST_MOVIES_DIR");
    std::wstring path = (dir ? dir : ProgramFolder() + L"\\..\\movies") + L"\\" + name;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

ChildProcess::~ChildProcess() {
    if (Running() && TerminateProcess(process_.get(), 1)) WaitForSingleObject(process_.get(), 5000);
}

bool ChildProcess::Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& outputFile) {
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    UniqueHandle output(outputFile.empty() ? nullptr
                                           : CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                                         CREATE_ALWAYS, 0, nullptr));
    if (output) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = output.get();
    }
    PROCESS_INFORMATION pi = {};
    const BOOL inherit = output ? TRUE : FALSE;
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, inherit, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    process_.reset(pi.hProcess);
    pid_ = pi.dwProcessId;
    return true;
}

bool ChildProcess::Wait(DWORD timeoutMs, DWORD* exitCode) {
    if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
    return !exitCode || GetExitCodeProcess(process_.get(), exitCode);
}

bool ChildProcess::Running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

bool ServiceProcess::Start(const std::wstring& extraArguments) {
    std::wstring arguments = clientName_ + L" \"" + workFolder_ + L"\"";
    if (!extraArguments.empty()) arguments += L" " + extraArguments;
    return process_.Start(ProgramFolder() + L"\\Tessaloom.exe", arguments);
}

HWND ServiceProcess::WaitWindow(DWORD timeoutMs) {
    HWND hwnd = nullptr;
    WaitFor([&] { return (hwnd = FindServiceWindow(clientName_)) != nullptr; }, std::chrono::milliseconds(timeoutMs));
    return hwnd;
}

bool ServiceProcess::Close(DWORD timeoutMs) {
    HWND hwnd = FindServiceWindow(clientName_);
    if (!hwnd) return !process_.Running();
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    UniqueHandle owner(OpenProcess(SYNCHRONIZE, FALSE, pid));
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return owner && WaitForSingleObject(owner.get(), timeoutMs) == WAIT_OBJECT_0;
}

HWND FindServiceWindow(const std::wstring& clientName) { return FindWindowW(L"Tessaloom", clientName.c_str()); }

bool SendWhenFree(const std::wstring& pipeName, const std::string& payload) {
    if (!WaitNamedPipeW(PipePath(pipeName).c_str(), 20000)) return false;
    PipeClient_CL writer(pipeName);
    return writer.open() == PipeClient_CL::OpenResult::Opened && writer.send(payload.data(), payload.size());
}

std::wstring UniqueName(const std::wstring& tag) { return L"T" + std::to_wstring(GetCurrentProcessId()) + L"-" + tag; }

}  // namespace testing_support
