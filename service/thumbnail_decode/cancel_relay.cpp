#include "service/thumbnail_decode/cancel_relay.h"

#include <process.h>

#include <atomic>

namespace {
// The relay of the running job and its thread, for the crash filter.
std::atomic<HANDLE> g_stop{nullptr};
std::atomic<DWORD> g_jobThread{0};
}  // namespace

CancelRelay::CancelRelay(HANDLE windowCancel)
    : from_(windowCancel),
      event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (from_ && event_ && stop_)
        thread_.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Relay, this, 0, nullptr)));
    g_stop = stop_.get();
    g_jobThread = GetCurrentThreadId();
}

CancelRelay::~CancelRelay() {
    if (g_stop == stop_.get()) {
        g_jobThread = 0;
        g_stop = nullptr;
    }
    if (thread_) {
        SetEvent(stop_.get());
        WaitForSingleObject(thread_.get(), INFINITE);
    }
}

unsigned __stdcall CancelRelay::Relay(void* param) {
    auto* self = static_cast<CancelRelay*>(param);
    HANDLE handles[2] = {self->stop_.get(), self->from_};
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) SetEvent(self->event_.get());
    return 0;
}

void CancelRelay::StopForJobThreadFault() {
    HANDLE stop = g_stop;
    if (stop && g_jobThread == GetCurrentThreadId()) SetEvent(stop);
}
