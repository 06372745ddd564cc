#include "client/outside_program.h"

#include <windows.h>

#include "common/console.h"
#include "common/scoped.h"

namespace snapwick {

std::wstring QuoteArgument(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count double only in front of a quote.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

std::wstring OutsideProgramCommandLine(const std::wstring& program, int64_t seconds,
                                       const std::wstring& frameFile) {
    return QuoteArgument(program) + L" -s 0 " + std::to_wstring(seconds) + L" " + QuoteArgument(frameFile);
}

bool RunOutsideProgram(const std::wstring& program, int64_t seconds, const std::wstring& frameFile) {
    std::wstring commandLine = OutsideProgramCommandLine(program, seconds, frameFile);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        WriteStderrLine(L"cannot start " + program + L" (error " + std::to_wstring(GetLastError()) + L")");
        return false;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    return true;
}

}  // namespace snapwick
