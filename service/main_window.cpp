#include "service/main_window.h"

#include <process.h>
#include <shlwapi.h>

#include "common/module_path.h"
#include "service/logs.h"
#include "service/restart.h"
#include "service/thumbnail_decode/thumbnail_decode.h"

namespace {
MainWindow_CL* g_window = nullptr;  // the one window of the process, for the crash filter

std::wstring QueueMutexName(const std::wstring& workFolder) {
    std::wstring name = workFolder + L"\\Tessaloom";
    for (auto& c : name)
        if (c == L'\\') c = L'/';
    return name;
}
}  // namespace

MainWindow_CL::MainWindow_CL(HINSTANCE instance, int argumentCount, const std::wstring& clientName,
                             const std::wstring& workFolder)
    : workFolder_(workFolder),
      clientName_(clientName),
      settings_(workFolder),
      instance(instance),
      pipeServer(requestList, QueuePath(),
                 [this] {
                     if (isDecoding == 0) PostMessageW(hwnd, WM_DECODE_START, 0, 0);
                 }),
      argumentCount(argumentCount) {
    const std::wstring mutexName = QueueMutexName(workFolder);
    folderMutex.Reset(CreateMutexW(nullptr, FALSE, mutexName.c_str()));
    requestList.mutex.Reset(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, mutexName.c_str()));
    pipeServer.pipeName = L"Tessaloom-" + clientName;

    mainLog.path = workFolder + L"\\kestrel_log.txt";
    decodeListLog.path = workFolder + L"\\kestrel_dec_list.txt";
    errorListLog.path = workFolder + L"\\kestrel_err_list.txt";
    sequenceLog.path = workFolder + L"\\kestrel_seq.txt";

    WriteLog(mainLog, L"★アプリ開始(Tessaloom-%s)", clientName.c_str());
    const std::wstring exePath = ModuleFileName(nullptr);
    const DWORD pid = GetCurrentProcessId();
    WriteLog(mainLog, L"[LOG_LINE]  exe-info pid=%u path(%s) build=%S %S", pid, exePath.c_str(), __DATE__,
             __TIME__);
    WriteLog(decodeListLog, L"(exe-info) pid=%u path(%s) build=%S %S", pid, exePath.c_str(), __DATE__,
             __TIME__);

    cancelEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));

    const std::wstring folder = ProgramFolder();
    std::wstring imagePath = folder + L"\\decode_err_image.JPG";
    if (!PathFileExistsW(imagePath.c_str())) imagePath = folder + L"\\images\\decode_err_image.JPG";
    errorImage.reset(new Gdiplus::Bitmap(imagePath.c_str()));
    g_window = this;
}

MainWindow_CL::~MainWindow_CL() {
    g_window = nullptr;
    if (hwnd) {
        // No message may reach this object once it is gone.
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        DestroyWindow(hwnd);
    }
    cancelEvent.reset();
    errorImage.reset();
    pipeServer.stop();
    jobThread.reset();
}

std::wstring MainWindow_CL::QueuePath() const { return workFolder_ + L"\\TessaloomDataList.dat"; }

LRESULT CALLBACK MainWindow_CL::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<MainWindow_CL*>(create->lpCreateParams);
        self->hwnd = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<MainWindow_CL*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
    return self->HandleMessage(hwnd, message, wParam, lParam);
}

LRESULT MainWindow_CL::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        OnCreate();
        break;
    case WM_DESTROY:
        WriteLog(sequenceLog, L"WM_DESTROY");
        PostQuitMessage(0);
        break;
    case WM_CLOSE:
        OnClose();
        return 1;
    case WM_COPYDATA:
        return OnCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_TIMER:
        OnTimer(wParam);
        break;
    case WM_DECODE_START:
        OnDecodeStart();
        break;
    case WM_DECODE_CANCEL:
        WriteLog(sequenceLog, L"WM_DECODE_CANCEL");
        WriteLog(decodeListLog, L"デコードキャンセルにより終了しました。");
        PostQuitMessage(0);
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT MainWindow_CL::OnCreate() {
    WriteLog(sequenceLog, L"WM_CREATE");
    if (argumentCount > 3) {
        WriteLog(decodeListLog, L"デコードアイテムの読み込み");
        requestList.Load(QueuePath());
    } else {
        WriteLog(decodeListLog, L"デコードアイテムは読み込まない");
    }
    // The pipe may still be held by another process: creating it is retried on a
    // timer, so that the message loop runs meanwhile.
    pipeWaitStart_ = GetTickCount64();
    if (!TryStartPipe()) SetTimer(hwnd, PIPE_RETRY_TIMER_ID, kPipeRetryMs, nullptr);
    // Titled now, pipe or not: WM_COPYDATA requesters and the client's close find the
    // window by its title. The pipe is tried first, so that a client that finds the
    // title and writes at once normally finds the pipe too.
    SetWindowTextW(hwnd, clientName_.c_str());
    PostMessageW(hwnd, WM_DECODE_START, 0, 0);
    return 0;
}

bool MainWindow_CL::TryStartPipe() {
    const ULONGLONG waited = GetTickCount64() - pipeWaitStart_;
    if (pipeServer.start() != S_OK) {
        if (pipeWaitLogged_ == 0 || waited - pipeWaitLogged_ >= 60000) {
            pipeWaitLogged_ = waited == 0 ? 1 : waited;
            WriteLog(mainLog, L"[LOG_LINE] (pipe) waiting for pipe(%s) held by another process waited=%llu s",
                     pipeServer.pipeName.c_str(), waited / 1000);
        }
        return false;
    }
    WriteLog(mainLog, L"[LOG_LINE] (pipe) server started pipe(%s) waited=%llu ms", pipeServer.pipeName.c_str(),
             waited);
    return true;
}

void MainWindow_CL::OnTimer(UINT_PTR id) {
    if (id == NO_RESPONSE_TIMER_ID) {
        OnNoResponseTimer();
    } else if (id == PIPE_RETRY_TIMER_ID) {
        if (isQuitRequested != 0 || TryStartPipe()) KillTimer(hwnd, PIPE_RETRY_TIMER_ID);
    } else if (id == QUIT_DEADLINE_TIMER_ID && isDecoding != 0) {
        WriteLog(mainLog, L"[LOG_LINE] (quit) job still running %u ms after the quit; ending the process",
                 kStuckJobGraceMs);
        // The job is stuck inside a codec, which may hold locks that an orderly exit
        // (ExitProcess runs DLL detach code) would wait on. The queue was saved when
        // the job started (and a new process is started when this is a restart), so
        // ending here loses nothing.
        TerminateProcess(GetCurrentProcess(), kStuckJobExitCode);
    }
}

void MainWindow_CL::OnClose() {
    // Closed by its client for good: from here on no request reaches this process
    // (untitled, so no client finds it; the pipe closed, a message already coming in
    // taken first), and nothing starts it again (neither the watchdog nor the crash
    // filter). A job that does not return from its codec cannot keep it alive.
    closed_ = true;
    KillTimer(hwnd, PIPE_RETRY_TIMER_ID);
    KillTimer(hwnd, NO_RESPONSE_TIMER_ID);
    SetWindowTextW(hwnd, L"");
    RequestQuit();
    pipeServer.stop();
    WriteLog(mainLog, L"[LOG_LINE] (pipe) server stopped for close pipe(%s)", pipeServer.pipeName.c_str());
}

void MainWindow_CL::RequestQuit() {
    const bool decoding = isDecoding != 0;
    isQuitRequested = 1;
    if (decoding) {
        SetEvent(cancelEvent.get());
        SetTimer(hwnd, QUIT_DEADLINE_TIMER_ID, kStuckJobGraceMs, nullptr);
    } else {
        PostMessageW(hwnd, WM_DECODE_CANCEL, 0, 0);
    }
}

BOOL MainWindow_CL::OnCopyData(const COPYDATASTRUCT* data) {
    WriteLog(sequenceLog, L"WM_COPYDATA_START");
    if (handedOver_ || closed_) {
        // The queue file belongs to the new process now, or nobody is to work it.
        WriteLog(decodeListLog, handedOver_ ? L"WM_COPYDATA 再起動中のため拒否" : L"WM_COPYDATA 終了中のため拒否");
        return FALSE;
    }
    DecodeRequestItem_CL item;
    ByteReader in(data ? data->lpData : nullptr, data && data->lpData ? data->cbData : 0);
    // Exactly one whole item, or nothing is queued.
    if (item.read(in) != kReadOk || in.Remaining() != 0) {
        WriteLog(decodeListLog, L"WM_COPYDATA 不正なアイテムを拒否(bytes=%u)",
                 data ? static_cast<unsigned>(data->cbData) : 0u);
        return FALSE;
    }
    WriteLog(decodeListLog, L"受付(%s)", item.movie_path.c_str());
    WriteLog(sequenceLog, L"WM_COPYDATA_ADD_START(%s)", item.movie_path.c_str());
    requestList.Append(item);
    WriteLog(sequenceLog, L"WM_COPYDATA_ADD_END");
    WriteLog(sequenceLog, L"WM_COPYDATA_SAVE_START");
    requestList.Save(QueuePath());
    WriteLog(sequenceLog, L"WM_COPYDATA_SAVE_END");
    if (isDecoding == 0) PostMessageW(hwnd, WM_DECODE_START, 0, 0);
    WriteLog(sequenceLog, L"WM_COPYDATA_END");
    return TRUE;
}

void MainWindow_CL::OnNoResponseTimer() {
    KillTimer(hwnd, NO_RESPONSE_TIMER_ID);
    // A closed service is ending; nothing takes its place.
    if (closed_) return;
    WriteLog(sequenceLog, L"無応答による再起動");
    WriteLog(decodeListLog, L"無応答による再起動");
    // The job's movie hung this process. As after a crash, the next process finishes
    // that item with error tiles without opening it, rather than hanging on it again.
    if (isDecoding != 0 && settings_.GetInt(L"run_decode", 0) != 0) settings_.SetInt(L"exception", 1);
    HandOverToNewProcess();
}

void MainWindow_CL::HandOverToNewProcess() {
    // From here on no request reaches this process: the pipe is closed (a message that
    // was already coming in is taken first) and the window untitled, so clients find
    // only the new process. Then everything queued is saved for it.
    handedOver_ = true;
    KillTimer(hwnd, PIPE_RETRY_TIMER_ID);
    pipeServer.stop();
    WriteLog(mainLog, L"[LOG_LINE] (pipe) server stopped for restart pipe(%s)", pipeServer.pipeName.c_str());
    SetWindowTextW(hwnd, L"");
    requestList.Save(QueuePath());
    AppRestart(clientName_, workFolder_);
    RequestQuit();
}

bool MainWindow_CL::PeriodicRestartDue() {
    const int limit = settings_.GetInt(L"decode_periodic_restart_count", 0);
    WriteLog(mainLog, L"[LOG_LINE] (ini) decode_periodic_restart_count=%d execute_decode_count=%d",
             limit, execute_decode_count);
    if (limit <= 0) return false;
    ++execute_decode_count;
    if (limit >= execute_decode_count) return false;
    WriteLog(sequenceLog, L"定期再起動");
    WriteLog(decodeListLog, L"定期デコードによる再起動(%d)", execute_decode_count);
    HandOverToNewProcess();
    return true;
}

void MainWindow_CL::OnDecodeStart() {
    if (isDecoding != 0) {
        WriteLog(sequenceLog, L"WM_DECODE_START(デコード中なので無視します)");
        return;
    }
    WriteLog(sequenceLog, L"WM_DECODE_START");
    // No job runs, so no watchdog may stay armed (a timer of this thread's window
    // cannot be relied on to be killed from the job thread).
    KillTimer(hwnd, NO_RESPONSE_TIMER_ID);
    if (isQuitRequested != 0) {
        WriteLog(sequenceLog, L"キャンセル");
        PostMessageW(hwnd, WM_DECODE_CANCEL, 0, 0);
        return;
    }
    if (PeriodicRestartDue()) return;
    DecodeRequestItem_CL head;
    if (!requestList.PeekHead(head)) {
        WriteLog(sequenceLog, L"デーコードするアイテム無し");
        WriteLog(decodeListLog, L"デーコードするアイテムがなくなりました。");
        return;
    }
    StartJob(head.serial);
}

void MainWindow_CL::StartJob(uint64_t itemSerial) {
    // The item about to be worked on is on disk before its job starts, so that a
    // crash restart retries this item and not an older one.
    requestList.Save(QueuePath());
    jobItemSerial_ = itemSerial;
    isDecoding = 1;
    KillTimer(hwnd, NO_RESPONSE_TIMER_ID);
    SetTimer(hwnd, NO_RESPONSE_TIMER_ID, NO_RESPONSE_TIMEOUT_MS, nullptr);
    unsigned id = 0;
    jobThread.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, JobThreadProc, this, 0, &id)));
    if (!jobThread) {
        isDecoding = 0;
        KillTimer(hwnd, NO_RESPONSE_TIMER_ID);
    }
}

unsigned __stdcall MainWindow_CL::JobThreadProc(void* param) {
    auto* self = static_cast<MainWindow_CL*>(param);
    self->jobThreadId_ = GetCurrentThreadId();
    try {
        JobContext job{self->requestList,        self->QueuePath(),         self->clientName_,
                       self->workFolder_,        self->errorImage.get(),    self->cancelEvent.get(),
                       self->isQuitRequested,    self->handedOver_};
        ThumbnailDecode(job);
        self->failuresOfItem_ = 0;
    } catch (...) {
        self->OnJobFailed(self->jobItemSerial_);
    }
    self->EndJobThread();
    return 0;
}

void MainWindow_CL::EndJobThread() {
    jobThreadId_ = 0;
    isDecoding = 0;
    PostMessageW(hwnd, WM_DECODE_START, 0, 0);
}

void MainWindow_CL::OnJobFailed(uint64_t itemSerial) {
    // The failure belongs to the job's own item, which may have left the queue already
    // (a fault after the item was finished): no other item pays for it.
    if (failedItemSerial_ != itemSerial) {
        failedItemSerial_ = itemSerial;
        failuresOfItem_ = 0;
    }
    if (++failuresOfItem_ < kMaxJobFailuresPerItem || handedOver_) return;
    DecodeRequestItem_CL head;
    if (!requestList.PeekHead(head) || !requestList.RemoveHeadIf(itemSerial)) return;
    WriteLog(errorListLog, L"%s", head.movie_path.c_str());
    WriteLog(decodeListLog, L"(job) %d回失敗したため中止 file(%s)", failuresOfItem_, head.movie_path.c_str());
    requestList.Save(QueuePath());
}

bool MainWindow_CL::HasHandedOver() { return g_window && g_window->handedOver_; }

bool MainWindow_CL::IsClosed() { return g_window && g_window->closed_; }

void MainWindow_CL::StopIntakeAfterCrash() {
    MainWindow_CL* self = g_window;
    // On the pipe thread itself there is nothing to wait for.
    if (self && GetCurrentThreadId() != self->pipeServer.listenerThreadId()) self->pipeServer.stop();
}

bool MainWindow_CL::HandleJobThreadFault(EXCEPTION_POINTERS*) {
    MainWindow_CL* self = g_window;
    if (!self || self->jobThreadId_ == 0 || self->jobThreadId_ != GetCurrentThreadId()) return false;
    // No unwinding happens here: what the job held is left behind (its graph may go
    // on streaming into the capture callback, which the graph keeps alive), and a
    // queue mutex it owned is released by the end of the thread (abandoned).
    self->OnJobFailed(self->jobItemSerial_);
    self->EndJobThread();
    ExitThread(0);
    return true;
}
