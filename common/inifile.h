// Access to a Unicode private-profile ini file.
#pragma once
#include <string>

class Inifile_CL {
public:
    Inifile_CL() = default;
    explicit Inifile_CL(std::wstring path) : path_(std::move(path)) {}
    virtual ~Inifile_CL() = default;

    // Creates a missing file as the two bytes FF FE, so that the profile functions
    // store Unicode text, then uses it. An existing file is left as it is.
    void SetPath(const std::wstring& path);
    const std::wstring& Path() const { return path_; }

    std::wstring GetString(std::wstring section, std::wstring key, std::wstring def) const;
    int GetInt(std::wstring section, std::wstring key, int def) const;
    void SetString(std::wstring section, std::wstring key, std::wstring value) const;
    void SetInt(std::wstring section, std::wstring key, int value) const;

private:
    std::wstring path_;
};
