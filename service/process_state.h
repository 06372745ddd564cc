// What the whole service process shares: its two command-line arguments, set at its
// start, for the crash filter's restart.
#pragma once
#include <string>

extern std::wstring g_clientName;
extern std::wstring g_workFolder;
