// The main window's cancel event resets itself when a wait takes it. The frame source
// only looks at it, so that every later look (the next route, the frame loop) still
// sees the cancel.
#pragma once
#include <windows.h>

// True when the event is set; it is left set.
inline bool CancelSignalled(HANDLE cancelEvent) {
    if (!cancelEvent || WaitForSingleObject(cancelEvent, 0) != WAIT_OBJECT_0) return false;
    SetEvent(cancelEvent);  // the wait took it: give it back
    return true;
}
