#include "testing/fault_codec/fault_script.h"

#include <windows.h>
#include <cstdlib>
#include <sstream>

#include "common/scoped.h"

namespace fault_codec {

namespace {

constexpr char kMagicLine[] = "TESSALOOM-FAULT-MOVIE";

std::string Trim(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return {};
    return s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

bool ParseNumber(const std::string& text, int64_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return end && *end == '\0' && value >= 0;
}

bool ParseRanges(const std::string& text, std::vector<std::pair<int64_t, int64_t>>& ranges) {
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        const size_t dash = item.find('-');
        if (dash == std::string::npos) return false;
        int64_t first = 0, last = INT64_MAX;
        if (!ParseNumber(Trim(item.substr(0, dash)), first)) return false;
        const std::string end = Trim(item.substr(dash + 1));
        if (!end.empty() && !ParseNumber(end, last)) return false;
        if (last < first) return false;
        ranges.emplace_back(first, last);
    }
    return !ranges.empty();
}

std::wstring Wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

// The first `limit` bytes of the file.
bool ReadFileText(const std::wstring& path, std::string& text, size_t limit) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    text.assign(limit, '\0');
    DWORD got = 0;
    const BOOL ok = ReadFile(file.get(), &text[0], static_cast<DWORD>(limit), &got, nullptr);
    text.resize(ok ? got : 0);
    return ok != FALSE;
}

// The key=value lines; the magic line, if present, is skipped.
bool ParseFaultScript(const std::string& text, FaultScript& script) {
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = Trim(line);
        if (line.empty() || line == kMagicLine) continue;
        const size_t eq = line.find('=');
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
        int64_t n = 0;
        bool ok;
        if (key == "stall") {
            ok = ParseRanges(value, script.stallMs);
        } else if (key == "stall_for_ms") {
            ok = ParseNumber(value, script.stallForMs);
        } else if (key == "reported_duration_ms") {
            ok = ParseNumber(value, script.reportedDurationMs);
        } else if (key == "crash_at_ms") {
            ok = ParseRanges(value, script.crashAtMs);
        } else if (key == "refuse_types" || key == "no_new_segment" || key == "crash_once") {
            ok = ParseNumber(value, n) && n <= 1;
            (key == "refuse_types" ? script.refuseTypes : key == "crash_once" ? script.crashOnce : script.noNewSegment) =
                n == 1;
        } else if (key == "release_file") {
            script.releaseFile = Wide(value);
            ok = !value.empty();
        } else if (key == "first_frame_delay_ms") {
            ok = ParseNumber(value, script.firstFrameDelayMs);
        } else if (key == "crash") {
            if (value == "stream") script.crash = CrashPoint::Stream;
            else if (value == "seek") script.crash = CrashPoint::Seek;
            else if (value == "connect") script.crash = CrashPoint::Connect;
            else if (value == "stop") script.crash = CrashPoint::Stop;
            else ok = false;
        } else if (key == "hang") {
            ok = value == "render";
            script.hangInLoad = ok;
        } else if (key == "late_cue") {
            script.lateCueFile = Wide(value);
            ok = !value.empty();
        } else {
            ok = false;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace

bool FaultScript::Stalls(int64_t movieMs) const {
    for (const auto& range : stallMs)
        if (movieMs >= range.first && movieMs <= range.second) return true;
    return false;
}

bool FaultScript::CrashesAt(int64_t movieMs) const {
    if (crashAtMs.empty()) return true;
    for (const auto& range : crashAtMs)
        if (movieMs >= range.first && movieMs <= range.second) return true;
    return false;
}

bool LoadFaultScript(const std::wstring& path, FaultScript& script) {
    constexpr size_t kLimit = 64 * 1024;
    std::string text;
    if (!ReadFileText(path, text, kLimit)) return false;
    if (text.compare(0, sizeof kMagicLine - 1, kMagicLine) == 0) return ParseFaultScript(text, script);
    // A real movie paired with the codec: instructions beside it, else DirectShow stalls.
    std::string side;
    if (ReadFileText(path + L".fault", side, kLimit)) return ParseFaultScript(side, script);
    script.stallMs = {{0, INT64_MAX}};
    return true;
}

}  // namespace fault_codec
