// The version file on the update server and version comparison.
#pragma once
#include <string>
#include <string_view>

namespace snapwick {

struct VersionFile {
    std::wstring version;
    std::wstring url;
    // Older form only: bytes after a NUL in the URL part.
    std::string extraText;
};

// Current form: "version" and "url" as quoted keys, each with a colon and a quoted
// value. Older form (when either key is missing): the first 7 bytes are the version,
// bytes from the tenth on the URL. Each byte becomes one UTF-16 unit (sign-extended);
// blanks, tabs and line breaks are trimmed from both ends of each value.
// Reads nothing outside `bytes` (the body as received, of any size and content).
VersionFile ParseVersionFile(std::string_view bytes);

// Blanks, tabs, carriage returns and line feeds removed from both ends.
std::wstring TrimBlanks(const std::wstring& text);

// Dotted decimal versions compared component by component, a missing component
// counting as 0: 1.0.0.1 > 1.0.0, 1.0 == 1.0.0, 1.10 > 1.9.
bool IsNewerVersion(const std::wstring& current, const std::wstring& remote);

}  // namespace snapwick
