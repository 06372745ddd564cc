#include "service/restart.h"

#include <windows.h>
#include <shellapi.h>

#include "common/command_line.h"
#include "common/module_path.h"
#include "service/logs.h"

void AppRestart(const std::wstring& clientName, const std::wstring& workFolder) {
    WriteLog(sequenceLog, L"AppRestart_START");
    const std::wstring exe = ModuleFileName(GetModuleHandleW(nullptr));
    const std::wstring directory = CurrentFolder();
    const std::wstring parameters = QuoteArgument(clientName) + L" " + QuoteArgument(workFolder) + L" -restart";
    ShellExecuteW(nullptr, nullptr, exe.c_str(), parameters.c_str(), directory.c_str(), SW_SHOWNORMAL);
    WriteLog(sequenceLog, L"AppRestart_END");
}
