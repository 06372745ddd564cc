#include "service/process_state.h"

#include <windows.h>
#include <shellapi.h>

#include "common/command_line.h"
#include "common/log.h"

Inifile_CL settings;
const wchar_t* const kSettingsSection = L"THUMBNAIL";
std::wstring g_clientName;
std::wstring g_workFolder;

std::wstring RestartParameters(const std::wstring& clientName, const std::wstring& workFolder) {
    return QuoteArgument(clientName) + L" " + QuoteArgument(workFolder) + L" -restart";
}

void AppRestart() {
    WriteLog(sequenceLog, L"AppRestart_START");
    wchar_t exe[260] = {};
    GetModuleFileNameW(GetModuleHandleW(nullptr), exe, 260);
    wchar_t directory[260] = {};
    GetCurrentDirectoryW(260, directory);
    const std::wstring parameters = RestartParameters(g_clientName, g_workFolder);
    ShellExecuteW(nullptr, nullptr, exe, parameters.c_str(), directory, SW_SHOWNORMAL);
    WriteLog(sequenceLog, L"AppRestart_END");
}
