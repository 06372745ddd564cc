#include "client/process_state.h"

#include <windows.h>
#include <shlobj.h>


namespace snapwick {

const wchar_t* const kClientName = L"Snapwick";
Inifile_CL settings;
const wchar_t* const kVersionSection = L"VERSION";
LogFile updateLog;
std::atomic<int> updateCheckBusy{0};
TessaloomRequest_CL tessaloomRequest;

std::wstring WorkFolder() {
    wchar_t documents[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents)) ||
        documents[0] == L'\0')
        return {};
    return std::wstring(documents) + L"\\Snapwick";
}

int32_t RunRequestId(uint32_t processId, uint64_t tickMs) {
    const uint32_t id = static_cast<uint32_t>(tickMs & 0x7FFF) << 16 | (processId & 0xFFFF);
    return static_cast<int32_t>(id != 0 ? id : 0x10000);
}

}  // namespace snapwick
