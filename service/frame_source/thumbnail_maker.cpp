#include "service/frame_source/thumbnail_maker.h"

#include "service/logs.h"
#include "service/settings.h"

namespace {
constexpr int kMinTimeoutMs = 500;
constexpr int kMaxTimeoutMs = 600000;
constexpr int64_t kPastKeyframe = 2000000;  // 0.2 s in 100 ns units
}  // namespace

int ClampFrameTimeout(int ms) {
    if (ms < kMinTimeoutMs) return kMinTimeoutMs;
    if (ms > kMaxTimeoutMs) return kMaxTimeoutMs;
    return ms;
}

FrameTimeLimits ReadFrameTimeLimits(const std::wstring& workFolder) {
    const ServiceSettings settings(workFolder);
    return {ClampFrameTimeout(settings.GetInt(L"decode_frame_timeout_ms", 10000)),
            ClampFrameTimeout(settings.GetInt(L"decode_first_frame_timeout_ms", 30000))};
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
    heldKnown = false;
    decodeOnFits = true;
    keyframes = KeyframeIndex();
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

    if (OnMediaFoundationRoute(path)) {
        KeepOnMediaFoundation();
        return S_OK;
    }

    ReleaseContent();
    // A new graph counts its seek generations from 0 again.
    captureCallback->AwaitGeneration(0);
    WriteLog(mainLog, L"(file)%s", path.c_str());

    if (BuildGraph(path) != S_OK || MeasurePicture(path) != S_OK) return E_FAIL;
    keyframes = ReadKeyframeIndex(path);
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
    lastMoveDecodedOn = DecodeOn(frame);
    keyframeSeekPosition = -1;
    heldKnown = false;  // the graph moves on
    if (lastMoveDecodedOn || !movieHelper.mediaSeeking) return;
    // Far from the keyframe before it, an exact frame is reached by seeking near that
    // keyframe and decoding on from there. The seek goes a little past the keyframe's time
    // in the index (a decode time, which may lie a frame or two before the keyframe is shown),
    // so that it never lands in the interval before.
    LONGLONG position = frame;
    REFERENCE_TIME origin = 0;
    const int64_t keyframe = keyframes.KeyframeAtOrBefore(frame);
    const bool viaKeyframe = !seekToKeyframe && decodeOnFits && keyframe >= 0 &&
                             frame - keyframe >= 2 * kPastKeyframe && movieHelper.renderer->StreamStartTime(&origin);
    if (movieHelper.renderer) movieHelper.renderer->DecodeOnAfterNextSegment(viaKeyframe, frame + origin);
    if (viaKeyframe) {
        position = keyframe + kPastKeyframe;
        lastMoveDecodedOn = true;
        keyframeSeekPosition = position;
        WriteLog(mainLog, L"[LOG_LINE] (decode-route) ds-decode-on from=%lld frame=%lld file(%s)",
                 static_cast<long long>(position), frame, moviePath.c_str());
    }
    const DWORD flags = AM_SEEKING_AbsolutePositioning | (seekToKeyframe ? AM_SEEKING_SeekToKeyFrame : 0);
    movieHelper.mediaSeeking->SetPositions(&position, flags, nullptr, AM_SEEKING_NoPositioning);
}

bool DShowThumbnailMaker_CL::DecodeOn(int64_t frame) {
    // Exact frames only: a keyframe seek lands on a keyframe, which decoding on never reaches.
    REFERENCE_TIME origin = 0;
    if (!heldKnown || seekToKeyframe || !decodeOnFits || !movieHelper.renderer ||
        !movieHelper.renderer->StreamStartTime(&origin))
        return false;
    // Frames are stamped on the stream's clock: a seek to `frame` brings the frame that
    // covers frame + origin there (checked on every seek, see DecodeWithDirectShow).
    const int64_t target = frame + origin;
    if (target < heldStop || keyframes.KeyframeBetween(heldStart - origin, frame) ||
        !movieHelper.renderer->DecodeOnTo(heldStart, target))
        return false;
    WriteLog(mainLog, L"[LOG_LINE] (decode-route) ds-decode-on from=%lld frame=%lld file(%s)", heldStart - origin,
             frame, moviePath.c_str());
    return true;
}

void DShowThumbnailMaker_CL::PrepareNext(int64_t frame) {
    seekPrepared = false;
    const bool directShow = movieHelper.mediaSeeking && !stickyMfLocal && !moviePath.empty() &&
                            !OnMediaFoundationRoute(moviePath);
    // In keyframe mode the first frame's wait learns the time origin before any seek.
    if (!directShow || firstFrame) return;
    Seek(frame);
    seekPrepared = true;
    preparedPosition = frame;
    WriteLog(mainLog, L"[LOG_LINE] (decode-route) ds-seek-ahead frame=%lld file(%s)", frame, moviePath.c_str());
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

Gdiplus::Bitmap* DShowThumbnailMaker_CL::DecodeFrame(int64_t frame, DecodeFrameResult* result, int64_t* shownAt) {
    DecodeFrameResult ignored = Failed;
    if (!result) result = &ignored;
    // The job has drawn the frame handed out last.
    dsFrame.reset();
    mfFrame.reset();
    const bool prepared = seekPrepared && preparedPosition == frame;
    seekPrepared = false;

    const bool stickyGlobal = !moviePath.empty() && OnMediaFoundationRoute(moviePath);
    if (stickyGlobal || (stickyMfLocal && !moviePath.empty())) {
        captureCallback->ClearFrame();
        return DecodeWithStickyMediaFoundation(frame, stickyGlobal, result, shownAt);
    }
    Gdiplus::Bitmap* decoded = DecodeWithDirectShow(frame, prepared, result, shownAt);
    // Without a graph to seek there is nothing to switch from.
    if (decoded || !movieHelper.mediaSeeking) return decoded;
    return SwitchToMediaFoundation(frame, result, shownAt);
}

Gdiplus::Bitmap* DShowThumbnailMaker_CL::DecodeWithDirectShow(int64_t frame, bool prepared, DecodeFrameResult* result,
                                                             int64_t* shownAt) {
    const wchar_t* file = moviePath.c_str();
    // Reached only while the movie is not on the Media Foundation route.
    WriteLog(mainLog,
             L"[LOG_LINE] (decode-route) decodeframe-enter frame=%lld first=%d sticky_local=%d sticky_global=0 "
             L"file(%s)",
             frame, firstFrame ? 1 : 0, stickyMfLocal ? 1 : 0, file);
    if (frame == 0) WriteLog(mainLog, L"[LOG_LINE] (decode-route) warning frame_zero file(%s)", file);

    const FrameTimeLimits limits = ReadFrameTimeLimits(workFolder);
    WriteLog(mainLog, L"[LOG_LINE] (ini) decode_frame_timeout_ms=%d decode_first_frame_timeout_ms=%d file(%s)",
             limits.frameTimeoutMs, limits.firstFrameTimeoutMs, file);
    WriteLog(decodeListLog, L"(ini) decode_frame_timeout_ms=%d decode_first_frame_timeout_ms=%d file(%s)",
             limits.frameTimeoutMs, limits.firstFrameTimeoutMs, file);

    // Exact frames are decoded on to by the stream's clock, where the movie's index allows it.
    if ((seekToKeyframe || keyframes.Known()) && !frameOriginAwaited && openTick != 0)
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
    const bool wasFirst = firstFrame;
    const ULONGLONG waitStart = GetTickCount64();
    DWORD waitResult = WAIT_FAILED;
    int64_t frameTime = 0, frameStop = -1;
    REFERENCE_TIME origin = 0;
    const bool originKnown = movieHelper.renderer->StreamStartTime(&origin);
    for (bool retried = false;; retried = true) {
        const ULONGLONG spent = GetTickCount64() - waitStart;
        waitResult = WaitForMultipleObjectsEx(count, handles, FALSE, spent >= waitMs ? 0 : waitMs - static_cast<DWORD>(spent),
                                              TRUE);
        WriteLog(mainLog, L"[LOG_LINE] (decode-route) ds-wait-end frame=%lld wait_result=%u has_bitmap=%d wait_ms=%u",
                 frame, static_cast<unsigned>(waitResult), captureCallback->HasFrame() ? 1 : 0, waitMs);
        dsFrame = ShowAsDisplayed(captureCallback->TakeFrame(&frameTime, &frameStop), dsGeometry);
        bool covers = originKnown && frameTime <= frame + origin && frame + origin < frameStop;
        REFERENCE_TIME soughtStart = 0, soughtStop = 0;
        if (covers && lastMoveDecodedOn && keyframeSeekPosition >= 0)  // and the seek's own frame covered its position
            covers = movieHelper.renderer->SegmentFirstSample(&soughtStart, &soughtStop) &&
                     soughtStart <= keyframeSeekPosition + origin && keyframeSeekPosition + origin < soughtStop;
        if (!dsFrame || covers || !originKnown || retried || (!lastMoveDecodedOn && !decodeOnFits) || seekToKeyframe ||
            !keyframes.Known())
            break;
        // The frame that a seek brings is not the one decoding on brought (the decoder let a
        // frame longer than the others go as late, or the stream's clock is not the movie's
        // plus the first frame's time): this movie's frames are sought from now on.
        decodeOnFits = false;
        WriteLog(mainLog, L"[LOG_LINE] (decode-route) ds-decode-on off frame=%lld shown=%lld..%lld origin=%lld file(%s)",
                 frame, frameTime, frameStop, origin, file);
        if (!lastMoveDecodedOn) break;  // a seek's own frame is its answer
        dsFrame.reset();
        heldKnown = false;
        Seek(frame);
    }
    firstFrame = false;
    // The graph holds this frame's sample until it is moved: a later frame may be decoded on to.
    heldKnown = dsFrame && waitResult == WAIT_OBJECT_0 && frameStop > frameTime;
    heldStart = frameTime;
    heldStop = frameStop;
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

    return nullptr;
}
