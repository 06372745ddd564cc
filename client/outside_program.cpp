#include "client/outside_program.h"

#include <windows.h>

#include "common/command_line.h"
#include "common/console.h"
#include "common/scoped.h"

namespace snapwick {

std::wstring OutsideProgramCommandLine(const std::wstring& program, int64_t seconds,
                                       const std::wstring& frameFile) {
    return QuoteArgumentIfNeeded(program) + L" -s 0 " + std::to_wstring(seconds) + L" " +
           QuoteArgumentIfNeeded(frameFile);
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
