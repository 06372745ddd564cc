// A mutex handle and its scoped owner.
#pragma once
#include <windows.h>

class Mutex_CL {
public:
    Mutex_CL() = default;
    explicit Mutex_CL(HANDLE handle) : handle(handle) {}
    Mutex_CL(const Mutex_CL&) = delete;
    Mutex_CL& operator=(const Mutex_CL&) = delete;
    virtual ~Mutex_CL();

    void Reset(HANDLE h);

    HANDLE handle = nullptr;

    // Waits without a time limit at construction and releases at destruction.
    // A mutex abandoned by a thread or process that ended while owning it is
    // owned by the waiter all the same, so it is released as well.
    class Lock_CL {
    public:
        explicit Lock_CL(HANDLE handle);
        Lock_CL(const Lock_CL&) = delete;
        Lock_CL& operator=(const Lock_CL&) = delete;
        virtual ~Lock_CL();
        bool Owned() const { return waitResult == WAIT_OBJECT_0 || waitResult == WAIT_ABANDONED; }

        HANDLE handle;
        DWORD waitResult;
    };
};

using Lock_CL = Mutex_CL::Lock_CL;
