#include "service/process_state.h"

std::wstring g_clientName;
std::wstring g_workFolder;
