#include "service/thumbnail_decode/thumbnail_decode.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "common/scoped.h"
#include "service/frame_source/thumbnail_maker.h"
#include "service/logs.h"
#include "service/settings.h"
#include "service/thumbnail_decode/cancel_relay.h"
#include "service/thumbnail_decode/decode_helpers.h"
#include "service/thumbnail_decode/decode_plan.h"
#include "service/thumbnail_decode/progress_response.h"
#include "service/thumbnail_decode/source_count.h"
#include "service/thumbnail_decode/tile_decode.h"
#include "service/thumbnail_decode/tile_schedule.h"
#include "service/thumbnail_decode/tile_strip.h"

namespace {

// A tile of the first source that takes this long makes further sources worth opening,
// and so does a strip this large: each save of it takes about as long (a JPEG of 16
// megapixels about 190 ms), and tiles decoded meanwhile share the next save.
constexpr ULONGLONG kWorthAnotherSourceMs = 150;
constexpr int64_t kWorthAnotherSourcePixels = 8000000;

DWORD ProcessorCount() {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

// State of one job's frame loop.
struct JobState {
    bool failed = false;
    int32_t errorFlag = 0;
    int totalTimeouts = 0;
    int consecutiveTimeouts = 0;
    int abortLimit = 0;
    bool seekToKeyframe = false;
    bool skipBlankFrames = false;
};

void LogPlan(const DecodeRequestItem_CL& request, const DecodePlan& plan) {
    const wchar_t* file = request.movie_path.c_str();
    for (const auto& clamp : plan.clamps) {
        WriteLog(mainLog, L"[LOG_LINE]  decode-plan clamp frame %lld->%lld file(%s)", clamp.first,
                 clamp.second, file);
        WriteLog(decodeListLog, L"(decode-plan) clamp frame %lld->%lld file(%s)", clamp.first,
                 clamp.second, file);
    }
    if (plan.adjusted > 0) {
        WriteLog(mainLog, L"[LOG_LINE]  decode-plan dedupe adjusted=%d min_gap=%lld file(%s)",
                 plan.adjusted, plan.minGap, file);
        WriteLog(decodeListLog, L"(decode-plan) dedupe adjusted=%d min_gap=%lld file(%s)",
                 plan.adjusted, plan.minGap, file);
    }
    const int count = static_cast<int>(plan.positions.size());
    WriteLog(mainLog, L"[LOG_LINE]  decode-plan file(%s) count=%d first=%lld last=%lld", file, count,
             plan.positions.front(), plan.positions.back());
}

// Draws the tile, falling back to the error image and then to a black tile when a
// frame cannot be drawn, so that every tile is saved and answered.
void DrawTile(TileStrip& strip, int j, int count, Gdiplus::Bitmap* frame, Gdiplus::Bitmap* errorImage,
              DecodeRequestItem_CL& request, JobState& state) {
    if (frame && strip.Draw(j, count, *frame, request)) return;
    state.errorFlag = 1;
    if (frame != errorImage && errorImage && strip.Draw(j, count, *errorImage, request)) return;
    if (strip.Image()) return;  // the tile stays black as made
    // Not even the strip exists (no size could be taken): make it from a black frame.
    if (request.frame_width <= 0 || request.frame_height <= 0) {
        request.frame_width = 160;
        request.frame_height = 90;
    }
    Gdiplus::Bitmap black(request.frame_width, request.frame_height, PixelFormat32bppRGB);
    strip.Draw(j, count, black, request);
}

// Applies tile j's outcome to the job, in plan order: timeouts, the consecutive-timeout
// abort, a cancel. Returns the frame to draw; null for the error image.
Gdiplus::Bitmap* AccountTile(JobContext& job, const DecodeRequestItem_CL& request, JobState& state,
                             TileOutcome& outcome) {
    const wchar_t* file = request.movie_path.c_str();
    // Whatever was decoded for a tile after the abort or a cancel is not shown.
    if (state.failed) return nullptr;
    if (outcome.result == Cancelled) {
        state.failed = true;
        job.quitRequested = 1;
    } else if (outcome.result == Timeout) {
        ++state.totalTimeouts;
        ++state.consecutiveTimeouts;
        WriteLog(decodeListLog, L"(frame decode timeout) consecutive=%d file(%s)", state.consecutiveTimeouts, file);
        if (state.abortLimit > 0 && state.consecutiveTimeouts >= state.abortLimit) {
            WriteLog(decodeListLog,
                     L"decode_abort_after_consecutive_frame_timeouts(%d) "
                     L"により残りフレームのデコードを中止",
                     state.abortLimit);
            state.failed = true;
        }
    } else {
        state.consecutiveTimeouts = 0;
    }
    return outcome.frame.get();
}

// The job's frame sources: the first one (opened by the job) decodes on the job thread
// between the tiles it draws; once it has given a frame through DirectShow, further
// sources join on threads of their own. Tiles are drawn, saved and answered in plan
// order; tiles that are decoded by the time a save ends go into the next save together.
class FrameLoop {
public:
    FrameLoop(JobContext& job, DShowThumbnailMaker_CL& source, DecodeRequestItem_CL& request,
              const DecodePlan& plan, JobState& state, const SourceCount& sources, HANDLE cancelEvent)
        : job_(job),
          source_(source),
          request_(request),
          plan_(plan),
          state_(state),
          count_(static_cast<int>(plan.positions.size())),
          sources_(sources.sources),
          byHand_(std::wstring(sources.reason) == L"setting"),
          schedule_(count_, state.abortLimit,
                    TilesAhead(sources.sources, count_, source.SourceWidth(), source.SourceHeight()),
                    KeyframeIntervals(source, plan, state.seekToKeyframe)),
          settings_{request.movie_path, request.duration, state.seekToKeyframe, state.skipBlankFrames},
          helpers_(schedule_, plan_, settings_, job.workFolder, cancelEvent),
          outcomes_(static_cast<size_t>(count_)),
          frames_(static_cast<size_t>(count_), nullptr),
          decoded_(static_cast<size_t>(count_), false) {}

    ~FrameLoop() {
        schedule_.Stop();
        helpers_.Finish();
    }

    void Run() {
        int accounted = 0, drawn = 0;
        int primaryTile = -1;
        StartHelpersAtOnce();
        while (drawn < count_) {
            const uint64_t seen = schedule_.Version();
            while (accounted < count_ && (state_.failed || schedule_.Done(accounted))) {
                const bool decoded = !state_.failed;
                if (decoded) outcomes_[static_cast<size_t>(accounted)] = schedule_.Take(accounted);
                frames_[static_cast<size_t>(accounted)] =
                    AccountTile(job_, request_, state_, outcomes_[static_cast<size_t>(accounted)]);
                decoded_[static_cast<size_t>(accounted)] = decoded;
                ++accounted;
                if (state_.failed) schedule_.Stop();
            }
            // A first source without a graph (a failed switch) leaves the tiles to the others while they run.
            if (primaryTile < 0 && !state_.failed && (source_.CanDecode() || helpers_.Running() == 0)) {
                primaryTile = schedule_.Claim(kFirstSource);
                // The next frame decodes while this one is drawn, saved and answered.
                if (primaryTile >= 0 && drawn < accounted)
                    source_.PrepareNext(plan_.positions[static_cast<size_t>(primaryTile)]);
                if (primaryTile >= 0) StartHelpers();
            }
            // With further sources, the first source's tile, decoded meanwhile, joins the save of
            // the tiles before it (one source keeps one save per tile).
            const bool primaryReady =
                sources_ > 1 && primaryTile >= 0 && !state_.failed && source_.PreparedFrameReady();
            if (drawn < accounted && !primaryReady) {
                drawn = DrawSaveAnswer(drawn, accounted);
                schedule_.Drawn(drawn);
                continue;
            }
            if (primaryTile >= 0 && !state_.failed) {
                TileOutcome outcome = DecodeTile(source_, primaryTile, plan_, settings_);
                const ULONGLONG now = GetTickCount64();
                primaryCycleMs_ = now - primaryDoneAt_;
                primaryDoneAt_ = now;
                primaryOnDirectShow_ = outcome.result == Success && outcome.frame &&
                                       !OnMediaFoundationRoute(request_.movie_path);
                if (outcome.frame && stripPixels_ == 0) {
                    // The tile size is the first frame's unless the request sets one.
                    const int64_t w = request_.frame_width > 0 ? request_.frame_width : outcome.frame->GetWidth();
                    const int64_t h = request_.frame_height > 0 ? request_.frame_height : outcome.frame->GetHeight();
                    stripPixels_ = w * h * count_;
                }
                schedule_.Complete(primaryTile, std::move(outcome));
                primaryTile = -1;
                continue;
            }
            primaryTile = -1;
            schedule_.WaitForChange(seen);
        }
        schedule_.Stop();
        helpers_.Finish();
        if (state_.totalTimeouts > 0) WriteLog(errorListLog, L"(timeout)%s", request_.movie_path.c_str());
    }

private:
    static constexpr int kFirstSource = 1;  // further sources count on from 2

    // Exact frames only: a keyframe seek never decodes on.
    static std::vector<int64_t> KeyframeIntervals(const DShowThumbnailMaker_CL& source, const DecodePlan& plan,
                                                  bool seekToKeyframe) {
        std::vector<int64_t> intervals;
        if (seekToKeyframe || !source.Keyframes().Known()) return intervals;
        for (const int64_t position : plan.positions) intervals.push_back(source.Keyframes().IntervalOf(position));
        return intervals;
    }

    // When every tile is known to take a while before the first frame came (a strip this
    // large takes as long to save), further sources open the movie at once instead of after
    // the first source's first frame: each has shown that the movie decodes through
    // DirectShow by the frame its own opening brings before it takes a tile. (Exact frames
    // of small tiles gain nothing from it: the first source alone keeps most of the cores busy.)
    void StartHelpersAtOnce() {
        const int64_t tilePixels = request_.frame_width > 0 && request_.frame_height > 0
                                       ? static_cast<int64_t>(request_.frame_width) * request_.frame_height
                                       : static_cast<int64_t>(source_.SourceWidth()) * source_.SourceHeight();
        const bool worth = tilePixels * count_ >= kWorthAnotherSourcePixels;
        if (sources_ <= 1 || count_ <= 1 || !worth || !source_.CanDecode()) return;
        LogHelpersStart(std::min(sources_, count_));
        helpers_.Start(std::min(sources_, count_) - 1);
    }

    void LogHelpersStart(int sources) {
        for (LogFile* log : {&mainLog, &decodeListLog})
            WriteLog(*log, L"(decode-parallel) start sources=%d file(%s)", sources, request_.movie_path.c_str());
    }

    // Once the first source has shown that the movie decodes through DirectShow, the
    // others open it; none for tiles the first source will take itself.
    void StartHelpers() {
        if (sources_ <= 1 || helpers_.Started() || !primaryOnDirectShow_) return;
        // Opening a source costs about as much as 150 ms of decoding: chosen automatically,
        // further sources join only a job whose tiles take a while each (decoding far from
        // a keyframe, or saving a large strip).
        if (!byHand_ && primaryCycleMs_ < kWorthAnotherSourceMs && stripPixels_ < kWorthAnotherSourcePixels) return;
        int pending = 0;
        for (int t = 0; t < count_; ++t) pending += schedule_.Done(t) ? 0 : 1;
        const int helpers = std::min(sources_ - 1, pending - 1);  // less the tile the first source has
        if (helpers <= 0) return;
        LogHelpersStart(helpers + 1);
        helpers_.Start(helpers);
    }

    // Draws tiles from `drawn` on: one tile, or every decoded tile that is ready, then
    // saves once and answers each tile in order. Returns the new count of drawn tiles.
    int DrawSaveAnswer(int drawn, int accounted) {
        int last = drawn;
        if (decoded_[static_cast<size_t>(drawn)])
            while (last + 1 < accounted && decoded_[static_cast<size_t>(last + 1)]) ++last;
        std::vector<int32_t> errorFlags;
        for (int k = drawn; k <= last; ++k) {
            Gdiplus::Bitmap* frame = frames_[static_cast<size_t>(k)];
            if (!frame) {
                frame = job_.errorImage;
                state_.errorFlag = 1;
            }
            DrawTile(strip_, k, count_, frame, job_.errorImage, request_, state_);
            errorFlags.push_back(state_.errorFlag);
            outcomes_[static_cast<size_t>(k)].frame.reset();
            frames_[static_cast<size_t>(k)] = nullptr;
        }
        strip_.Save(last, count_, request_, drawn);
        for (int j = drawn; j <= last; ++j) {
            // A response tells the positions of the tiles up to its own, as one source at a time did.
            if (decoded_[static_cast<size_t>(j)])
                request_.positions[static_cast<size_t>(j)] = outcomes_[static_cast<size_t>(j)].shown;
            request_.decode_count = count_ - (j + 1);
            if (request_.decode_count == 0) --request_.request_count;
            request_.error_image_used = errorFlags[static_cast<size_t>(j - drawn)];
            if (job_.quitRequested == 0) SendProgressResponse(request_, job_.clientName);
        }
        return last + 1;
    }

    JobContext& job_;
    DShowThumbnailMaker_CL& source_;
    DecodeRequestItem_CL& request_;
    const DecodePlan plan_;  // the further sources' own copy: see the job thread's fault
    JobState& state_;
    const int count_;
    const int sources_;
    const bool byHand_;  // "decode_parallel" set K: every source is used
    TileSchedule schedule_;
    const TileDecodeSettings settings_;
    DecodeHelpers helpers_;
    TileStrip strip_;
    bool primaryOnDirectShow_ = false;
    // The first source's last tile: from the end of the tile before (the loop's start for
    // the first) to the end of its decode, drawing, saving and answering included.
    ULONGLONG primaryDoneAt_ = GetTickCount64();
    ULONGLONG primaryCycleMs_ = 0;
    int64_t stripPixels_ = 0;  // 0 until the first frame came
    std::vector<TileOutcome> outcomes_;        // accounted, until drawn
    std::vector<Gdiplus::Bitmap*> frames_;     // what each accounted tile shows (null: the error image)
    std::vector<bool> decoded_;                // accounted from a decode (not after a failure)
};

}  // namespace

int ThumbnailDecode(JobContext& job) {
    WriteLog(sequenceLog, L"ThumbnailDecode_START");
    DecodeRequestItem_CL request;
    if (!job.queue.PeekHead(request)) return -1;
    WriteLog(sequenceLog, L"ThumbnailDecode_001(残り%d file)", request.request_count);
    const ServiceSettings settings(job.workFolder);
    settings.SetInt(L"run_decode", 1);
    {
        ComApartment com;
        // One source at a time waits on the window's cancel event itself, as it always did.
        const int parallel = settings.GetInt(L"decode_parallel", 0);
        std::unique_ptr<CancelRelay> relay;
        if (parallel != 1) relay.reset(new CancelRelay(job.cancelEvent));
        HANDLE cancelEvent = relay && relay->Event() ? relay->Event() : job.cancelEvent;
        DShowThumbnailMaker_CL source(job.workFolder, cancelEvent);
        WriteLog(sequenceLog, L"ThumbnailDecode_002");
        WriteLog(sequenceLog, L"ThumbnailDecode_003");
        WriteLog(sequenceLog, L"ThumbnailDecode_003-1");
        WriteLog(sequenceLog, L"ThumbnailDecode_003-2");
        WriteLog(sequenceLog, L"ThumbnailDecode_003-3");

        const wchar_t* file = request.movie_path.c_str();
        if (!request.positions.empty()) {
            WriteLog(sequenceLog, L"ThumbnailDecode_004");
            WriteLog(sequenceLog, L"ThumbnailDecode_005");
            WriteLog(sequenceLog, L"ThumbnailDecode_006");
            JobState state;
            const int exception = settings.GetInt(L"exception", 0);
            WriteLog(mainLog, L"[LOG_LINE] (ini) exception=%d file(%s)", exception, file);
            if (exception != 0) {
                // The previous process died on a job: this movie is not opened again.
                settings.SetInt(L"exception", 0);
                state.failed = true;
            } else if (source.SetContent(request.movie_path) != S_OK) {
                state.failed = true;
            }
            if (state.failed) WriteLog(errorListLog, L"%s", file);
            WriteLog(sequenceLog, L"ThumbnailDecode_007");

            request.duration = source.GetDuration();
            WriteLog(mainLog, L"[LOG_LINE]  decode-plan duration=%lld initial_last=%lld file(%s)",
                     request.duration, request.duration, file);
            WriteLog(decodeListLog, L"(decode-plan) duration=%lld initial_last=%lld file(%s)",
                     request.duration, request.duration, file);
            WriteLog(sequenceLog, L"ThumbnailDecode_008");
            for (size_t i = 0; i < request.positions.size(); ++i) {
                WriteLog(mainLog, L"[LOG_LINE]  decode-plan input index=%d frame=%lld file(%s)",
                         static_cast<int>(i + 1), request.positions[i], file);
                WriteLog(decodeListLog, L"(decode-plan) input index=%d frame=%lld file(%s)",
                         static_cast<int>(i + 1), request.positions[i], file);
            }
            PlanRandom random;
            const DecodePlan plan = MakeDecodePlan(request.duration, request.positions, random);
            LogPlan(request, plan);
            WriteLog(sequenceLog, L"ThumbnailDecode_009");
            state.abortLimit =
                settings.GetInt(L"decode_abort_after_consecutive_frame_timeouts", 3);
            WriteLog(mainLog, L"[LOG_LINE] (ini) decode_abort_after_consecutive_frame_timeouts=%d file(%s)",
                     state.abortLimit, file);
            state.seekToKeyframe = settings.GetInt(L"seek_to_keyframe", 0) == 1;
            WriteLog(mainLog, L"[LOG_LINE] (ini) seek_to_keyframe=%d file(%s)", state.seekToKeyframe ? 1 : 0, file);
            source.SetSeekToKeyframe(state.seekToKeyframe);
            state.skipBlankFrames = settings.GetInt(L"skip_blank_frames", 0) == 1;
            WriteLog(mainLog, L"[LOG_LINE] (ini) skip_blank_frames=%d file(%s)", state.skipBlankFrames ? 1 : 0, file);
            WriteLog(mainLog, L"[LOG_LINE] (ini) decode_parallel=%d file(%s)", parallel, file);
            const SourceCount sources = ChooseSourceCount(parallel, static_cast<int>(ProcessorCount()),
                                                          source.SourceWidth(), source.SourceHeight());
            for (LogFile* log : {&mainLog, &decodeListLog})
                WriteLog(*log, L"(decode-parallel) sources=%d reason=%s size=%dx%d budget_mb=%lld file(%s)",
                         sources.sources, sources.reason, source.SourceWidth(), source.SourceHeight(),
                         kSourceMemoryBudget / (1024 * 1024), file);
            // On the heap, as the relay: a fault on the job thread ends it without unwinding,
            // and the further sources (told to stop by the crash filter) still use both.
            std::unique_ptr<FrameLoop> loop(new FrameLoop(job, source, request, plan, state,
                                                          relay ? sources : SourceCount{1, L"setting"}, cancelEvent));
            loop->Run();
        }

        if (job.quitRequested == 0) {
            job.queue.RemoveHead();
            WriteLog(sequenceLog, L"ThumbnailDecode_SAVE_START2");
            job.queue.Save(job.queuePath);
            WriteLog(sequenceLog, L"ThumbnailDecode_SAVE_END2");
        }
        WriteLog(sequenceLog, L"ThumbnailDecode_004");
        // After a hand-over the mark belongs to the new process's job.
        if (!job.handedOver) settings.SetInt(L"run_decode", 0);
    }
    WriteLog(sequenceLog, L"ThumbnailDecode_END");
    return 0;
}
