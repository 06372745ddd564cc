// Starting a new copy of the service to take over this one's work.
#pragma once
#include <string>

// Starts a new service process with this client name and work folder and the restart
// marker. Does not end this process.
void AppRestart(const std::wstring& clientName, const std::wstring& workFolder);
