#include "common/log.h"

#include <windows.h>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include "common/scoped.h"

namespace {
constexpr size_t kLineChars = 1300;
constexpr size_t kTimestampChars = 26;
constexpr size_t kMessageChars = 1040;  // terminating NUL included

// Opens for appending, shared with every other reader and writer.
UniqueHandle OpenForAppend(const std::wstring& path, DWORD disposition) {
    return UniqueHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}
}  // namespace

void WriteLog(LogFile& log, const wchar_t* format, ...) {
    wchar_t line[kLineChars] = {};
    SYSTEMTIME t;
    GetLocalTime(&t);
    _snwprintf(line, kTimestampChars + 1, L"%04d/%02d/%02d %02d:%02d:%02d.%03d : ", t.wYear,
               t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);

    va_list args;
    va_start(args, format);
    // _vsnwprintf does not terminate a cut message; the zeroed buffer and the
    // last slot kept free do.
    _vsnwprintf(line + kTimestampChars, kMessageChars - 1, format, args);
    va_end(args);
    line[kTimestampChars + kMessageChars - 1] = L'\0';

    if (log.path.empty()) return;
    // Two threads that both find an empty file would both write a byte-order mark.
    static std::mutex sizeCheck;
    std::lock_guard<std::mutex> guard(sizeCheck);
    UniqueHandle file = OpenForAppend(log.path, OPEN_ALWAYS);
    if (!file) return;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return;
    if (size.QuadPart > log.maxBytes) {
        file = UniqueHandle(CreateFileW(log.path.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        size.QuadPart = 0;
    }

    // One write per line, so lines of concurrent writers never interleave.
    std::wstring out;
    if (size.QuadPart == 0) out.push_back(L'\xFEFF');
    out.append(line);
    out.append(L"\r\n");
    DWORD written = 0;
    WriteFile(file.get(), out.data(), static_cast<DWORD>(out.size() * sizeof(wchar_t)), &written,
              nullptr);
}
