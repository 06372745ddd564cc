#include "service/thumbnail_decode/tile_decode.h"

#include <algorithm>
#include <vector>

#include "service/logs.h"
#include "service/thumbnail_decode/blank_frames.h"

namespace {

// The frame as the caller's own, so that it outlives the source's next decode.
std::unique_ptr<Gdiplus::Bitmap> Own(DShowThumbnailMaker_CL& source, Gdiplus::Bitmap* frame) {
    if (!frame) return nullptr;
    if (std::unique_ptr<Gdiplus::Bitmap> taken = source.TakeFrame(frame)) return taken;
    // Not the source's own (never so today): a copy.
    return std::unique_ptr<Gdiplus::Bitmap>(frame->Clone(0, 0, static_cast<INT>(frame->GetWidth()),
                                                         static_cast<INT>(frame->GetHeight()), PixelFormat32bppRGB));
}

// A blank frame (black, a fade, a leader) gives way to the first picture among a few
// later frames before the next tile's; if they are all blank, or a try fails or comes
// back to a frame already tried (keyframe mode), the first frame stays. `frame` becomes
// the picture found and `shownAt` its time.
void SkipBlankFrame(DShowThumbnailMaker_CL& source, int j, const DecodePlan& plan, const TileDecodeSettings& settings,
                    std::unique_ptr<Gdiplus::Bitmap>& frame, int64_t& shownAt, DecodeFrameResult& result) {
    const int count = static_cast<int>(plan.positions.size());
    const wchar_t* file = settings.movie.c_str();
    LumaStats luma;
    if (!MeasureFrameLuma(*frame, &luma) || !IsBlank(luma)) return;
    const int64_t planned = plan.positions[static_cast<size_t>(j)];
    const int64_t limit = j + 1 < count ? plan.positions[static_cast<size_t>(j + 1)] : settings.duration;
    const std::vector<int64_t> tries = BlankSearchPositions(planned, limit);
    WriteLog(mainLog, L"[LOG_LINE]  blank-frame index=%d/%d frame=%lld mean=%.1f deviation=%.1f tries=%d file(%s)",
             j + 1, count, planned, luma.mean, luma.deviation, static_cast<int>(tries.size()), file);
    WriteLog(decodeListLog, L"(blank) frame index=%d/%d frame=%lld mean=%.1f deviation=%.1f file(%s)", j + 1, count,
             planned, luma.mean, luma.deviation, file);
    std::vector<int64_t> seen{shownAt};
    for (const int64_t position : tries) {
        DecodeFrameResult tryResult = Failed;
        int64_t at = position;
        std::unique_ptr<Gdiplus::Bitmap> candidate = Own(source, source.DecodeFrame(position, &tryResult, &at));
        if (settings.seekToKeyframe && candidate) at = WithinMovie(at, settings.duration);
        const bool again = settings.seekToKeyframe && candidate &&
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
            shownAt = settings.seekToKeyframe ? at : position;
            WriteLog(decodeListLog, L"(blank) skipped index=%d/%d frame=%lld shown=%lld file(%s)", j + 1, count,
                     planned, shownAt, file);
            frame = std::move(candidate);
            return;
        }
        if (!candidate || tryResult != Success || again) break;
        seen.push_back(at);
    }
    WriteLog(decodeListLog, L"(blank) kept index=%d/%d frame=%lld file(%s)", j + 1, count, planned, file);
}

}  // namespace

int64_t WithinMovie(int64_t time, int64_t duration) {
    // A demuxer's time stamps need not agree with the duration it reports.
    if (time < 0) return 0;
    return duration > 0 && time > duration ? duration : time;
}

TileOutcome DecodeTile(DShowThumbnailMaker_CL& source, int j, const DecodePlan& plan,
                       const TileDecodeSettings& settings) {
    const int count = static_cast<int>(plan.positions.size());
    const wchar_t* file = settings.movie.c_str();
    const int64_t position = plan.positions[static_cast<size_t>(j)];
    TileOutcome outcome;
    outcome.shown = position;
    WriteLog(mainLog, L"[LOG_LINE]  decode-call index=%d/%d frame=%lld file(%s)", j + 1, count, position, file);
    int64_t shownAt = position;
    Gdiplus::Bitmap* frame = source.DecodeFrame(position, &outcome.result, &shownAt);
    WriteLog(mainLog, L"[LOG_LINE]  decode-return index=%d/%d frame=%lld result=%u has_bitmap=%d file(%s)", j + 1,
             count, position, static_cast<unsigned>(outcome.result), frame ? 1 : 0, file);
    if (settings.seekToKeyframe && frame) {
        // The response tells the time of the keyframe shown, not the one planned.
        shownAt = WithinMovie(shownAt, settings.duration);
        outcome.shown = shownAt;
        WriteLog(mainLog, L"[LOG_LINE]  decode-keyframe index=%d/%d frame=%lld shown=%lld file(%s)", j + 1, count,
                 position, shownAt, file);
    }
    outcome.frame = Own(source, frame);
    if (settings.skipBlankFrames && outcome.frame && outcome.result == Success) {
        SkipBlankFrame(source, j, plan, settings, outcome.frame, shownAt, outcome.result);
        outcome.shown = shownAt;
    }
    return outcome;
}
