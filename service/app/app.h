// The service's process frame: start-up, shutdown, self-restart and crash filter.
#pragma once
#include <windows.h>
#include <string>

#include "common/inifile.h"

// "Thumbnail.ini" in the work folder; all keys in section "THUMBNAIL".
extern Inifile_CL settings;
extern const wchar_t* const kSettingsSection;
// The two command-line arguments, for AppRestart and the job.
extern std::wstring g_clientName;
extern std::wstring g_workFolder;

// The main body: returns the process exit code.
int ServiceMain(HINSTANCE instance);

// Starts a new service process with the same client name and work folder and the
// restart marker. Does not end this process.
void AppRestart();

// Top-level filter for faults that no handler of their thread took.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info);

// The parameter text of a restart: "client" "folder" -restart
std::wstring RestartParameters(const std::wstring& clientName, const std::wstring& workFolder);
