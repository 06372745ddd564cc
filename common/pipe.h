// One-way named-pipe transport: one message (4-byte length + payload) per connection,
// announced by setting the named event of the bare pipe name.
#pragma once
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/scoped.h"

constexpr DWORD kPipeInBufferBytes = 0x500000;
constexpr DWORD kPipeOutBufferBytes = 1024;

// "\\.\pipe\" + bare name.
std::wstring PipePath(const std::wstring& bareName);

// Reads exactly count bytes from an overlapped pipe handle (ov.hEvent: a manual-reset
// event). False when the writer goes away, stalls for 10 s, or stopEvent is set.
bool ReadPipeExact(HANDLE pipe, OVERLAPPED& ov, void* buffer, DWORD count, HANDLE stopEvent = nullptr);

class PipeServer_CL {
public:
    PipeServer_CL() = default;
    PipeServer_CL(const PipeServer_CL&) = delete;
    PipeServer_CL& operator=(const PipeServer_CL&) = delete;
    // Stops the listening thread and waits for it.
    virtual ~PipeServer_CL();

    // Called on the listening thread with one complete payload.
    virtual void handleMessage(const unsigned char* bytes, size_t count);

    // Creates the pipe, its event and the listening thread. While another process
    // still holds the pipe, creation is retried for up to retryMs.
    HRESULT start(DWORD retryMs = 0);
    // Closes the pipe; a message whose writer got in before still reaches handleMessage.
    void stop();
    DWORD listenerThreadId() const { return threadId_; }

    std::wstring pipeName;

private:
    static DWORD WINAPI ListenThread(void* self);
    void Listen();
    // Reads one length-prefixed message from the connected writer; false when it does
    // not arrive whole.
    bool ReadMessage(OVERLAPPED& read, std::unique_ptr<unsigned char[]>& payload, uint32_t& length);

    UniqueHandle pipe_;
    UniqueHandle messageEvent_;
    UniqueHandle thread_;
    DWORD threadId_ = 0;
    std::atomic<int> running_{0};
};

class PipeClient_CL {
public:
    explicit PipeClient_CL(std::wstring name) : pipeName(std::move(name)) {}
    PipeClient_CL(const PipeClient_CL&) = delete;
    PipeClient_CL& operator=(const PipeClient_CL&) = delete;
    virtual ~PipeClient_CL() = default;

    enum class OpenResult { Opened, NoReceiver, Busy, Error };
    // Opens the event and the pipe; a busy pipe is tried 10 times 200 ms apart.
    // Busy and other errors are also written to standard output.
    OpenResult open();
    // Writes the length and the payload, then sets the event. Nothing without open().
    bool send(const void* bytes, size_t count);

    std::wstring pipeName;

private:
    UniqueHandle pipe_;
    UniqueHandle messageEvent_;
};
