// "Thumbnail.ini" in the service's work folder: every key of the service is in its
// section "THUMBNAIL". Each key is read at its use, so a change applies to the next
// job or frame.
#pragma once
#include <string>

#include "common/inifile.h"

class ServiceSettings {
public:
    explicit ServiceSettings(const std::wstring& workFolder);
    // Makes a missing file Unicode, as the service's start does.
    void Create();
    int GetInt(const wchar_t* key, int def) const;
    void SetInt(const wchar_t* key, int value) const;

private:
    Inifile_CL ini_;
};
