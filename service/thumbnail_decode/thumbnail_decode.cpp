#include "service/thumbnail_decode/thumbnail_decode.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "common/log.h"
#include "common/scoped.h"
#include "service/process_state.h"
#include "service/frame_source/thumbnail_maker.h"
#include "service/main_window.h"
#include "service/thumbnail_decode/blank_frames.h"
#include "service/thumbnail_decode/decode_plan.h"
#include "service/thumbnail_decode/progress_response.h"
#include "service/thumbnail_decode/tile_strip.h"

namespace {

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

// The time of the frame shown, kept within the movie: a demuxer's time stamps need not
// agree with the duration it reports. A duration of 0 is unknown.
int64_t WithinMovie(int64_t time, int64_t duration) {
    if (time < 0) return 0;
    return duration > 0 && time > duration ? duration : time;
}

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

// A blank frame (black, a fade, a leader) gives way to the first picture among a few
// later frames before the next tile's; if they are all blank, or a try fails or comes
// back to a frame already tried (keyframe mode), the first frame stays. `kept` holds
// that first frame meanwhile: the source's own frame lasts only until its next decode.
// Returns the frame to draw; `shownAt` becomes its time.
Gdiplus::Bitmap* SkipBlankFrame(DShowThumbnailMaker_CL& source, Gdiplus::Bitmap* frame, int j, const DecodePlan& plan,
                                int64_t duration, const DecodeRequestItem_CL& request, JobState& state,
                                int64_t& shownAt, std::unique_ptr<Gdiplus::Bitmap>& kept, DecodeFrameResult& result) {
    const int count = static_cast<int>(plan.positions.size());
    const wchar_t* file = request.movie_path.c_str();
    LumaStats luma;
    if (!MeasureFrameLuma(*frame, &luma) || !IsBlank(luma)) return frame;
    const int64_t planned = plan.positions[static_cast<size_t>(j)];
    const int64_t limit = j + 1 < count ? plan.positions[static_cast<size_t>(j + 1)] : duration;
    const std::vector<int64_t> tries = BlankSearchPositions(planned, limit);
    WriteLog(mainLog, L"[LOG_LINE]  blank-frame index=%d/%d frame=%lld mean=%.1f deviation=%.1f tries=%d file(%s)",
             j + 1, count, planned, luma.mean, luma.deviation, static_cast<int>(tries.size()), file);
    WriteLog(decodeListLog, L"(blank) frame index=%d/%d frame=%lld mean=%.1f deviation=%.1f file(%s)", j + 1, count,
             planned, luma.mean, luma.deviation, file);
    if (tries.empty()) return frame;
    kept.reset(frame->Clone(0, 0, static_cast<INT>(frame->GetWidth()), static_cast<INT>(frame->GetHeight()),
                            PixelFormat32bppRGB));
    if (!kept || kept->GetLastStatus() != Gdiplus::Ok) return frame;  // cannot keep it: no search
    std::vector<int64_t> seen{shownAt};
    for (const int64_t position : tries) {
        DecodeFrameResult tryResult = Failed;
        int64_t at = position;
        Gdiplus::Bitmap* candidate = source.DecodeFrame(position, &tryResult, &at);
        if (state.seekToKeyframe && candidate) at = WithinMovie(at, duration);
        const bool again = state.seekToKeyframe && candidate &&
                           std::find(seen.begin(), seen.end(), at) != seen.end();
        LumaStats candidateLuma;
        const bool picture = candidate && !again && MeasureFrameLuma(*candidate, &candidateLuma) &&
                             !IsBlank(candidateLuma);
        WriteLog(mainLog,
                 L"[LOG_LINE]  blank-try index=%d/%d frame=%lld result=%u shown=%lld repeated=%d picture=%d "
                 L"file(%s)",
                 j + 1, count, position, static_cast<unsigned>(tryResult), at, again ? 1 : 0, picture ? 1 : 0,
                 file);
        // A cancel must reach the loop; a timeout or failure only ends the search.
        if (tryResult == Cancelled) result = Cancelled;
        if (picture) {
            shownAt = state.seekToKeyframe ? at : position;
            WriteLog(decodeListLog, L"(blank) skipped index=%d/%d frame=%lld shown=%lld file(%s)", j + 1, count,
                     planned, shownAt, file);
            return candidate;
        }
        if (!candidate || tryResult != Success || again) break;
        seen.push_back(at);
    }
    WriteLog(decodeListLog, L"(blank) kept index=%d/%d frame=%lld file(%s)", j + 1, count, planned, file);
    return kept.get();
}

void FrameLoop(MainWindow_CL& window, DShowThumbnailMaker_CL& source, DecodeRequestItem_CL& request,
               const DecodePlan& plan, JobState& state) {
    const int count = static_cast<int>(plan.positions.size());
    const wchar_t* file = request.movie_path.c_str();
    Gdiplus::Bitmap* errorImage = window.errorImage.get();
    TileStrip strip;
    for (int j = 0; j < count; ++j) {
        Gdiplus::Bitmap* frame = nullptr;
        std::unique_ptr<Gdiplus::Bitmap> keptBlank;  // a blank frame kept while later ones are tried
        if (state.failed) {
            frame = errorImage;
            state.errorFlag = 1;
        } else {
            const int64_t position = plan.positions[static_cast<size_t>(j)];
            request.positions[static_cast<size_t>(j)] = position;
            WriteLog(mainLog, L"[LOG_LINE]  decode-call index=%d/%d frame=%lld file(%s)", j + 1, count,
                     position, file);
            DecodeFrameResult result = Failed;
            int64_t shownAt = position;
            frame = source.DecodeFrame(position, &result, &shownAt);
            WriteLog(mainLog,
                     L"[LOG_LINE]  decode-return index=%d/%d frame=%lld result=%u has_bitmap=%d "
                     L"file(%s)",
                     j + 1, count, position, static_cast<unsigned>(result), frame ? 1 : 0, file);
            if (state.seekToKeyframe && frame) {
                // The response tells the time of the keyframe shown, not the one planned.
                shownAt = WithinMovie(shownAt, request.duration);
                request.positions[static_cast<size_t>(j)] = shownAt;
                WriteLog(mainLog, L"[LOG_LINE]  decode-keyframe index=%d/%d frame=%lld shown=%lld file(%s)", j + 1,
                         count, position, shownAt, file);
            }
            if (state.skipBlankFrames && frame && result == Success) {
                frame = SkipBlankFrame(source, frame, j, plan, request.duration, request, state, shownAt, keptBlank,
                                       result);
                request.positions[static_cast<size_t>(j)] = shownAt;
            }
            if (result == Cancelled) {
                state.failed = true;
                window.isQuitRequested = 1;
            } else if (result == Timeout) {
                ++state.totalTimeouts;
                ++state.consecutiveTimeouts;
                WriteLog(decodeListLog, L"(frame decode timeout) consecutive=%d file(%s)",
                         state.consecutiveTimeouts, file);
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
            if (!frame) {
                frame = errorImage;
                state.errorFlag = 1;
            }
            // The next frame decodes while this one is drawn, saved and answered.
            if (j + 1 < count && !state.failed) source.PrepareNext(plan.positions[static_cast<size_t>(j + 1)]);
        }

        DrawTile(strip, j, count, frame, errorImage, request, state);
        strip.Save(j, count, request);

        request.decode_count = count - (j + 1);
        if (request.decode_count == 0) --request.request_count;
        request.error_image_used = state.errorFlag;
        if (window.isQuitRequested == 0) SendProgressResponse(request, g_clientName);
    }
    if (state.totalTimeouts > 0) WriteLog(errorListLog, L"(timeout)%s", file);
}

}  // namespace

int ThumbnailDecode(MainWindow_CL& window) {
    WriteLog(sequenceLog, L"ThumbnailDecode_START");
    DecodeRequestItem_CL request;
    if (!window.requestList.PeekHead(request)) return -1;
    WriteLog(sequenceLog, L"ThumbnailDecode_001(残り%d file)", request.request_count);
    settings.SetInt(kSettingsSection, L"run_decode", 1);
    {
        ComApartment com;
        DShowThumbnailMaker_CL source(g_workFolder, window.cancelEvent.get());
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
            const int exception = settings.GetInt(kSettingsSection, L"exception", 0);
            WriteLog(mainLog, L"[LOG_LINE] (ini) exception=%d file(%s)", exception, file);
            if (exception != 0) {
                // The previous process died on a job: this movie is not opened again.
                settings.SetInt(kSettingsSection, L"exception", 0);
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
                settings.GetInt(kSettingsSection, L"decode_abort_after_consecutive_frame_timeouts", 3);
            WriteLog(mainLog, L"[LOG_LINE] (ini) decode_abort_after_consecutive_frame_timeouts=%d file(%s)",
                     state.abortLimit, file);
            state.seekToKeyframe = settings.GetInt(kSettingsSection, L"seek_to_keyframe", 0) == 1;
            WriteLog(mainLog, L"[LOG_LINE] (ini) seek_to_keyframe=%d file(%s)", state.seekToKeyframe ? 1 : 0, file);
            source.SetSeekToKeyframe(state.seekToKeyframe);
            state.skipBlankFrames = settings.GetInt(kSettingsSection, L"skip_blank_frames", 0) == 1;
            WriteLog(mainLog, L"[LOG_LINE] (ini) skip_blank_frames=%d file(%s)", state.skipBlankFrames ? 1 : 0, file);
            FrameLoop(window, source, request, plan, state);
        }

        if (window.isQuitRequested == 0) {
            window.requestList.RemoveHead();
            WriteLog(sequenceLog, L"ThumbnailDecode_SAVE_START2");
            window.requestList.Save(window.QueuePath());
            WriteLog(sequenceLog, L"ThumbnailDecode_SAVE_END2");
        }
        WriteLog(sequenceLog, L"ThumbnailDecode_004");
        // After a hand-over the mark belongs to the new process's job.
        if (!MainWindow_CL::HasHandedOver()) settings.SetInt(kSettingsSection, L"run_decode", 0);
    }
    KillTimer(window.hwnd, NO_RESPONSE_TIMER_ID);
    WriteLog(sequenceLog, L"ThumbnailDecode_END");
    return 0;
}
