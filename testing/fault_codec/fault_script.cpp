#include "testing/fault_codec/fault_script.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fault_codec {

namespace {

constexpr char kMagicLine[] = "TESSALOOM-FAULT-MOVIE";

bool ParseNumber(const std::string& text, int64_t& value) {
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value >= 0;
}

bool ParseRanges(const std::string& text, MsRanges& ranges) {
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        const size_t dash = item.find('-');
        int64_t first = 0, last = INT64_MAX;
        if (dash == std::string::npos || !ParseNumber(item.substr(0, dash), first) ||
            (dash + 1 < item.size() && !ParseNumber(item.substr(dash + 1), last)) || last < first)
            return false;
        ranges.emplace_back(first, last);
    }
    return !ranges.empty();
}

// Paths in a script are ASCII: the tests' scratch folders.
std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

bool ReadText(const std::wstring& path, std::string& text) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool ParseFaultScript(const std::string& text, FaultScript& s) {
    const struct {
        const char* key;
        int64_t FaultScript::*field;
    } numbers[] = {{"stall_for_ms", &FaultScript::stallForMs}, {"first_frame_delay_ms", &FaultScript::firstFrameDelayMs},
                   {"crash_once", &FaultScript::crashOnce},     {"refuse_types", &FaultScript::refuseTypes},
                   {"no_new_segment", &FaultScript::noNewSegment}, {"reported_duration_ms", &FaultScript::reportedDurationMs}};
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line == kMagicLine) continue;
        const size_t eq = line.find('=');
        const std::string key = line.substr(0, eq), value = eq == std::string::npos ? "" : line.substr(eq + 1);
        bool ok = !value.empty();
        if (key == "stall") ok = ParseRanges(value, s.stallMs);
        else if (key == "crash_at_ms") ok = ParseRanges(value, s.crashAtMs);
        else if (key == "release_file") s.releaseFile = Wide(value);
        else if (key == "late_cue") s.lateCueFile = Wide(value);
        else if (key == "crash") ok = (s.crash = value) == "stream" || value == "seek" || value == "connect" || value == "stop";
        else if (key == "hang") ok = s.hangInLoad = value == "render";
        else {
            ok = false;
            for (const auto& n : numbers)
                if (key == n.key) ok = ParseNumber(value, s.*n.field);
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace

bool InRanges(const MsRanges& ranges, int64_t ms) {
    for (const auto& range : ranges)
        if (ms >= range.first && ms <= range.second) return true;
    return false;
}

bool LoadFaultScript(const std::wstring& path, FaultScript& script) {
    std::string text;
    if (!ReadText(path, text)) return false;
    if (text.compare(0, sizeof kMagicLine - 1, kMagicLine) == 0) return ParseFaultScript(text, script);
    // A real movie paired with the codec: instructions beside it, else DirectShow stalls.
    if (ReadText(path + L".fault", text)) return ParseFaultScript(text, script);
    script.stallMs = {{0, INT64_MAX}};
    return true;
}

}  // namespace fault_codec
