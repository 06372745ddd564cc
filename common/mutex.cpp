#include "common/mutex.h"

Mutex_CL::~Mutex_CL() { Reset(nullptr); }

void Mutex_CL::Reset(HANDLE h) {
    if (handle) CloseHandle(handle);
    handle = h;
}

Mutex_CL::Lock_CL::Lock_CL(HANDLE handle)
    : handle(handle), waitResult(WaitForSingleObject(handle, INFINITE)) {}

Mutex_CL::Lock_CL::~Lock_CL() {
    if (Owned()) ReleaseMutex(handle);
}
