// What the whole Snapwick process shares: its settings file, the update check's log,
// the service it talks to, and its folders.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "client/tessaloom_request.h"
#include "common/inifile.h"
#include "common/log.h"

namespace snapwick {

// The client's name: the service window's title and the response pipe's name.
extern const wchar_t* const kClientName;

// "Snapwick.ini" in the work folder; the update keys are in section "VERSION".
extern Inifile_CL settings;
extern const wchar_t* const kVersionSection;
// "Snapwick_log.txt" in the work folder: the update check's lines.
extern LogFile updateLog;
// 1 while the update dialog is shown.
extern std::atomic<int> updateCheckBusy;
extern TessaloomRequest_CL tessaloomRequest;

// The user's Documents folder + "\Snapwick"; empty when there is no Documents folder.
std::wstring WorkFolder();

// This run's request id, from its process id (low 16 bits) and the time of asking (ms,
// low 15 bits): never 0, and different for two runs less than 32 s apart (one pid
// again: another tick; another pid: other low bits), so that no answer to an earlier
// run passes for this one's.
int32_t RunRequestId(uint32_t processId, uint64_t tickMs);

}  // namespace snapwick
