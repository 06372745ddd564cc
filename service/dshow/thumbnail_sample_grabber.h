// The capture callback of the frame source: turns the sample that the capture renderer
// hands over into an upright 32-bit GDI+ bitmap, keeps it in a one-frame slot and
// signals the frame event.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <dshow.h>
#include "service/dshow/sample_grabber_interfaces.h"
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <wrl/client.h>

#include "common/scoped.h"
#include "service/dshow/media_type.h"
#include "service/dshow/sample_renderer.h"

// How a video sample holds its pixels.
enum class SamplePixels { Rgb32, Yuy2, I420 };
SamplePixels SamplePixelsOf(const GUID& subtype);

// An upright 32-bit bitmap of width x |height| from one video sample: RGB32 rows as
// they come (bottom row first when height > 0, top row first when < 0), or YUY2 rows or
// I420 planes (top row first) converted. Never reads past `bytes`; missing pixels stay
// black (a short I420 picture gives no bitmap). Null for sizes of 2^30 pixels or more, or
// when GDI cannot make the bitmap.
std::unique_ptr<Gdiplus::Bitmap> BitmapFromVideoSample(const uint8_t* data, size_t bytes, SamplePixels layout,
                                                       int width, int height);

// Made on the heap and reference counted: the capture renderer keeps it alive for as
// long as its graph exists, so a sample never reaches a callback that is gone, even
// when a job thread ended on a fault and left its graph streaming.
//
// The slot takes only samples of the seek generation the frame source awaits (see
// base_renderer.h): a sample that the last pause brought, still on its way when the
// next seek began, is never taken for that seek's frame.
class DShowThumbnailMakerSampleGrabber_CL : public ComObject<ISampleGrabberCB, IStampedSampleCB> {
public:
    static Microsoft::WRL::ComPtr<DShowThumbnailMakerSampleGrabber_CL> Create();
    DShowThumbnailMakerSampleGrabber_CL(const DShowThumbnailMakerSampleGrabber_CL&) = delete;
    DShowThumbnailMakerSampleGrabber_CL& operator=(const DShowThumbnailMakerSampleGrabber_CL&) = delete;

    // Streaming thread: a sample without a stamp counts as one of the awaited generation.
    STDMETHODIMP SampleCB(double sampleTime, IMediaSample* sample) override;
    STDMETHODIMP BufferCB(double, BYTE*, LONG) override { return S_OK; }
    // Streaming thread: fills an empty slot with a sample of the awaited generation or a
    // later one, then sets the frame event.
    STDMETHODIMP StampedSampleCB(IMediaSample* sample, const SampleStamp& stamp) override;

    HANDLE FrameEvent() const { return frameEvent.get(); }

    // The connection's media type, as read from the renderer by the frame source.
    void SetConnectedType(OwnedMediaType type);
    void ClearConnectedType();

    // The slot. The frame stays owned here until ClearFrame, AwaitGeneration or TakeFrame.
    bool HasFrame() const;
    Gdiplus::Bitmap* CurrentFrame() const;
    void ClearFrame();
    // Empties the slot; from now on only samples of this generation or later are taken.
    void AwaitGeneration(uint64_t generation);
    // Hands the frame over with its movie time (its segment's start plus its own start
    // time); nothing more is taken until the next AwaitGeneration. `stop`, when given,
    // receives its end on the same clock, or -1 when the sample had no stop time.
    std::unique_ptr<Gdiplus::Bitmap> TakeFrame(int64_t* time, int64_t* stop = nullptr);

private:
    DShowThumbnailMakerSampleGrabber_CL();
    ~DShowThumbnailMakerSampleGrabber_CL() override;
    void* Interface(REFIID riid) override;

    mutable std::mutex lock;  // guards the members below against the streaming thread
    OwnedMediaType connectedType;
    UniqueHandle frameEvent;
    std::unique_ptr<Gdiplus::Bitmap> currentFrame;
    int64_t currentFrameTime = 0;
    int64_t currentFrameStop = -1;
    uint64_t awaitedGeneration = 0;
};
