#include "service/process_state.h"

#include <windows.h>
#include <shellapi.h>

#include "common/command_line.h"
#include "common/module_path.h"
#include "service/logs.h"

Inifile_CL settings;
const wchar_t* const kSettingsSection = L"THUMBNAIL";
std::wstring g_clientName;
std::wstring g_workFolder;

std::wstring RestartParameters(const std::wstring& clientName, const std::wstring& workFolder) {
    return QuoteArgument(clientName) + L" " + QuoteArgument(workFolder) + L" -restart";
}

void AppRestart() {
    WriteLog(sequenceLog, L"AppRestart_START");
    const std::wstring exe = ModuleFileName(GetModuleHandleW(nullptr));
    const std::wstring directory = CurrentFolder();
    const std::wstring parameters = RestartParameters(g_clientName, g_workFolder);
    ShellExecuteW(nullptr, nullptr, exe.c_str(), parameters.c_str(), directory.c_str(), SW_SHOWNORMAL);
    WriteLog(sequenceLog, L"AppRestart_END");
}
