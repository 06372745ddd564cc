#include "common/module_path.h"

#include <vector>

std::wstring ModuleFileName(HMODULE module) {
    // GetModuleFileNameW cuts the path to the buffer without saying how long it is:
    // the buffer grows until the path fits (paths end at 32,767 characters).
    for (DWORD size = MAX_PATH; size <= 65536; size *= 2) {
        std::vector<wchar_t> path(size);
        const DWORD length = GetModuleFileNameW(module, path.data(), size);
        if (length == 0) return {};
        if (length < size) return std::wstring(path.data(), length);
    }
    return {};
}

std::wstring ProgramFolder(HMODULE module) {
    const std::wstring path = ModuleFileName(module);
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring CurrentFolder() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    if (size == 0) return {};
    std::vector<wchar_t> folder(size);
    const DWORD length = GetCurrentDirectoryW(size, folder.data());
    return length > 0 && length < size ? std::wstring(folder.data(), length) : std::wstring();
}
