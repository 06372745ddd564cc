#include "client/update/version_file.h"

#include <cstdint>
#include <vector>

namespace snapwick {

namespace {
bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring Widen(std::string_view bytes) {
    std::wstring text;
    for (char c : bytes) text.push_back(static_cast<wchar_t>(static_cast<int16_t>(static_cast<signed char>(c))));
    return TrimBlanks(text);
}

// The value of "key": the text between the first two quotes after the colon that
// follows the quoted key. False when there is no such key or value.
bool FindValue(std::string_view text, const std::string& key, std::string_view& value) {
    const size_t at = text.find("\"" + key + "\"");
    if (at == std::string_view::npos) return false;
    const size_t colon = text.find(':', at + key.size() + 2);
    if (colon == std::string_view::npos) return false;
    const size_t open = text.find('"', colon + 1);
    if (open == std::string_view::npos) return false;
    const size_t close = text.find('"', open + 1);
    if (close == std::string_view::npos) return false;
    value = text.substr(open + 1, close - open - 1);
    return true;
}

std::vector<uint64_t> Components(const std::wstring& version) {
    std::vector<uint64_t> parts;
    uint64_t value = 0;
    bool digits = false;
    for (wchar_t c : TrimBlanks(version)) {
        if (c >= L'0' && c <= L'9') {
            // Saturates instead of overflowing on absurdly long numbers.
            value = value > (UINT64_MAX - 9) / 10 ? UINT64_MAX : value * 10 + static_cast<uint64_t>(c - L'0');
            digits = true;
        } else if (c == L'.') {
            parts.push_back(value);
            value = 0;
            digits = false;
        } else {
            break;
        }
    }
    if (digits) parts.push_back(value);
    return parts;
}
}  // namespace

std::wstring TrimBlanks(const std::wstring& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

VersionFile ParseVersionFile(std::string_view bytes) {
    VersionFile file;
    std::string_view version, url;
    if (FindValue(bytes, "version", version) && FindValue(bytes, "url", url)) {
        file.version = Widen(version);
        file.url = Widen(url);
        return file;
    }
    file.version = Widen(bytes.substr(0, 7));
    if (bytes.size() >= 10) {
        std::string_view tail = bytes.substr(9);
        const size_t nul = tail.find('\0');
        if (nul != std::string_view::npos) {
            file.extraText = std::string(tail.substr(nul + 1));
            tail = tail.substr(0, nul);
        }
        file.url = Widen(tail);
    }
    return file;
}

bool IsNewerVersion(const std::wstring& current, const std::wstring& remote) {
    const std::vector<uint64_t> a = Components(current), b = Components(remote);
    for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
        const uint64_t x = i < a.size() ? a[i] : 0, y = i < b.size() ? b[i] : 0;
        if (x != y) return y > x;
    }
    return false;
}

}  // namespace snapwick
