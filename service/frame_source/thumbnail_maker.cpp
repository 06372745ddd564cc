#include "service/frame_source/thumbnail_maker.h"

#include <dvdmedia.h>
#include <uuids.h>

#include <mutex>

#include "common/inifile.h"
#include "common/scoped.h"
#include "service/dshow/media_type.h"
#include "service/frame_source/cancel_signal.h"
#include "service/frame_source/media_foundation_decode.h"
#include "service/logs.h"

using Microsoft::WRL::ComPtr;

namespace {
constexpr wchar_t kSection[] = L"THUMBNAIL";
constexpr int kMinTimeoutMs = 500;
constexpr int kMaxTimeoutMs = 600000;

Inifile_CL Settings(const std::wstring& workFolder) { return Inifile_CL(workFolder + L"\\Thumbnail.ini"); }

int64_t MediaFoundationPosition(int64_t frame) { return frame > 0 ? frame : 1; }

// QueryInterface by IID: mingw-w64's control.h gives some of these interfaces no __uuidof.
template <typename T>
HRESULT QueryByIid(IUnknown* from, const IID& iid, ComPtr<T>& to) {
    if (!from) return E_POINTER;
    return from->QueryInterface(iid, reinterpret_cast<void**>(to.ReleaseAndGetAddressOf()));
}
}  // namespace

int ClampFrameTimeout(int ms) {
    if (ms < kMinTimeoutMs) return kMinTimeoutMs;
    if (ms > kMaxTimeoutMs) return kMaxTimeoutMs;
    return ms;
}

FrameTimeLimits ReadFrameTimeLimits(const std::wstring& workFolder) {
    const Inifile_CL ini = Settings(workFolder);
    return {ClampFrameTimeout(ini.GetInt(kSection, L"decode_frame_timeout_ms", 10000)),
            ClampFrameTimeout(ini.GetInt(kSection, L"decode_first_frame_timeout_ms", 30000))};
}

DShowThumbnailMaker_CL::DShowThumbnailMaker_CL(const std::wstring& workFolder, HANDLE cancelEvent)
    : workFolder(workFolder), captureCallback(DShowThumbnailMakerSampleGrabber_CL::Create()), cancelEvent(cancelEvent) {}

DShowThumbnailMaker_CL::~DShowThumbnailMaker_CL() {
    ReleaseContent();
    captureCallback->ClearFrame();
    dsFrame.reset();
    mfFrame.reset();
}

int64_t DShowThumbnailMaker_CL::GetDuration() const { return duration; }

void DShowThumbnailMaker_CL::ReleaseContent() {
    // Streaming ends and the renderer forgets the capture callback before the graph goes,
    // so that no sample can reach the callback afterwards.
    if (movieHelper.mediaControl) movieHelper.mediaControl->Stop();
    if (movieHelper.sampleGrabber) movieHelper.sampleGrabber->SetCallback(nullptr, 0);
    movieHelper.ReleaseAll();
    captureCallback->ClearConnectedType();
    if (mediaEvent) {
        mediaEvent->SetNotifyWindow(0, 0, 0);
        mediaEvent.Reset();
    }
    duration = 0;
    sourceWidth = 0;
    sourceHeight = 0;
    firstFrame = false;
    openTick = 0;
    stickyMfLocal = false;
    seekPrepared = false;
}

HRESULT DShowThumbnailMaker_CL::SetContent(const std::wstring& path) {
    moviePath = path;
    stickyMfLocal = false;
    frameOriginKnown = false;
    frameOriginAwaited = false;
    frameOrigin = 0;
    // The job has drawn the previous movie's frames by now.
    captureCallback->ClearFrame();
    dsFrame.reset();
    mfFrame.reset();
    containerGeometry = ReadDisplayGeometry(path);
    dsGeometry = containerGeometry;
    for (LogFile* log : {&mainLog, &decodeListLog})
        WriteLog(*log, L"(decode-route) container rotation=%d pixel_aspect=%u:%u file(%s)",
                 containerGeometry.rotation, containerGeometry.pixelAspectX, containerGeometry.pixelAspectY,
                 path.c_str());

    if (StickyMfFileSet.count(path) != 0) {
        ReleaseContent();
        stickyMfLocal = true;
        if (StickyMfBypassLogSet.insert(path)) {
            WriteLog(mainLog, L"[LOG_LINE] (decode-route) sticky-mf setcontent-bypass-ds file(%s)", path.c_str());
            WriteLog(decodeListLog, L"(decode-route) sticky-mf setcontent-bypass-ds file(%s)", path.c_str());
        }
        return S_OK;
    }

    ReleaseContent();
    // A new graph counts its seek generations from 0 again.
    captureCallback->AwaitGeneration(0);
    WriteLog(mainLog, L"(file)%s", path.c_str());

    if (movieHelper.Initialize(MEDIASUBTYPE_YUY2) != S_OK) {
        WriteLog(mainLog, L"SetContent初期化失敗。");
        return E_FAIL;
    }

    BString file(path.c_str());
    const HRESULT rendered = file.get() ? movieHelper.mediaControl->RenderFile(file.get()) : E_OUTOFMEMORY;
    if (rendered != S_OK) {
        movieHelper.traceText += L"(error)RenderFile()\r\n";
        movieHelper.TraceFilterNames();
        // A partial render (no sound device for the audio, say) still serves when the
        // video reached our renderer.
        const bool usable = movieHelper.HasFilterNamed(L"Video Renderer") ||
                            (SUCCEEDED(rendered) && movieHelper.IsCaptureConnected());
        if (!usable) {
            WriteLog(mainLog, L"コーデックが存在しないか、非対応ファイルです。");
            return E_FAIL;
        }
    }

    QueryByIid(movieHelper.graph.Get(), IID_IMediaSeeking, movieHelper.mediaSeeking);
    QueryByIid(movieHelper.graph.Get(), IID_IBasicAudio, movieHelper.basicAudio);
    if (FAILED(QueryByIid(movieHelper.graph.Get(), IID_IMediaEventEx, mediaEvent))) {
        WriteLog(mainLog, L"IMediaEventExの取得失敗");
        return E_FAIL;
    }

    if (movieHelper.mediaSeeking) {
        movieHelper.mediaSeeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME);
        LONGLONG length = 0;
        if (SUCCEEDED(movieHelper.mediaSeeking->GetDuration(&length))) duration = length;
    }

    if (movieHelper.sampleGrabber) {
        movieHelper.sampleGrabber->SetBufferSamples(TRUE);
        movieHelper.sampleGrabber->SetCallback(captureCallback.Get(), 0);
    }

    const HRESULT video = movieHelper.EditFilterGraphToVideo();
    const HRESULT audio = movieHelper.EditFilterGraphToAudio();
    if (video != S_OK || audio != S_OK) {
        WriteLog(mainLog, L"コーデックが存在しないか、非動画ファイルです。");
        return E_FAIL;
    }

    ComPtr<IMediaFilter> mediaFilter;
    if (SUCCEEDED(QueryByIid(movieHelper.graph.Get(), IID_IMediaFilter, mediaFilter))) mediaFilter->SetSyncSource(nullptr);
    mediaFilter.Reset();

    OwnedMediaType connected;
    if (!movieHelper.sampleGrabber || FAILED(movieHelper.sampleGrabber->GetConnectedMediaType(connected.out()))) {
        WriteLog(mainLog, L"(error)GetConnectedMediaType()");
        return E_FAIL;
    }

    int connectedWidth = 0, connectedHeight = 0;
    if (const BITMAPINFOHEADER* header = VideoBitmapHeader(connected.get())) {
        connectedWidth = header->biWidth < 0 ? -header->biWidth : header->biWidth;
        connectedHeight = header->biHeight < 0 ? -header->biHeight : header->biHeight;
    }
    DisplayGeometry reported;
    const BYTE* block = connected.get().formattype == FORMAT_VideoInfo2 ? connected.format(sizeof(VIDEOINFOHEADER2))
                                                                        : nullptr;
    if (block) {
        const auto* info = reinterpret_cast<const VIDEOINFOHEADER2*>(block);
        reported = PixelAspectFromPictureAspect(info->dwPictAspectRatioX, info->dwPictAspectRatioY, connectedWidth,
                                                connectedHeight);
    }
    dsGeometry = CombineGeometry(reported, containerGeometry);
    captureCallback->SetConnectedType(std::move(connected));
    const bool connectedValid = connectedWidth >= 1 && connectedHeight >= 1;

    long videoWidth = 0, videoHeight = 0;
    bool sourceValid = false;
    ComPtr<IBasicVideo> basicVideo;
    if (SUCCEEDED(QueryByIid(movieHelper.graph.Get(), IID_IBasicVideo, basicVideo)) &&
        SUCCEEDED(basicVideo->GetVideoSize(&videoWidth, &videoHeight)))
        sourceValid = videoWidth >= 1 && videoHeight >= 1;
    basicVideo.Reset();

    if (sourceValid) {
        sourceWidth = videoWidth;
        sourceHeight = videoHeight;
        for (LogFile* log : {&mainLog, &decodeListLog})
            WriteLog(*log, L"(decode-route) route=ds setcontent file(%s) source_size=%dx%d connected_size=%dx%d",
                     path.c_str(), sourceWidth, sourceHeight, connectedWidth, connectedHeight);
    } else if (connectedValid) {
        sourceWidth = connectedWidth;
        sourceHeight = connectedHeight;
        for (LogFile* log : {&mainLog, &decodeListLog})
            WriteLog(*log, L"(decode-route) route=ds setcontent file(%s) source_size=%dx%d", path.c_str(),
                     sourceWidth, sourceHeight);
    } else {
        for (LogFile* log : {&mainLog, &decodeListLog})
            WriteLog(*log, L"(decode-route) route=ds setcontent file(%s) source_size=unknown", path.c_str());
    }

    movieHelper.mediaControl->Run();
    movieHelper.mediaControl->Pause();

    firstFrame = true;
    openTick = GetTickCount64();
    return S_OK;
}

void DShowThumbnailMaker_CL::Seek(int64_t frame) {
    // A sample that the last pause brought may still be on its way.
    captureCallback->AwaitGeneration(movieHelper.SeekGeneration() + 1);
    ResetEvent(captureCallback->FrameEvent());
    if (!movieHelper.mediaSeeking) return;
    LONGLONG position = frame;
    const DWORD flags = AM_SEEKING_AbsolutePositioning | (seekToKeyframe ? AM_SEEKING_SeekToKeyFrame : 0);
    movieHelper.mediaSeeking->SetPositions(&position, flags, nullptr, AM_SEEKING_NoPositioning);
}

void DShowThumbnailMaker_CL::PrepareNext(int64_t frame) {
    seekPrepared = false;
    const bool directShow = movieHelper.mediaSeeking && !stickyMfLocal && !moviePath.empty() &&
                            StickyMfFileSet.count(moviePath) == 0;
    // In keyframe mode the first frame's wait learns the time origin before any seek.
    if (!directShow || firstFrame) return;
    Seek(frame);
    seekPrepared = true;
    preparedPosition = frame;
    WriteLog(mainLog, L"[LOG_LINE] (decode-route) ds-seek-ahead frame=%lld file(%s)", frame, moviePath.c_str());
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

void DShowThumbnailMaker_CL::LearnFrameOrigin(DWORD budgetMs) {
    const ULONGLONG start = GetTickCount64();
    REFERENCE_TIME origin = 0;
    bool known = movieHelper.renderer->StreamStartTime(&origin);
    if (!known) {
        // The callback still awaits generation 0: the sample that the opening pause
        // brings sets the frame event, by which time the first frame has come.
        HANDLE handles[2] = {captureCallback->FrameEvent(), cancelEvent};
        const DWORD wait = WaitForMultipleObjects(cancelEvent ? 2 : 1, handles, FALSE, budgetMs);
        // The cancel event resets itself: give it back to the frame wait that follows.
        if (wait == WAIT_OBJECT_0 + 1) SetEvent(cancelEvent);
        known = movieHelper.renderer->StreamStartTime(&origin);
    }
    frameOriginAwaited = true;
    frameOriginKnown = known;
    frameOrigin = known ? origin : 0;
    WriteLog(mainLog, L"[LOG_LINE] (decode-route) keyframe-origin known=%d time=%lld waited_ms=%u file(%s)",
             known ? 1 : 0, frameOrigin, static_cast<unsigned>(GetTickCount64() - start), moviePath.c_str());
}

bool DShowThumbnailMaker_CL::AwaitOpeningFrame(HANDLE stopEvent) {
    if (!movieHelper.mediaSeeking || !movieHelper.renderer || openTick == 0 || stickyMfLocal) return false;
    const FrameTimeLimits limits = ReadFrameTimeLimits(workFolder);
    const uint64_t elapsed = GetTickCount64() - openTick;
    const uint64_t budget = static_cast<uint64_t>(limits.firstFrameTimeoutMs);
    const DWORD waitMs = static_cast<DWORD>(elapsed >= budget ? 0 : budget - elapsed);
    const ULONGLONG start = GetTickCount64();
    REFERENCE_TIME origin = 0;
    bool came = movieHelper.renderer->StreamStartTime(&origin);
    if (!came) {
        // The callback still awaits generation 0: the sample of the opening pause sets the event.
        HANDLE handles[3] = {captureCallback->FrameEvent(), cancelEvent ? cancelEvent : stopEvent, stopEvent};
        const DWORD count = 1 + (cancelEvent ? 1 : 0) + (stopEvent ? 1 : 0);
        const DWORD wait = WaitForMultipleObjects(count, handles, FALSE, waitMs);
        if (wait == WAIT_OBJECT_0 + 1 && cancelEvent) SetEvent(cancelEvent);  // an auto-reset cancel stays seen
        came = wait == WAIT_OBJECT_0 || (wait == WAIT_TIMEOUT && movieHelper.renderer->StreamStartTime(&origin));
    }
    // What the first frame's wait would have learnt; later frames have the normal limit.
    frameOriginAwaited = true;
    frameOriginKnown = came && movieHelper.renderer->StreamStartTime(&origin);
    frameOrigin = frameOriginKnown ? origin : 0;
    firstFrame = false;
    WriteLog(mainLog, L"[LOG_LINE] (decode-route) opening-frame came=%d waited_ms=%u limit_ms=%u file(%s)",
             came ? 1 : 0, static_cast<unsigned>(GetTickCount64() - start), static_cast<unsigned>(waitMs),
             moviePath.c_str());
    return came;
}

std::unique_ptr<Gdiplus::Bitmap> DShowThumbnailMaker_CL::TakeFrame(const Gdiplus::Bitmap* returned) {
    if (returned && returned == dsFrame.get()) return std::move(dsFrame);
    if (returned && returned == mfFrame.get()) return std::move(mfFrame);
    return nullptr;
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

Gdiplus::Bitmap* DShowThumbnailMaker_CL::DecodeFrame(int64_t frame, DecodeFrameResult* result, int64_t* shownAt) {
    DecodeFrameResult ignored = Failed;
    if (!result) result = &ignored;
    // The job has drawn the frame handed out last.
    dsFrame.reset();
    mfFrame.reset();
    const bool prepared = seekPrepared && preparedPosition == frame;
    seekPrepared = false;

    const bool stickyGlobal = !moviePath.empty() && StickyMfFileSet.count(moviePath) != 0;
    if (stickyGlobal || (stickyMfLocal && !moviePath.empty())) {
        captureCallback->ClearFrame();
        return DecodeWithStickyMediaFoundation(frame, stickyGlobal, result, shownAt);
    }

    const wchar_t* file = moviePath.c_str();
    WriteLog(mainLog,
             L"[LOG_LINE] (decode-route) decodeframe-enter frame=%lld first=%d sticky_local=%d sticky_global=%d "
             L"file(%s)",
             frame, firstFrame ? 1 : 0, stickyMfLocal ? 1 : 0, stickyGlobal ? 1 : 0, file);
    if (frame == 0) WriteLog(mainLog, L"[LOG_LINE] (decode-route) warning frame_zero file(%s)", file);

    const FrameTimeLimits limits = ReadFrameTimeLimits(workFolder);
    WriteLog(mainLog, L"[LOG_LINE] (ini) decode_frame_timeout_ms=%d decode_first_frame_timeout_ms=%d file(%s)",
             limits.frameTimeoutMs, limits.firstFrameTimeoutMs, file);
    WriteLog(decodeListLog, L"(ini) decode_frame_timeout_ms=%d decode_first_frame_timeout_ms=%d file(%s)",
             limits.frameTimeoutMs, limits.firstFrameTimeoutMs, file);

    if (seekToKeyframe && !frameOriginAwaited && openTick != 0)
        LearnFrameOrigin(static_cast<DWORD>(firstFrame ? limits.firstFrameTimeoutMs : limits.frameTimeoutMs));

    DWORD waitMs = static_cast<DWORD>(limits.frameTimeoutMs);
    if (firstFrame) {
        // The first frame's budget counts from the end of SetContent.
        const uint64_t elapsed = openTick != 0 ? GetTickCount64() - openTick : 0;
        const uint64_t budget = static_cast<uint64_t>(limits.firstFrameTimeoutMs);
        waitMs = elapsed >= budget ? 0 : static_cast<DWORD>(budget - elapsed);
    }

    if (!movieHelper.mediaSeeking) {
        captureCallback->ClearFrame();
        *result = Failed;
        WriteLog(mainLog, L"[LOG_LINE] (decode-route) ds-seek-null frame=%lld file(%s)", frame, file);
        WriteLog(decodeListLog, L"(decode-route) ds-seek-null frame=%lld file(%s)", frame, file);
        return nullptr;
    }

    if (!prepared) Seek(frame);

    HANDLE handles[2] = {captureCallback->FrameEvent(), cancelEvent};
    const DWORD count = cancelEvent ? 2 : 1;
    const DWORD waitResult = WaitForMultipleObjectsEx(count, handles, FALSE, waitMs, TRUE);
    const bool wasFirst = firstFrame;
    WriteLog(mainLog, L"[LOG_LINE] (decode-route) ds-wait-end frame=%lld wait_result=%u has_bitmap=%d wait_ms=%u",
             frame, static_cast<unsigned>(waitResult), captureCallback->HasFrame() ? 1 : 0, waitMs);
    firstFrame = false;

    int64_t frameTime = 0;
    dsFrame = ShowAsDisplayed(captureCallback->TakeFrame(&frameTime), dsGeometry);
    if (dsFrame) {
        *result = Success;
        WriteLog(mainLog, L"[LOG_LINE] (decode-route) route=ds frame=%lld file(%s) source_size=%dx%d", frame, file,
                 sourceWidth, sourceHeight);
        WriteLog(decodeListLog, L"(decode-route) route=ds frame=%lld file(%s) source_size=%dx%d", frame, file,
                 sourceWidth, sourceHeight);
        if (shownAt) *shownAt = seekToKeyframe ? frameTime - frameOrigin : frame;
        return dsFrame.get();
    }

    if (waitResult == WAIT_TIMEOUT) {
        WriteLog(mainLog, L"(timeout)decode_frame wait %u ms (%s)", waitMs, wasFirst ? L"first" : L"normal");
        // Re-cue the graph: Stop returns once streaming has stopped, Pause brings it back.
        movieHelper.mediaControl->Stop();
        movieHelper.mediaControl->Pause();
        *result = Timeout;
    } else if (waitResult == WAIT_OBJECT_0 + 1 && cancelEvent) {
        *result = Cancelled;
    } else {
        *result = Failed;
    }

    if (*result != Cancelled) {
        const int useMf = Settings(workFolder).GetInt(kSection, L"decode_use_media_foundation_on_dshow_fail", 1);
        WriteLog(mainLog,
                 L"[LOG_LINE] (ini) decode_use_media_foundation_on_dshow_fail=%d frame=%lld ds_result=%u file(%s)",
                 useMf, frame, static_cast<unsigned>(*result), file);
        WriteLog(decodeListLog,
                 L"(ini) decode_use_media_foundation_on_dshow_fail=%d frame=%lld ds_result=%u file(%s)", useMf,
                 frame, static_cast<unsigned>(*result), file);
        if (useMf != 0 && !moviePath.empty()) {
            std::lock_guard<std::mutex> switching(MediaFoundationSwitchLock());
            if (StickyMfFileSet.count(moviePath) != 0) {
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
                StickyMfFileSet.insert(moviePath);
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
