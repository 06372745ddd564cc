#include "service/thumbnail_decode/decode_helpers.h"

#include <process.h>

#include "service/frame_source/cancel_signal.h"
#include "service/frame_source/thumbnail_maker.h"
#include "service/logs.h"

namespace {
// Which threads are further sources, and the job thread whose further sources run: read
// by the crash filter on any faulting thread, so plain atomics (a thread-local variable
// may allocate on its first use on a thread).
constexpr int kSlots = 8;
std::atomic<DWORD> g_helperThread[kSlots];
std::atomic<void*> g_helper[kSlots];
std::atomic<DWORD> g_jobThread{0};
std::atomic<TileSchedule*> g_jobSchedule{nullptr};

void* CurrentHelper() {
    const DWORD self = GetCurrentThreadId();
    for (int i = 0; i < kSlots; ++i)
        if (g_helperThread[i] == self) return g_helper[i];
    return nullptr;
}

void Register(void* helper) {
    for (int i = 0; i < kSlots; ++i) {
        DWORD free = 0;
        if (g_helperThread[i].compare_exchange_strong(free, GetCurrentThreadId())) {
            g_helper[i] = helper;  // looked up only by this thread, after this
            return;
        }
    }
}

void Unregister() {
    const DWORD self = GetCurrentThreadId();
    for (int i = 0; i < kSlots; ++i)
        if (g_helperThread[i] == self) g_helperThread[i] = 0;
}
}  // namespace

DecodeHelpers::DecodeHelpers(TileSchedule& schedule, const DecodePlan& plan, const TileDecodeSettings& settings,
                             const std::wstring& workFolder, HANDLE cancelEvent)
    : schedule_(schedule), plan_(plan), settings_(settings), workFolder_(workFolder), cancelEvent_(cancelEvent) {}

DecodeHelpers::~DecodeHelpers() { Finish(); }

void DecodeHelpers::Start(int count) {
    g_jobSchedule = &schedule_;
    g_jobThread = GetCurrentThreadId();
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<Helper> helper(new Helper);
        helper->owner = this;
        helper->number = static_cast<int>(helpers_.size()) + 2;
        ++running_;
        helper->thread.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ThreadProc, helper.get(), 0, nullptr)));
        if (!helper->thread) {
            --running_;
            break;  // fewer sources
        }
        helpers_.push_back(std::move(helper));
    }
}

void DecodeHelpers::Finish() {
    SetEvent(finishing_.get());
    for (auto& helper : helpers_)
        if (helper->thread) WaitForSingleObject(helper->thread.get(), INFINITE);
    helpers_.clear();
    if (g_jobSchedule == &schedule_) {
        g_jobThread = 0;
        g_jobSchedule = nullptr;
    }
}

void DecodeHelpers::StopForJobThreadFault() {
    TileSchedule* schedule = g_jobSchedule;
    if (schedule && g_jobThread == GetCurrentThreadId()) schedule->Stop();
}

unsigned __stdcall DecodeHelpers::ThreadProc(void* param) {
    auto* helper = static_cast<Helper*>(param);
    Register(helper);
    helper->owner->Run(*helper);
    Unregister();
    return 0;
}

void DecodeHelpers::Run(Helper& helper) {
    ComApartment com;
    const wchar_t* file = settings_.movie.c_str();
    const int count = static_cast<int>(plan_.positions.size());
    {
        // Made, used and released on this thread, in its apartment.
        DShowThumbnailMaker_CL source(workFolder_, cancelEvent_);
        source.SetSeekToKeyframe(settings_.seekToKeyframe);
        const bool ready = !OnMediaFoundationRoute(settings_.movie) && source.SetContent(settings_.movie) == S_OK &&
                           source.AwaitOpeningFrame(finishing_.get());
        for (LogFile* log : {&mainLog, &decodeListLog})
            WriteLog(*log, L"(decode-parallel) source=%d ready=%d file(%s)", helper.number, ready ? 1 : 0, file);
        int decoded = 0;
        while (ready) {
            // A movie that went to Media Foundation is left to the job's first source.
            if (OnMediaFoundationRoute(settings_.movie) || CancelSignalled(cancelEvent_)) break;
            const int tile = schedule_.ClaimOrWait(helper.number);
            if (tile < 0) break;
            helper.tile = tile;
            WriteLog(mainLog, L"[LOG_LINE]  decode-source index=%d/%d source=%d file(%s)", tile + 1, count,
                     helper.number, file);
            TileOutcome outcome = DecodeTile(source, tile, plan_, settings_);
            const bool cancelled = outcome.result == Cancelled;
            schedule_.Complete(tile, std::move(outcome));
            helper.tile = -1;
            ++decoded;
            // A source whose graph went with a failed switch leaves the rest to the others.
            if (cancelled || !source.CanDecode()) break;
        }
        --running_;
        schedule_.Leave(helper.number);
        WriteLog(mainLog, L"[LOG_LINE] (decode-parallel) source=%d end tiles=%d file(%s)", helper.number, decoded,
                 file);
    }
}

bool DecodeHelpers::HandleFault() {
    auto* helper = static_cast<Helper*>(CurrentHelper());
    if (!helper) return false;
    Unregister();
    const int tile = helper->tile.exchange(-1);
    for (LogFile* log : {&mainLog, &decodeListLog})
        WriteLog(*log, L"(decode-parallel) source=%d fault index=%d file(%s)", helper->number, tile + 1,
                 helper->owner->settings_.movie.c_str());
    --helper->owner->running_;
    if (tile >= 0) helper->owner->schedule_.Release(tile);
    helper->owner->schedule_.Leave(helper->number);
    ExitThread(0);
    return true;
}
