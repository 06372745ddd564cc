#include "service/settings.h"

namespace {
constexpr wchar_t kSection[] = L"THUMBNAIL";
}  // namespace

ServiceSettings::ServiceSettings(const std::wstring& workFolder) : ini_(workFolder + L"\\Thumbnail.ini") {}

void ServiceSettings::Create() { ini_.SetPath(ini_.Path()); }

int ServiceSettings::GetInt(const wchar_t* key, int def) const { return ini_.GetInt(kSection, key, def); }

void ServiceSettings::SetInt(const wchar_t* key, int value) const { ini_.SetInt(kSection, key, value); }
