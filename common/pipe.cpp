#include "common/pipe.h"

#include <memory>
#include <new>
#include <vector>

#include "common/console.h"

namespace {
// A writer that stalls mid-message, or connects and does not announce a message, is
// dropped after this long.
constexpr DWORD kReadTimeoutMs = 10000;
// How often a connected writer that has not announced its message is looked at.
constexpr DWORD kWriterCheckMs = 200;
// How long a stop waits for the bytes of a writer that connected just before it.
constexpr DWORD kStopGraceMs = 1000;
// A writer that finds the pipe busy tries again, ten times at least and for 1.8 s at
// least, one try 200 ms after the other at the latest.
constexpr int kBusyTries = 10;
constexpr ULONGLONG kBusyRetryMs = 200;

// Who is at the other end of the server's pipe.
enum class Writer { None, Connected, Gone };
Writer WriterAtOtherEnd(HANDLE pipe) {
    DWORD available = 0;
    // A writer that closed its end after writing still has its bytes to be read.
    if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return Writer::Connected;
    return GetLastError() == ERROR_BROKEN_PIPE ? Writer::Gone : Writer::None;
}
}  // namespace

std::wstring PipePath(const std::wstring& bareName) { return L"\\\\.\\pipe\\" + bareName; }

PipeServer_CL::~PipeServer_CL() { stop(); }

void PipeServer_CL::handleMessage(const unsigned char*, size_t) {}

HRESULT PipeServer_CL::start(DWORD retryMs) {
    const std::wstring path = PipePath(pipeName);
    const ULONGLONG deadline = GetTickCount64() + retryMs;
    for (;;) {
        // Only programs on this machine may write: a request names paths to read and write.
        pipe_.reset(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                     PIPE_REJECT_REMOTE_CLIENTS, 1, kPipeOutBufferBytes, kPipeInBufferBytes, 0,
                                     nullptr));
        if (pipe_ || GetTickCount64() >= deadline) break;
        Sleep(200);
    }
    if (!pipe_) {
        pipe_.release();
        return E_FAIL;
    }
    messageEvent_.reset(CreateEventW(nullptr, FALSE, FALSE, pipeName.c_str()));
    running_ = 1;
    thread_.reset(CreateThread(nullptr, 0, ListenThread, this, 0, &threadId_));
    if (!thread_) {
        running_ = 0;
        return E_FAIL;
    }
    return S_OK;
}

void PipeServer_CL::stop() {
    if (thread_ && messageEvent_) {
        running_ = 0;
        SetEvent(messageEvent_.get());
        WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    }
    pipe_.reset();
    messageEvent_.reset();
}

DWORD WINAPI PipeServer_CL::ListenThread(void* self) {
    static_cast<PipeServer_CL*>(self)->Listen();
    return 0;
}

bool ReadPipeExact(HANDLE pipe, OVERLAPPED& ov, void* buffer, DWORD count, HANDLE stopEvent) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (count > 0) {
        ov.Offset = ov.OffsetHigh = 0;
        ResetEvent(ov.hEvent);
        DWORD got = 0;
        if (!ReadFile(pipe, p, count, &got, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) return false;
            HANDLE handles[2] = {ov.hEvent, stopEvent};
            if (WaitForMultipleObjects(stopEvent ? 2 : 1, handles, FALSE, kReadTimeoutMs) != WAIT_OBJECT_0) {
                CancelIo(pipe);
                GetOverlappedResult(pipe, &ov, &got, TRUE);
                return false;
            }
            if (!GetOverlappedResult(pipe, &ov, &got, FALSE)) return false;
        } else if (!GetOverlappedResult(pipe, &ov, &got, FALSE)) {
            return false;
        }
        if (got == 0) return false;
        p += got;
        count -= got;
    }
    return true;
}

bool PipeServer_CL::ReadMessage(OVERLAPPED& read, std::unique_ptr<unsigned char[]>& payload, uint32_t& length) {
    length = 0;
    if (!ReadPipeExact(pipe_.get(), read, &length, sizeof length) || length > kPipeInBufferBytes) return false;
    payload.reset(new (std::nothrow) unsigned char[length + 1]);
    return payload && ReadPipeExact(pipe_.get(), read, payload.get(), length);
}

void PipeServer_CL::Listen() {
    UniqueHandle connectEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    UniqueHandle readEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED connect = {};
    connect.hEvent = connectEvent.get();
    OVERLAPPED read = {};
    read.hEvent = readEvent.get();

    // When the current writer connected; 0 while none is.
    ULONGLONG connectedAt = 0;
    const auto listen = [&] {
        if (ConnectNamedPipe(pipe_.get(), &connect) || connectedAt != 0) return;
        // A writer that connected before this call, still there or already gone (its
        // bytes may still wait to be read), raises no connect event.
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) connectedAt = GetTickCount64();
    };
    listen();
    // Checked before each wait too: a stop that comes while a message is handled sets
    // the event that the end of that message then resets.
    while (running_ != 0) {
        HANDLE handles[2] = {connectEvent.get(), messageEvent_.get()};
        DWORD index = WaitForMultipleObjects(2, handles, FALSE, connectedAt != 0 ? kWriterCheckMs : INFINITE);
        if (running_ == 0) break;
        if (index == WAIT_TIMEOUT) {
            // Without its announcement the writer would hold the single instance for good.
            if (WriterAtOtherEnd(pipe_.get()) == Writer::Connected && GetTickCount64() - connectedAt < kReadTimeoutMs)
                continue;
            DisconnectNamedPipe(pipe_.get());
            connectedAt = 0;
        } else if (index == WAIT_OBJECT_0) {
            if (connectedAt == 0 && WriterAtOtherEnd(pipe_.get()) != Writer::None) connectedAt = GetTickCount64();
        } else if (index == WAIT_OBJECT_0 + 1 && WriterAtOtherEnd(pipe_.get()) == Writer::None) {
            // Announced by no writer: nothing to read, and the pipe still listens.
            ResetEvent(messageEvent_.get());
            continue;
        } else if (index == WAIT_OBJECT_0 + 1) {
            std::unique_ptr<unsigned char[]> payload;
            uint32_t length = 0;
            const bool whole = ReadMessage(read, payload, length);
            // A set that came while this message was read belongs to it (a stop's is
            // seen by the loop's own check).
            ResetEvent(messageEvent_.get());
            // The writer is let go and the next one may connect and write before the
            // message is handled: handling (saving a long queue, say) must not hold
            // the single instance past a writer's retries.
            DisconnectNamedPipe(pipe_.get());
            connectedAt = 0;
            listen();
            if (whole) handleMessage(payload.get(), length);
            continue;
        } else {
            break;
        }
        listen();
    }
    // Stopping. A writer that got in before the stop (perhaps gone already) is read; one
    // that has written nothing yet gets a moment, as its bytes follow its connection at
    // once, and otherwise finds the pipe closed and tries again. Without a writer the
    // pipe is closed right after the look, so that none can get in between.
    DWORD available = 0;
    if (PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr) && available == 0)
        WaitForSingleObject(messageEvent_.get(), kStopGraceMs);
    const bool peeked = PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr) != FALSE;
    std::unique_ptr<unsigned char[]> payload;
    uint32_t length = 0;
    if (((peeked && available > 0) || (!peeked && GetLastError() == ERROR_BROKEN_PIPE)) &&
        ReadMessage(read, payload, length)) {
        pipe_.reset();
        handleMessage(payload.get(), length);
    }
    pipe_.reset();
}


PipeClient_CL::OpenResult PipeClient_CL::open() {
    messageEvent_.reset(OpenEventW(EVENT_ALL_ACCESS, FALSE, pipeName.c_str()));
    if (!messageEvent_) return OpenResult::NoReceiver;
    const std::wstring path = PipePath(pipeName);
    const ULONGLONG start = GetTickCount64();
    for (int attempt = 1;; ++attempt) {
        pipe_.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (pipe_) return OpenResult::Opened;
        pipe_.release();
        const DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY) {
            WriteStdoutLine(std::to_wstring(error));
            messageEvent_.reset();
            return OpenResult::Error;
        }
        const ULONGLONG now = GetTickCount64();
        if (attempt >= kBusyTries && now - start >= (kBusyTries - 1) * kBusyRetryMs) {
            WriteStdoutLine(L"pipe_open(リトライオーバー)");
            messageEvent_.reset();
            return OpenResult::Busy;
        }
        // The server is busy with the message before (the job sends a response per tile,
        // several at once after a save of several tiles): it listens again within
        // milliseconds, so the next try comes as soon as it does, not a whole pause later.
        const ULONGLONG nextTry = start + static_cast<ULONGLONG>(attempt) * kBusyRetryMs;
        if (nextTry > now && !WaitNamedPipeW(path.c_str(), static_cast<DWORD>(nextTry - now))) {
            const ULONGLONG after = GetTickCount64();
            if (nextTry > after) Sleep(static_cast<DWORD>(nextTry - after));
        }
    }
}

bool PipeClient_CL::send(const void* bytes, size_t count) {
    if (!pipe_ || !messageEvent_) return false;
    const uint32_t length = static_cast<uint32_t>(count);
    DWORD written = 0;
    bool ok = WriteFile(pipe_.get(), &length, sizeof length, &written, nullptr) &&
              written == sizeof length;
    if (ok && count > 0)
        ok = WriteFile(pipe_.get(), bytes, length, &written, nullptr) && written == length;
    SetEvent(messageEvent_.get());
    pipe_.reset();
    messageEvent_.reset();
    return ok;
}
