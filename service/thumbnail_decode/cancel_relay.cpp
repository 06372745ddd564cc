#include "service/thumbnail_decode/cancel_relay.h"

#include <process.h>

CancelRelay::CancelRelay(HANDLE windowCancel)
    : from_(windowCancel),
      event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (from_ && event_ && stop_)
        thread_.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Relay, this, 0, nullptr)));
}

CancelRelay::~CancelRelay() {
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
