// The service's hidden main window: request intake, the job cycle and the watchdog.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <atomic>
#include <memory>
#include <string>

#include "common/mutex.h"
#include "common/scoped.h"
#include "service/pipe_server.h"
#include "service/request_list.h"
#include "service/settings.h"

constexpr UINT WM_DECODE_START = WM_APP + 0x412;   // 0x8412
constexpr UINT WM_DECODE_CANCEL = WM_APP + 0x413;  // 0x8413
constexpr UINT_PTR NO_RESPONSE_TIMER_ID = 0x10001;
constexpr UINT NO_RESPONSE_TIMEOUT_MS = 300000;
// A job that fails this many times in a row on the same head item gives it up.
constexpr int kMaxJobFailuresPerItem = 3;
// While another process holds the pipe, creating it is tried again at this interval.
constexpr UINT_PTR PIPE_RETRY_TIMER_ID = 0x10011;
constexpr UINT kPipeRetryMs = 200;
// After a restart or WM_CLOSE the process ends within this time even if its job never
// returns.
constexpr UINT_PTR QUIT_DEADLINE_TIMER_ID = 0x10012;
constexpr UINT kStuckJobGraceMs = 5000;
constexpr UINT kStuckJobExitCode = 3;

class MainWindow_CL {
public:
    MainWindow_CL(HINSTANCE instance, int argumentCount, const std::wstring& clientName,
                  const std::wstring& workFolder);
    MainWindow_CL(const MainWindow_CL&) = delete;
    MainWindow_CL& operator=(const MainWindow_CL&) = delete;
    virtual LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    virtual ~MainWindow_CL();

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    // Ends the service: at once when idle, after the running job otherwise, and by
    // force when that job has not returned within kStuckJobGraceMs.
    void RequestQuit();
    std::wstring QueuePath() const;

    // Called by the crash filter: a fault on the job thread ends only that thread,
    // after the job thread's own wind-down. Returns false for other threads.
    static bool HandleJobThreadFault(EXCEPTION_POINTERS* info);
    // Whether this process has handed its work over to a new process.
    static bool HasHandedOver();
    // Whether its client closed this process (WM_CLOSE): nothing may restart it.
    static bool IsClosed();
    // Called by the crash filter before the restart: closes the pipe after taking (and
    // saving) a message that is already coming in, so that none dies with the process.
    static void StopIntakeAfterCrash();

private:
    // Feeds the intake paths in this process, with a job pretended to hold the head.
    friend class IntakeFuzzer;

    LRESULT OnCreate();
    void OnClose();
    BOOL OnCopyData(const COPYDATASTRUCT* data);
    void OnDecodeStart();
    void OnTimer(UINT_PTR id);
    void OnNoResponseTimer();
    bool PeriodicRestartDue();
    // Creates the pipe and titles the window; false while another process holds it.
    bool TryStartPipe();
    void HandOverToNewProcess();
    void StartJob(uint64_t itemSerial);
    static unsigned __stdcall JobThreadProc(void* self);
    void EndJobThread();
    // Counts a failed job (exception or fault) against the item it worked on (its
    // serial), and gives that item up after repeated failures.
    void OnJobFailed(uint64_t itemSerial);

    const std::wstring workFolder_;
    const std::wstring clientName_;
    const ServiceSettings settings_;
    HWND hwnd = nullptr;
    HINSTANCE instance;
    Mutex_CL folderMutex;
    DecodeRequestList_CL requestList;
    UniqueHandle cancelEvent;
    std::unique_ptr<Gdiplus::Bitmap> errorImage;
    MyPipeServer_CL pipeServer;
    int argumentCount;
    UniqueHandle jobThread;
    std::atomic<int> isDecoding{0};
    std::atomic<int> isQuitRequested{0};
    int execute_decode_count = 0;
    std::atomic<DWORD> jobThreadId_{0};
    uint64_t jobItemSerial_ = 0;     // the queued item the running (or last) job works on
    uint64_t failedItemSerial_ = 0;  // the item that the failure count belongs to
    int failuresOfItem_ = 0;
    ULONGLONG pipeWaitStart_ = 0;
    ULONGLONG pipeWaitLogged_ = 0;
    std::atomic<bool> handedOver_{false};
    std::atomic<bool> closed_{false};
};
