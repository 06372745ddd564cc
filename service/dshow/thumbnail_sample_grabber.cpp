#include "service/dshow/thumbnail_sample_grabber.h"

#include <uuids.h>
#include <cstdint>
#include <cstring>
#include <utility>

#include "service/dshow/yuv_converter.h"

SamplePixels SamplePixelsOf(const GUID& subtype) {
    if (subtype == MEDIASUBTYPE_RGB32) return SamplePixels::Rgb32;
    if (subtype == kSubtypeI420 || subtype == MEDIASUBTYPE_IYUV) return SamplePixels::I420;
    return SamplePixels::Yuy2;
}

std::unique_ptr<Gdiplus::Bitmap> BitmapFromVideoSample(const uint8_t* data, size_t bytes, SamplePixels layout,
                                                       int width, int height) {
    const bool isRgb32 = layout == SamplePixels::Rgb32;
    const int rows = height < 0 ? -height : height;
    if (!data || width <= 0 || rows <= 0) return nullptr;
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(rows);
    if (pixels >= (1ull << 30)) return nullptr;
    const size_t imageBytes = static_cast<size_t>(pixels) * 4;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    // RGB32 keeps the sample's row order (bottom-up for a positive height); YUY2 and
    // I420 rows come top row first.
    info.bmiHeader.biHeight = isRgb32 ? (height > 0 ? rows : -rows) : -rows;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    info.bmiHeader.biSizeImage = static_cast<DWORD>(imageBytes);

    WindowDC screen(nullptr);
    void* bits = nullptr;
    GdiObject<HBITMAP> dib(CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dib || !bits) return nullptr;
    auto* out = static_cast<uint8_t*>(bits);
    if (isRgb32) {
        std::memset(out, 0, imageBytes);
        std::memcpy(out, data, bytes < imageBytes ? bytes : imageBytes);
    } else if (layout == SamplePixels::I420 ? !ConvertI420ToBgrx(data, bytes, width, rows, out)
                                            : !ConvertYuy2ToBgrx(data, bytes, 0, width, rows, out)) {
        return nullptr;
    }
    GdiFlush();
    std::unique_ptr<Gdiplus::Bitmap> bitmap(Gdiplus::Bitmap::FromHBITMAP(dib.get(), nullptr));
    if (!bitmap || bitmap->GetLastStatus() != Gdiplus::Ok) return nullptr;
    return bitmap;
}

Microsoft::WRL::ComPtr<DShowThumbnailMakerSampleGrabber_CL> DShowThumbnailMakerSampleGrabber_CL::Create() {
    return AdoptComRef(new DShowThumbnailMakerSampleGrabber_CL());
}

DShowThumbnailMakerSampleGrabber_CL::DShowThumbnailMakerSampleGrabber_CL()
    : frameEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

DShowThumbnailMakerSampleGrabber_CL::~DShowThumbnailMakerSampleGrabber_CL() = default;

void* DShowThumbnailMakerSampleGrabber_CL::Interface(REFIID riid) {
    if (riid == IID_ISampleGrabberCB) return static_cast<ISampleGrabberCB*>(this);
    if (riid == IID_IStampedSampleCB) return static_cast<IStampedSampleCB*>(this);
    return nullptr;
}

STDMETHODIMP DShowThumbnailMakerSampleGrabber_CL::SampleCB(double, IMediaSample* sample) {
    SampleStamp stamp;
    {
        std::lock_guard<std::mutex> guard(lock);
        stamp.generation = awaitedGeneration;
    }
    return StampedSampleCB(sample, stamp);
}

STDMETHODIMP DShowThumbnailMakerSampleGrabber_CL::StampedSampleCB(IMediaSample* sample, const SampleStamp& stamp) {
    if (!sample) return S_OK;
    const long length = sample->GetActualDataLength();
    BYTE* data = nullptr;
    if (length <= 0 || FAILED(sample->GetPointer(&data)) || !data) return S_OK;

    SamplePixels pixels = SamplePixels::Yuy2;
    int width = 0, height = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        // A held frame is never replaced; a sample from before the awaited seek is not its frame.
        if (currentFrame || stamp.generation < awaitedGeneration) return S_OK;
        const BITMAPINFOHEADER* header = VideoBitmapHeader(connectedType.get());
        if (!header) return S_OK;
        pixels = SamplePixelsOf(connectedType.get().subtype);
        width = header->biWidth;
        height = header->biHeight;
    }
    if (pixels != SamplePixels::Rgb32) height = height < 0 ? -height : height;
    std::unique_ptr<Gdiplus::Bitmap> frame =
        BitmapFromVideoSample(data, static_cast<size_t>(length), pixels, width, height);
    REFERENCE_TIME start = 0, stop = 0;
    const HRESULT timed = sample->GetTime(&start, &stop);
    if (FAILED(timed)) start = 0;

    std::lock_guard<std::mutex> guard(lock);
    // Looked at again: the frame source may have begun another seek meanwhile. The
    // event is set under the lock, so that it cannot outlive the emptying of the slot.
    if (currentFrame || stamp.generation < awaitedGeneration) return S_OK;
    currentFrame = std::move(frame);
    currentFrameTime = stamp.segmentStart + start;
    currentFrameStop = timed == S_OK ? stamp.segmentStart + stop : -1;
    // Also without a bitmap: the frame source then reports a failed frame at once.
    SetEvent(frameEvent.get());
    return S_OK;
}

void DShowThumbnailMakerSampleGrabber_CL::SetConnectedType(OwnedMediaType type) {
    std::lock_guard<std::mutex> guard(lock);
    connectedType = std::move(type);
}

void DShowThumbnailMakerSampleGrabber_CL::ClearConnectedType() {
    std::lock_guard<std::mutex> guard(lock);
    connectedType.reset();
}

bool DShowThumbnailMakerSampleGrabber_CL::HasFrame() const {
    std::lock_guard<std::mutex> guard(lock);
    return currentFrame != nullptr;
}

Gdiplus::Bitmap* DShowThumbnailMakerSampleGrabber_CL::CurrentFrame() const {
    std::lock_guard<std::mutex> guard(lock);
    return currentFrame.get();
}

std::unique_ptr<Gdiplus::Bitmap> DShowThumbnailMakerSampleGrabber_CL::TakeFrame(int64_t* time, int64_t* stop) {
    std::lock_guard<std::mutex> guard(lock);
    if (time) *time = currentFrameTime;
    if (stop) *stop = currentFrameStop;
    awaitedGeneration = UINT64_MAX;
    return std::move(currentFrame);
}

void DShowThumbnailMakerSampleGrabber_CL::ClearFrame() {
    std::unique_ptr<Gdiplus::Bitmap> old;
    {
        std::lock_guard<std::mutex> guard(lock);
        old = std::move(currentFrame);
    }
}

void DShowThumbnailMakerSampleGrabber_CL::AwaitGeneration(uint64_t generation) {
    std::unique_ptr<Gdiplus::Bitmap> old;
    {
        std::lock_guard<std::mutex> guard(lock);
        old = std::move(currentFrame);
        awaitedGeneration = generation;
    }
}
