// What a fault movie tells the fault codec to do. A fault movie is a text file:
//
//   TESSALOOM-FAULT-MOVIE
//   stall=1000-2999,5000-   movie times (ms) whose frames are held back
//   stall_for_ms=N          a held frame goes on after N ms (default: never)
//   release_file=PATH       a held frame goes on once this file exists
//   first_frame_delay_ms=N  nothing at all is delivered for N ms after the first start
//   crash=stream|seek|connect|stop   an access violation: on the streaming thread at the
//                           first frame after a seek; or on the caller's thread inside a
//                           seek (its frame still arrives later), a pin connection or Stop
//   crash_at_ms=4000-4999   a seek or stream crash only for seeks to these movie times
//   crash_once=1            the crash happens once in the process, later ones go on
//   hang=render             Load (inside RenderFile) never returns
//   refuse_types=1          the output pin connects to nothing
//   reported_duration_ms=N  the duration the codec reports (a wrong one, say)
//   no_new_segment=1        no NewSegment after a seek
//
// Any other file (a real movie whose first bytes were registered for the codec) takes its
// instructions from "<path>.fault"; without one every frame is held back.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fault_codec {

using MsRanges = std::vector<std::pair<int64_t, int64_t>>;  // inclusive ranges of movie time
bool InRanges(const MsRanges& ranges, int64_t ms);

struct FaultScript {
    MsRanges stallMs, crashAtMs{{INT64_MIN, INT64_MAX}};
    int64_t stallForMs = -1, firstFrameDelayMs = 0, crashOnce = 0, refuseTypes = 0, reportedDurationMs = -1,
            noNewSegment = 0;
    std::wstring releaseFile;
    std::string crash;  // "", "stream", "seek", "connect" or "stop"
    bool hangInLoad = false;
};

// The script of the file at `path`, following the rules above. False when the file
// cannot be read or holds an unknown key or a bad value.
bool LoadFaultScript(const std::wstring& path, FaultScript& script);

}  // namespace fault_codec
