// The frame source's Media Foundation route: the switch from DirectShow when it fails a
// frame, and every later frame of a movie that once needed it.
#include "service/frame_source/thumbnail_maker.h"

#include <mutex>
#include <set>

#include "service/frame_source/cancel_signal.h"
#include "service/frame_source/media_foundation_decode.h"
#include "service/logs.h"
#include "service/settings.h"

namespace {
int64_t MediaFoundationPosition(int64_t frame) { return frame > 0 ? frame : 1; }
}  // namespace

void DShowThumbnailMaker_CL::KeepOnMediaFoundation() {
    ReleaseContent();
    stickyMfLocal = true;
    // Written once for each movie in the life of the process.
    static std::mutex lock;
    static std::set<std::wstring> logged;
    std::lock_guard<std::mutex> guard(lock);
    if (logged.insert(moviePath).second) {
        WriteLog(mainLog, L"[LOG_LINE] (decode-route) sticky-mf setcontent-bypass-ds file(%s)", moviePath.c_str());
        WriteLog(decodeListLog, L"(decode-route) sticky-mf setcontent-bypass-ds file(%s)", moviePath.c_str());
    }
}

Gdiplus::Bitmap* DShowThumbnailMaker_CL::DecodeWithMediaFoundation(int64_t frame, int64_t* shownAt) {
    MfFrameTimes times;
    times.readFirst = seekToKeyframe && !frameOriginKnown;
    DisplayGeometry reported;
    {
        // One reader at a time in the process: the route was made for one caller, and a
        // job's further sources leave a movie to one source once it needs this route.
        static std::mutex oneReader;
        std::lock_guard<std::mutex> guard(oneReader);
        mfFrame.reset(
            DecodeFrameWithMediaFoundation(moviePath, cancelEvent, MediaFoundationPosition(frame), &times, &reported));
    }
    mfFrame = ShowAsDisplayed(std::move(mfFrame), CombineGeometry(reported, containerGeometry));
    if (times.haveFirst) {
        frameOrigin = times.first;
        frameOriginKnown = true;
    }
    if (mfFrame && shownAt) *shownAt = seekToKeyframe ? times.sample - frameOrigin : frame;
    return mfFrame.get();
}

Gdiplus::Bitmap* DShowThumbnailMaker_CL::DecodeWithStickyMediaFoundation(int64_t frame, bool global,
                                                                        DecodeFrameResult* result,
                                                                        int64_t* shownAt) {
    const int64_t mfPosition = MediaFoundationPosition(frame);
    const wchar_t* file = moviePath.c_str();
    if (global) {
        WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) sticky-mf(global) frame=%lld mf_frame=%lld file(%s)", frame,
                 mfPosition, file);
        WriteLog(decodeListLog, L"(mf-fallback) sticky-mf(global) frame=%lld mf_frame=%lld file(%s)", frame,
                 mfPosition, file);
    } else {
        WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) sticky-mf frame=%lld mf_frame=%lld file(%s)", frame,
                 mfPosition, file);
        WriteLog(decodeListLog, L"(mf-fallback) sticky-mf frame=%lld mf_frame=%lld file(%s)", frame, mfPosition,
                 file);
    }
    if (Gdiplus::Bitmap* decoded = DecodeWithMediaFoundation(frame, shownAt)) {
        *result = Success;
        return decoded;
    }
    *result = CancelSignalled(cancelEvent) ? Cancelled : Failed;
    if (global) {
        WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) sticky-mf(global) failed frame=%lld; keep-mf return-null",
                 frame);
        WriteLog(decodeListLog, L"(mf-fallback) sticky-mf(global) failed frame=%lld; keep-mf return-null", frame);
    } else {
        WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) sticky-mf fail; keep-mf return-null frame=%lld file(%s)",
                 frame, file);
        WriteLog(decodeListLog, L"(mf-fallback) sticky-mf fail; keep-mf return-null frame=%lld file(%s)", frame,
                 file);
    }
    return nullptr;
}

Gdiplus::Bitmap* DShowThumbnailMaker_CL::SwitchToMediaFoundation(int64_t frame, DecodeFrameResult* result,
                                                                int64_t* shownAt) {
    const wchar_t* file = moviePath.c_str();
    if (*result != Cancelled) {
        const int useMf = ServiceSettings(workFolder).GetInt(L"decode_use_media_foundation_on_dshow_fail", 1);
        WriteLog(mainLog,
                 L"[LOG_LINE] (ini) decode_use_media_foundation_on_dshow_fail=%d frame=%lld ds_result=%u file(%s)",
                 useMf, frame, static_cast<unsigned>(*result), file);
        WriteLog(decodeListLog,
                 L"(ini) decode_use_media_foundation_on_dshow_fail=%d frame=%lld ds_result=%u file(%s)", useMf,
                 frame, static_cast<unsigned>(*result), file);
        if (useMf != 0 && !moviePath.empty()) {
            std::lock_guard<std::mutex> switching(MediaFoundationSwitchLock());
            if (OnMediaFoundationRoute(moviePath)) {
                // Another source of the job switched the movie while this one waited.
                ReleaseContent();
                stickyMfLocal = true;
                return DecodeWithStickyMediaFoundation(frame, true, result, shownAt);
            }
            const int64_t mfPosition = MediaFoundationPosition(frame);
            ReleaseContent();
            WriteLog(mainLog,
                     L"[LOG_LINE] (decode-route) route-switch ds->mf frame=%lld mf_frame=%lld file(%s) ds_released=1",
                     frame, mfPosition, file);
            WriteLog(decodeListLog,
                     L"(decode-route) route-switch ds->mf frame=%lld mf_frame=%lld file(%s) ds_released=1", frame,
                     mfPosition, file);
            WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) start frame=%lld mf_frame=%lld file(%s)", frame,
                     mfPosition, file);
            if (Gdiplus::Bitmap* decoded = DecodeWithMediaFoundation(frame, shownAt)) {
                *result = Success;
                stickyMfLocal = true;
                SetMediaFoundationRoute(moviePath, true);
                WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) success frame=%lld file(%s)", frame, file);
                return decoded;
            }
            WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) fail frame=%lld file(%s)", frame, file);
            if (CancelSignalled(cancelEvent)) *result = Cancelled;
        }
    }

    WriteLog(mainLog, L"[LOG_LINE] (decode-route) decodeframe-return-null frame=%lld result=%u file(%s)", frame,
             static_cast<unsigned>(*result), file);
    return nullptr;
}
