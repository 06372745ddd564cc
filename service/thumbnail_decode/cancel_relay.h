// The main window's cancel event resets itself when one wait takes it, so it can stop
// one frame wait. A job that decodes with several frame sources hands it on to an event
// of its own that stays set, on which every source waits (both routes).
#pragma once
#include <windows.h>

#include "common/scoped.h"

class CancelRelay {
public:
    explicit CancelRelay(HANDLE windowCancel);
    ~CancelRelay();
    CancelRelay(const CancelRelay&) = delete;
    CancelRelay& operator=(const CancelRelay&) = delete;

    // Manual-reset: set once the window's cancel event was.
    HANDLE Event() const { return event_.get(); }

    // For the crash filter, before a fault ends the job thread that made the relay: the
    // relay stops, so that it cannot take a later job's cancel.
    static void StopForJobThreadFault();

private:
    static unsigned __stdcall Relay(void* self);

    HANDLE from_;
    UniqueHandle event_;
    UniqueHandle stop_;
    UniqueHandle thread_;
};
