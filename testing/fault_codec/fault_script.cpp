#include "testing/fault_codec/fault_script.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fault_codec {

namespace {

constexpr char kMagicLine[] = "TESSALOOM-FAULT-MOVIE";

// "1000-2999,4000-": inclusive ranges, the last one open.
bool ParseRanges(const std::string& text, MsRanges& ranges) {
    std::istringstream in(text);
    ranges.clear();
    int64_t first = 0, last = 0;
    for (char dash = 0; in >> first >> dash && dash == '-';) {
        if (!(in >> last)) in.clear(), last = INT64_MAX;
        if (last < first) return false;
        ranges.emplace_back(first, last);
        if (in.get() != ',') return in.eof();
    }
    return false;
}

bool ReadText(const std::wstring& path, std::string& text) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.fail();
}

bool ParseFaultScript(const std::string& text, FaultScript& s) {
    const std::pair<const char*, int64_t FaultScript::*> numbers[] = {
        {"stall_for_ms", &FaultScript::stallForMs}, {"first_frame_delay_ms", &FaultScript::firstFrameDelayMs},
        {"crash_once", &FaultScript::crashOnce},     {"refuse_types", &FaultScript::refuseTypes},
        {"no_new_segment", &FaultScript::noNewSegment}, {"reported_duration_ms", &FaultScript::reportedDurationMs}};
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line == kMagicLine) continue;
        const size_t eq = line.find('=');
        const std::string key = line.substr(0, eq), value = eq == std::string::npos ? "" : line.substr(eq + 1);
        std::istringstream number(value);
        bool ok = false;
        if (key == "stall" || key == "crash_at_ms") ok = ParseRanges(value, key == "stall" ? s.stallMs : s.crashAtMs);
        if (key == "release_file") ok = !(s.releaseFile = std::wstring(value.begin(), value.end())).empty();  // ASCII
        if (key == "crash") ok = (s.crash = value) == "stream" || value == "seek" || value == "connect" || value == "stop";
        if (key == "hang") ok = s.hangInLoad = value == "render";
        for (const auto& n : numbers)
            if (key == n.first) ok = (number >> s.*n.second) && number.eof();
        if (!ok) return false;
    }
    return true;
}

}  // namespace

bool InRanges(const MsRanges& ranges, int64_t ms) {
    return std::any_of(ranges.begin(), ranges.end(), [ms](const auto& r) { return ms >= r.first && ms <= r.second; });
}

bool LoadFaultScript(const std::wstring& path, FaultScript& script) {
    std::string text;
    if (!ReadText(path, text)) return false;
    if (text.rfind(kMagicLine, 0) == 0) return ParseFaultScript(text, script);
    // A real movie paired with the codec: instructions beside it, else DirectShow stalls.
    if (ReadText(path + L".fault", text)) return ParseFaultScript(text, script);
    script.stallMs = {{0, INT64_MAX}};
    return true;
}

}  // namespace fault_codec
