// What the whole service process shares: its settings file, the two command-line
// arguments, and starting a new copy of itself.
#pragma once
#include <string>

#include "common/inifile.h"

// "Thumbnail.ini" in the work folder; all keys in section "THUMBNAIL".
extern Inifile_CL settings;
extern const wchar_t* const kSettingsSection;
// The two command-line arguments, for AppRestart and the job.
extern std::wstring g_clientName;
extern std::wstring g_workFolder;

// Starts a new service process with the same client name and work folder and the
// restart marker. Does not end this process.
void AppRestart();

// The parameter text of a restart: "client" "folder" -restart
std::wstring RestartParameters(const std::wstring& clientName, const std::wstring& workFolder);
