// The thumbnail job: works the head item of the queue into one strip image.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <atomic>
#include <string>

#include "service/request_list.h"

// What the job is given by the window that starts it: all that it may touch there.
struct JobContext {
    DecodeRequestList_CL& queue;  // its head is the job's item, removed and saved at the end
    const std::wstring queuePath;
    const std::wstring clientName;  // responses go to the pipe of this name
    const std::wstring workFolder;  // of the settings and the frame sources
    Gdiplus::Bitmap* const errorImage;  // drawn for a frame that cannot be had
    const HANDLE cancelEvent;           // set when a waiting frame decode is to stop
    std::atomic<int>& quitRequested;    // set by the window; the job sets it on a cancel
    const std::atomic<bool>& handedOver;  // a new process has taken the work over
};

// Returns 0 after it handled an item, -1 when the queue was empty.
int ThumbnailDecode(JobContext& job);
