#include "common/inifile.h"

#include <windows.h>
#include <shlwapi.h>
#include <cstdio>

#include "common/scoped.h"

void Inifile_CL::SetPath(const std::wstring& path) {
    if (!PathFileExistsW(path.c_str())) {
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            static const unsigned char bom[2] = {0xFF, 0xFE};
            DWORD written = 0;
            WriteFile(file.get(), bom, sizeof bom, &written, nullptr);
        }
    }
    path_ = path;
}

std::wstring Inifile_CL::GetString(std::wstring section, std::wstring key,
                                   std::wstring def) const {
    std::wstring buffer(8192, L'\0');
    GetPrivateProfileStringW(section.c_str(), key.c_str(), def.c_str(), &buffer[0],
                             static_cast<DWORD>(buffer.size()), path_.c_str());
    buffer.resize(wcslen(buffer.c_str()));
    return buffer;
}

int Inifile_CL::GetInt(std::wstring section, std::wstring key, int def) const {
    return static_cast<int>(GetPrivateProfileIntW(section.c_str(), key.c_str(), def, path_.c_str()));
}

void Inifile_CL::SetString(std::wstring section, std::wstring key, std::wstring value) const {
    WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path_.c_str());
}

void Inifile_CL::SetInt(std::wstring section, std::wstring key, int value) const {
    wchar_t text[256];
    _snwprintf(text, 256, L"%d", value);
    text[255] = L'\0';
    WritePrivateProfileStringW(section.c_str(), key.c_str(), text, path_.c_str());
}
