#include "common/console.h"

#include <windows.h>

std::string ToUtf8(const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr,
                            nullptr);
    return utf8;
}

namespace {
void WriteLine(DWORD which, const std::wstring& text) {
    HANDLE out = GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    const std::wstring line = text + L"\n";
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const std::string utf8 = ToUtf8(line);
    WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}
}  // namespace

void WriteStdoutLine(const std::wstring& text) { WriteLine(STD_OUTPUT_HANDLE, text); }
void WriteStderrLine(const std::wstring& text) { WriteLine(STD_ERROR_HANDLE, text); }
