// The service's frame source: opens a movie and hands out single frames as GDI+
// bitmaps, through a paused DirectShow graph that ends in our capture renderer, and
// through Media Foundation when DirectShow fails a frame (then for good, "sticky-mf").
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <dshow.h>
#include <wrl/client.h>
#include <cstdint>
#include <memory>
#include <string>

#include "service/dshow/movie_helper.h"
#include "service/dshow/thumbnail_sample_grabber.h"
#include "service/frame_source/displayed_frame.h"
#include "service/frame_source/keyframe_index.h"
#include "service/frame_source/sticky_mf.h"

enum DecodeFrameResult : uint32_t { Success = 0, Timeout = 1, Cancelled = 2, Failed = 3 };

// Frame wait limits from "Thumbnail.ini" (section "THUMBNAIL") in the work folder,
// each clamped to 500..600000 ms.
struct FrameTimeLimits {
    int frameTimeoutMs;       // "decode_frame_timeout_ms", default 10000
    int firstFrameTimeoutMs;  // "decode_first_frame_timeout_ms", default 30000
};
int ClampFrameTimeout(int ms);
FrameTimeLimits ReadFrameTimeLimits(const std::wstring& workFolder);

class DShowThumbnailMaker_CL {
public:
    DShowThumbnailMaker_CL(const std::wstring& workFolder, HANDLE cancelEvent);
    virtual ~DShowThumbnailMaker_CL();
    DShowThumbnailMaker_CL(const DShowThumbnailMaker_CL&) = delete;
    DShowThumbnailMaker_CL& operator=(const DShowThumbnailMaker_CL&) = delete;

    HRESULT SetContent(const std::wstring& moviePath);  // 0 or E_FAIL
    int64_t GetDuration() const;
    // Keyframe mode: each frame is the keyframe at or before its position, the first
    // frame that arrives after a seek to it. Off (exact frames) until set.
    void SetSeekToKeyframe(bool on) { seekToKeyframe = on; }
    // Frames come out as players show them: turned and stretched as the movie says.
    // `frame` is a media time in 100 ns units. The returned bitmap stays owned by the
    // frame source and valid until the next DecodeFrame, SetContent or destruction.
    // `shownAt`, when given, receives the movie time of the frame returned: `frame`
    // itself, or in keyframe mode the frame's own time stamp, counted from the movie's
    // first frame.
    Gdiplus::Bitmap* DecodeFrame(int64_t frame, DecodeFrameResult* result, int64_t* shownAt = nullptr);
    // Starts the DirectShow seek for the frame that the next DecodeFrame asks for, so
    // that it decodes while the caller draws and saves the frame it holds (which stays
    // valid). Does nothing on the Media Foundation route.
    void PrepareNext(int64_t frame);
    // The frame that PrepareNext sought has come: the next DecodeFrame for it returns at once.
    bool PreparedFrameReady() const { return seekPrepared && captureCallback->HasFrame(); }
    void ReleaseContent();

    // For a further source of a movie that another source has opened already: waits, within
    // the first-frame limit, for the frame that opening the graph brings, so that the
    // source is known to decode before it is handed a position; the first-frame limit is
    // then spent. False when none came (or a cancel did, or the movie takes the Media
    // Foundation route, or `stopEvent` was set).
    bool AwaitOpeningFrame(HANDLE stopEvent = nullptr);
    // The frame that the last DecodeFrame returned, handed over to the caller (null when
    // that frame was not this source's own).
    std::unique_ptr<Gdiplus::Bitmap> TakeFrame(const Gdiplus::Bitmap* returned);
    // False once a failed switch to Media Foundation has let the graph go: every later
    // frame of this source fails at once.
    bool CanDecode() const { return movieHelper.mediaSeeking != nullptr || stickyMfLocal; }
    // Where the movie's keyframes lie, as SetContent read them (unknown on the Media
    // Foundation route and for containers without an index).
    const KeyframeIndex& Keyframes() const { return keyframes; }
    // The picture size found by SetContent; 0 x 0 when unknown.
    int32_t SourceWidth() const { return sourceWidth; }
    int32_t SourceHeight() const { return sourceHeight; }

private:
    // Opening through DirectShow: the graph with our capture renderer, then the size of
    // the picture that reaches it. E_FAIL when the movie cannot be shown that way.
    HRESULT BuildGraph(const std::wstring& path);
    HRESULT MeasurePicture(const std::wstring& path);
    // Seeks the paused graph to the frame, or decodes on to it: from the frame the graph
    // holds when no keyframe lies between them, or from a seek near the keyframe before it.
    // Only a sample taken after this is its frame.
    void Seek(int64_t frame);
    // Decodes on to the frame instead of seeking, when that costs less and brings the same frame.
    bool DecodeOn(int64_t frame);
    // One frame from the graph; null with the reason in `result`.
    Gdiplus::Bitmap* DecodeWithDirectShow(int64_t frame, bool prepared, DecodeFrameResult* result,
                                          int64_t* shownAt);

    // The Media Foundation route (media_foundation_route.cpp). SetContent of a movie on
    // it: no graph is built.
    void KeepOnMediaFoundation();
    // After DirectShow failed a frame: the frame from Media Foundation when the settings
    // allow, and the movie stays there once that worked.
    Gdiplus::Bitmap* SwitchToMediaFoundation(int64_t frame, DecodeFrameResult* result, int64_t* shownAt);
    Gdiplus::Bitmap* DecodeWithStickyMediaFoundation(int64_t frame, bool global, DecodeFrameResult* result,
                                                     int64_t* shownAt);
    // One frame through Media Foundation; keeps the frame in mfFrame.
    Gdiplus::Bitmap* DecodeWithMediaFoundation(int64_t frame, int64_t* shownAt);
    // Keyframe times, and the clock exact frames are decoded on by, count from the movie's
    // first frame. Waits, within the budget, for the first frame that opening the movie
    // brought, and takes its time stamp.
    void LearnFrameOrigin(DWORD budgetMs);

    std::wstring workFolder;
    std::wstring moviePath;
    DShowMovieHelper_CL movieHelper;
    Microsoft::WRL::ComPtr<IMediaEventEx> mediaEvent;
    int64_t duration = 0;
    int32_t sourceWidth = 0;
    int32_t sourceHeight = 0;
    DisplayGeometry containerGeometry;  // what the movie's headers say, for either route
    DisplayGeometry dsGeometry;         // that, with what the DirectShow type reports
    Microsoft::WRL::ComPtr<DShowThumbnailMakerSampleGrabber_CL> captureCallback;
    HANDLE cancelEvent;
    bool firstFrame = false;
    uint64_t openTick = 0;
    bool stickyMfLocal = false;
    bool seekToKeyframe = false;
    // Time stamp of the movie's first frame: Wine's demuxers stamp frames on the stream's
    // own clock, which an MP4 edit list (B-frames) or a program stream's clock moves by
    // 80 ms or 0.54 s. Frame times are told from it.
    bool frameOriginKnown = false;
    bool frameOriginAwaited = false;  // DirectShow waited for it once (it may not have come)
    int64_t frameOrigin = 0;
    KeyframeIndex keyframes;
    // The frame the paused graph holds, as handed out last, while nothing has moved the graph
    // since: its start and stop on the stream's clock.
    bool heldKnown = false;
    int64_t heldStart = 0;
    int64_t heldStop = 0;
    bool lastMoveDecodedOn = false;  // the last Seek decoded on instead of seeking
    int64_t keyframeSeekPosition = -1;  // and where it sought first, or -1
    bool decodeOnFits = true;        // every seek so far brought the frame decoding on would
    bool seekPrepared = false;  // PrepareNext sought preparedPosition
    int64_t preparedPosition = 0;
    std::unique_ptr<Gdiplus::Bitmap> dsFrame;  // the last DirectShow frame handed out
    std::unique_ptr<Gdiplus::Bitmap> mfFrame;  // the last Media Foundation frame handed out
};
