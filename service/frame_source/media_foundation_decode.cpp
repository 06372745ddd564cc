#include "service/frame_source/media_foundation_decode.h"

#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "service/dshow/yuv_converter.h"
#include "service/frame_source/cancel_signal.h"
#include "service/frame_source/media_foundation_owners.h"
#include "service/logs.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kDecoderRevision[] = L"mfdec-rgbfix-20260427-2305";
constexpr int kMaxReads = 30;
constexpr int kLongestSideKept = 1280;
const DWORD kFirstVideoStream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM);

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

// What the reader delivers on the first video stream: picture size, pixel layout and
// the row distance of a contiguous picture (MF_MT_DEFAULT_STRIDE, 0 when not given).
struct OutputType {
    UINT32 width = 0;
    UINT32 height = 0;
    MfPixelLayout layout = MfPixelLayout::Unknown;
    LONG defaultStride = 0;
};

// One failed set-up step: the same pair of lines for every step.
void LogStepFailure(const wchar_t* step, HRESULT hr, int64_t mfFrame, const std::wstring& path) {
    WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) %s failed hr=0x%08X", step, Hex(hr));
    WriteLog(decodeListLog, L"(mf-fallback) %s failed hr=0x%08X frame=%lld file(%s)", step, Hex(hr),
             mfFrame, path.c_str());
}

// Asks for RGB32. Wine's reader has no RGB32 converter (0xC00D5212), so YUY2, which
// is converted here, is the second choice; the buffer test later decides either way.
void RequestOutputType(IMFSourceReader* reader) {
    ComPtr<IMFMediaType> requested;
    if (FAILED(MFCreateMediaType(&requested))) return;
    requested->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    requested->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32);
    const HRESULT rgb = reader->SetCurrentMediaType(kFirstVideoStream, nullptr, requested.Get());
    if (SUCCEEDED(rgb)) return;
    requested->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_YUY2);
    const HRESULT yuy2 = reader->SetCurrentMediaType(kFirstVideoStream, nullptr, requested.Get());
    WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) RGB32 refused hr=0x%08X; YUY2 hr=0x%08X", Hex(rgb),
             Hex(yuy2));
}

// Reads the current output type. On failure returns false with the failing step's
// name and result (0 when the call worked but gave a zero size).
bool ReadOutputType(IMFSourceReader* reader, OutputType& out, const wchar_t*& failedStep, HRESULT& hr) {
    out = OutputType();
    ComPtr<IMFMediaType> current;
    hr = reader->GetCurrentMediaType(kFirstVideoStream, &current);
    if (FAILED(hr)) {
        failedStep = L"GetCurrentMediaType";
        return false;
    }
    hr = MFGetAttributeSize(current.Get(), MF_MT_FRAME_SIZE, &out.width, &out.height);
    if (FAILED(hr) || out.width == 0 || out.height == 0) {
        failedStep = L"MFGetAttributeSize";
        if (SUCCEEDED(hr)) hr = S_OK;
        return false;
    }
    GUID subtype = GUID_NULL;
    current->GetGUID(MF_MT_SUBTYPE, &subtype);
    if (subtype == MFVideoFormat_RGB32 || subtype == MFVideoFormat_ARGB32)
        out.layout = MfPixelLayout::Bgrx;
    else if (subtype == MFVideoFormat_YUY2)
        out.layout = MfPixelLayout::Yuy2;
    UINT32 stride = 0;
    if (SUCCEEDED(current->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride)))
        out.defaultStride = static_cast<LONG>(static_cast<INT32>(stride));
    return true;
}

// MF_MT_VIDEO_ROTATION, which the headers declare from Windows 8 on only; older systems
// simply do not report it.
constexpr GUID kVideoRotation = {0xc380465d, 0x2271, 0x428c, {0x9b, 0x83, 0xec, 0xea, 0x3b, 0x4a, 0x85, 0xc1}};

// The turn and pixel aspect that the stream's native type reports, if any. The turn
// is how far the content was turned counter-clockwise: the clockwise turn that shows it.
DisplayGeometry ReportedGeometry(IMFSourceReader* reader, const std::wstring& path) {
    ComPtr<IMFMediaType> native;
    if (FAILED(reader->GetNativeMediaType(kFirstVideoStream, 0, &native))) return DisplayGeometry();
    UINT32 rotation = 0, x = 1, y = 1;
    native->GetUINT32(kVideoRotation, &rotation);
    MFGetAttributeRatio(native.Get(), MF_MT_PIXEL_ASPECT_RATIO, &x, &y);
    WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) reported rotation=%u pixel_aspect=%u:%u file(%s)", rotation, x, y,
             path.c_str());
    return CheckedGeometry(static_cast<int>(rotation % 360), x, y);
}

// The clone, or a high-quality scaled copy of it when its longer side exceeds the limit.
std::unique_ptr<Gdiplus::Bitmap> LimitSize(std::unique_ptr<Gdiplus::Bitmap> clone, int64_t mfFrame,
                                           const std::wstring& path) {
    const int w = static_cast<int>(clone->GetWidth());
    const int h = static_cast<int>(clone->GetHeight());
    const ScaledFrameSize size = MediaFoundationFrameSize(w, h);
    if (size.width == w && size.height == h) return clone;
    auto scaled = std::make_unique<Gdiplus::Bitmap>(size.width, size.height, PixelFormat32bppARGB);
    if (scaled->GetLastStatus() != Gdiplus::Ok) return nullptr;
    {
        Gdiplus::Graphics graphics(scaled.get());
        if (graphics.GetLastStatus() != Gdiplus::Ok) return nullptr;
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        if (graphics.DrawImage(clone.get(), Gdiplus::Rect(0, 0, size.width, size.height), 0, 0, w, h,
                               Gdiplus::UnitPixel) != Gdiplus::Ok)
            return nullptr;
    }
    WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) scale-down %dx%d -> %dx%d", w, h, size.width,
             size.height);
    WriteLog(decodeListLog, L"(mf-fallback) scale-down %dx%d -> %dx%d frame=%lld file(%s)", w, h,
             size.width, size.height, mfFrame, path.c_str());
    return scaled;
}

// A locked picture: the accessible bytes, and where its top row starts and how far
// apart its rows are (negative for a bottom-up picture).
struct PictureMemory {
    const BYTE* start = nullptr;
    size_t length = 0;
    const BYTE* top = nullptr;
    LONG pitch = 0;
};

// The picture held by one locked buffer, or null when the buffer does not hold a
// whole picture of the expected size and layout (the sample is then skipped).
std::unique_ptr<Gdiplus::Bitmap> PictureFromMemory(const PictureMemory& m, const OutputType& type,
                                                   int iter, int64_t mfFrame, const std::wstring& path) {
    const unsigned long long need = static_cast<unsigned long long>(type.width) * type.height * 4;
    if (need > 0xFFFFFFFFull || type.width > INT_MAX / 4) return nullptr;
    const size_t rowBytes = MfPictureRowBytes(type.layout, type.width);
    if (rowBytes == 0 || !MfPictureFits(m.start, m.length, m.top, m.pitch, rowBytes, type.height))
        return nullptr;

    WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) Clone begin iter=%d current=%u need=%llu", iter,
             static_cast<unsigned>(m.length), static_cast<unsigned long long>(rowBytes) * type.height);
    const int w = static_cast<int>(type.width);
    const int h = static_cast<int>(type.height);
    std::unique_ptr<Gdiplus::Bitmap> clone;
    std::vector<uint8_t> pixels;
    if (CopyMfPictureToBgrx(m.start, m.length, m.top, m.pitch, type.layout, type.width, type.height, pixels)) {
        Gdiplus::Bitmap wrapped(w, h, w * 4, PixelFormat32bppRGB, pixels.data());
        if (wrapped.GetLastStatus() == Gdiplus::Ok) {
            clone.reset(wrapped.Clone(0, 0, w, h, PixelFormat32bppRGB));
            if (clone && clone->GetLastStatus() != Gdiplus::Ok) clone.reset();
        }
    }
    WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) Clone end iter=%d success=%d", iter, clone ? 1 : 0);
    if (!clone) return nullptr;
    return LimitSize(std::move(clone), mfFrame, path);
}

// Locks the sample's contiguous buffer (with its real pitch when it is a 2-D buffer)
// and makes the picture. Sets `failed` when the loop must give up.
std::unique_ptr<Gdiplus::Bitmap> PictureFromSample(IMFSample* sample, const OutputType& type, int iter,
                                                   int64_t mfFrame, const std::wstring& path,
                                                   bool& failed) {
    const wchar_t* file = path.c_str();
    WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) ConvertToContiguousBuffer begin iter=%d", iter);
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = sample->ConvertToContiguousBuffer(&buffer);
    if (FAILED(hr) || !buffer) {
        WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) ConvertToContiguousBuffer failed hr=0x%08X", Hex(hr));
        WriteLog(decodeListLog,
                 L"(mf-fallback) ConvertToContiguousBuffer failed hr=0x%08X iter=%d frame=%lld file(%s)",
                 Hex(hr), iter, mfFrame, file);
        failed = true;
        return nullptr;
    }

    WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) MediaBuffer Lock begin iter=%d", iter);
    PictureMemory memory;
    std::optional<Locked2DBuffer> locked2d;
    std::optional<LockedMediaBuffer> locked;
    ComPtr<IMF2DBuffer2> buffer2d;
    if (SUCCEEDED(buffer.As(&buffer2d))) {
        locked2d.emplace(buffer2d.Get());
        hr = locked2d->result();
        memory = {locked2d->start(), locked2d->length(), locked2d->scanline0(), locked2d->pitch()};
    } else {
        // A plain buffer holds the picture with the type's default stride, or packed.
        locked.emplace(buffer.Get());
        hr = locked->result();
        const LONG packed = static_cast<LONG>(MfPictureRowBytes(type.layout, type.width));
        const LONG stride = type.defaultStride != 0 ? type.defaultStride : packed;
        const BYTE* data = locked->data();
        const BYTE* top = data;
        if (data && stride < 0 && type.height > 0) {
            // Bottom-up: the top row is the last one in memory; stay inside the buffer.
            const unsigned long long offset = static_cast<unsigned long long>(-static_cast<long long>(stride)) *
                                              (type.height - 1);
            top = offset <= locked->currentLength() ? data + offset : nullptr;
        }
        memory = {data, locked->currentLength(), top, stride};
    }
    if (FAILED(hr) || !memory.start) {
        WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) MediaBuffer Lock failed hr=0x%08X", Hex(hr));
        WriteLog(decodeListLog, L"(mf-fallback) MediaBuffer Lock failed hr=0x%08X iter=%d frame=%lld file(%s)",
                 Hex(hr), iter, mfFrame, file);
        failed = true;
        return nullptr;
    }
    return PictureFromMemory(memory, type, iter, mfFrame, path);
}

// The time stamp of the first sample the reader delivers from where it stands.
bool ReadFirstSampleTime(IMFSourceReader* reader, int64_t& time) {
    for (int iter = 0; iter < kMaxReads; ++iter) {
        DWORD streamIndex = 0, flags = 0;
        LONGLONG timestamp = 0;
        ComPtr<IMFSample> sample;
        if (FAILED(reader->ReadSample(kFirstVideoStream, 0, &streamIndex, &flags, &timestamp, &sample)) ||
            (flags & MF_SOURCE_READERF_ENDOFSTREAM))
            return false;
        if (sample) {
            time = timestamp;
            return true;
        }
    }
    return false;
}

// Opens a reader, seeks and reads until one usable picture; Media Foundation is started.
std::unique_ptr<Gdiplus::Bitmap> ReadFrame(const std::wstring& path, HANDLE cancelEvent, int64_t mfFrame,
                                           MfFrameTimes& times, DisplayGeometry& reported) {
    const wchar_t* file = path.c_str();
    ComPtr<IMFAttributes> attributes;
    HRESULT hr = MFCreateAttributes(&attributes, 2);
    if (FAILED(hr)) {
        LogStepFailure(L"MFCreateAttributes", hr, mfFrame, path);
        return nullptr;
    }
    attributes->SetUINT32(MF_READWRITE_DISABLE_CONVERTERS, FALSE);
    attributes->SetUINT32(MF_SOURCE_READER_ENABLE_VIDEO_PROCESSING, TRUE);

    ComPtr<IMFSourceReader> reader;
    hr = MFCreateSourceReaderFromURL(file, attributes.Get(), &reader);
    if (FAILED(hr)) {
        LogStepFailure(L"MFCreateSourceReaderFromURL", hr, mfFrame, path);
        return nullptr;
    }
    reader->SetStreamSelection(static_cast<DWORD>(MF_SOURCE_READER_ALL_STREAMS), FALSE);
    hr = reader->SetStreamSelection(kFirstVideoStream, TRUE);
    if (FAILED(hr)) {
        LogStepFailure(L"SetStreamSelection(video)", hr, mfFrame, path);
        return nullptr;
    }
    reported = ReportedGeometry(reader.Get(), path);
    RequestOutputType(reader.Get());
    if (times.readFirst) {
        times.haveFirst = ReadFirstSampleTime(reader.Get(), times.first);
        WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) first-sample read=%d ts=%lld", times.haveFirst ? 1 : 0,
                 static_cast<long long>(times.first));
    }

    PROPVARIANT position;
    PropVariantInit(&position);
    position.vt = VT_I8;
    position.hVal.QuadPart = mfFrame;
    hr = reader->SetCurrentPosition(GUID_NULL, position);
    PropVariantClear(&position);
    if (FAILED(hr)) {
        LogStepFailure(L"SetCurrentPosition", hr, mfFrame, path);
        return nullptr;
    }

    OutputType type;
    const wchar_t* failedStep = L"";
    if (!ReadOutputType(reader.Get(), type, failedStep, hr)) {
        LogStepFailure(failedStep, hr, mfFrame, path);
        return nullptr;
    }
    WriteLog(mainLog, L"[LOG_LINE] (decode-route) route=mf frame=%lld file(%s) source_size=%ux%u", mfFrame,
             file, type.width, type.height);
    WriteLog(decodeListLog, L"(decode-route) route=mf frame=%lld file(%s) source_size=%ux%u", mfFrame, file,
             type.width, type.height);

    ComPtr<IMFSample> sample;
    for (int iter = 0; iter < kMaxReads; ++iter) {
        if (CancelSignalled(cancelEvent)) {
            WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) cancel iter=%d frame=%lld", iter, mfFrame);
            WriteLog(decodeListLog, L"(mf-fallback) cancel iter=%d frame=%lld file(%s)", iter, mfFrame, file);
            // Wine's media source can fault when its reader is let go while the start
            // that the seek queued is still under way; one read lets that start finish.
            if (iter == 0) {
                DWORD streamIndex = 0, flags = 0;
                LONGLONG timestamp = 0;
                ComPtr<IMFSample> unused;
                reader->ReadSample(kFirstVideoStream, 0, &streamIndex, &flags, &timestamp, &unused);
            }
            return nullptr;
        }
        sample.Reset();
        WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) ReadSample begin iter=%d frame=%lld", iter, mfFrame);
        DWORD streamIndex = 0, flags = 0;
        LONGLONG timestamp = 0;
        hr = reader->ReadSample(kFirstVideoStream, 0, &streamIndex, &flags, &timestamp, &sample);
        if (FAILED(hr)) {
            WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) ReadSample failed hr=0x%08X iter=%d", Hex(hr), iter);
            WriteLog(decodeListLog, L"(mf-fallback) ReadSample failed hr=0x%08X iter=%d frame=%lld file(%s)",
                     Hex(hr), iter, mfFrame, file);
            return nullptr;
        }
        WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) ReadSample end iter=%d flags=0x%08X has_sample=%d ts=%lld",
                 iter, static_cast<unsigned>(flags), sample ? 1 : 0, static_cast<long long>(timestamp));
        if (flags & MF_SOURCE_READERF_ENDOFSTREAM) {
            WriteLog(decodeListLog, L"(mf-fallback) EOS iter=%d frame=%lld file(%s)", iter, mfFrame, file);
            return nullptr;
        }
        if (flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) {
            // The decoder settled on another size or layout: read pictures by the new one.
            OutputType changed;
            const wchar_t* ignoredStep = L"";
            HRESULT ignoredHr = S_OK;
            if (ReadOutputType(reader.Get(), changed, ignoredStep, ignoredHr)) {
                type = changed;
                WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) media type changed iter=%d source_size=%ux%u",
                         iter, type.width, type.height);
            }
        }
        if (!sample) continue;
        bool failed = false;
        std::unique_ptr<Gdiplus::Bitmap> picture = PictureFromSample(sample.Get(), type, iter, mfFrame, path, failed);
        if (failed) return nullptr;
        if (picture) {
            WriteLog(decodeListLog, L"(mf-fallback) success iter=%d frame=%lld file(%s)", iter, mfFrame, file);
            times.sample = timestamp;
            return picture;
        }
    }
    return nullptr;
}

}  // namespace

size_t MfPictureRowBytes(MfPixelLayout layout, uint32_t width) {
    if (width == 0 || width > INT_MAX / 4) return 0;
    switch (layout) {
        case MfPixelLayout::Bgrx: return static_cast<size_t>(width) * 4;
        case MfPixelLayout::Yuy2: return Yuy2RowBytes(static_cast<int>(width));
        default: return 0;
    }
}

bool MfPictureFits(const uint8_t* bufferStart, size_t bufferLength, const uint8_t* top, long pitch,
                   size_t rowBytes, uint32_t height) {
    if (!bufferStart || !top || height == 0 || rowBytes == 0) return false;
    // Addresses as integers: the rows are checked before any pointer is formed to them.
    const uintptr_t start = reinterpret_cast<uintptr_t>(bufferStart);
    const uintptr_t first = reinterpret_cast<uintptr_t>(top);
    if (first < start || first - start > bufferLength) return false;
    const unsigned long long offset = first - start;
    const unsigned long long step =
        pitch < 0 ? 0ull - static_cast<unsigned long long>(static_cast<long long>(pitch)) : pitch;
    const unsigned long long rows = height - 1ull;
    if (rows > 0 && (step < rowBytes || rows > bufferLength / step)) return false;  // overlapping or too tall
    const unsigned long long span = rows * step;  // at most bufferLength
    if (offset + rowBytes > bufferLength) return false;
    return pitch < 0 ? offset >= span : offset + span + rowBytes <= bufferLength;
}

bool CopyMfPictureToBgrx(const uint8_t* bufferStart, size_t bufferLength, const uint8_t* top, long pitch,
                         MfPixelLayout layout, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    const size_t rowBytes = MfPictureRowBytes(layout, width);
    if (!MfPictureFits(bufferStart, bufferLength, top, pitch, rowBytes, height)) return false;
    if (static_cast<unsigned long long>(width) * height >= (1ull << 30)) return false;
    const size_t outRow = static_cast<size_t>(width) * 4;
    out.assign(outRow * height, 0);
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t* in = top + static_cast<ptrdiff_t>(row) * pitch;
        uint8_t* dst = out.data() + outRow * row;
        if (layout == MfPixelLayout::Yuy2)
            ConvertYuy2ToBgrx(in, rowBytes, rowBytes, static_cast<int>(width), 1, dst);
        else
            std::memcpy(dst, in, outRow);
    }
    return true;
}

ScaledFrameSize MediaFoundationFrameSize(int width, int height) {
    const int longer = width > height ? width : height;
    if (longer <= kLongestSideKept) return {width, height};
    // Multiplied first: a factor taken on its own rounds down, 2139x1203 would give 1279 wide.
    const int w = static_cast<int>(static_cast<double>(width) * kLongestSideKept / longer);
    const int h = static_cast<int>(static_cast<double>(height) * kLongestSideKept / longer);
    return {w < 1 ? 1 : w, h < 1 ? 1 : h};
}

Gdiplus::Bitmap* DecodeFrameWithMediaFoundation(const std::wstring& path, HANDLE cancelEvent, int64_t mfFrame,
                                                MfFrameTimes* times, DisplayGeometry* reported) {
    const wchar_t* file = path.c_str();
    WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) enter frame=%lld file(%s)", mfFrame, file);
    WriteLog(decodeListLog, L"(mf-fallback) enter frame=%lld file(%s)", mfFrame, file);
    WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) decoder-rev=%s", kDecoderRevision);
    WriteLog(decodeListLog, L"(mf-fallback) decoder-rev=%s file(%s)", kDecoderRevision, file);

    std::unique_ptr<Gdiplus::Bitmap> frame;
    {
        MediaFoundationSession session;
        if (FAILED(session.result())) {
            WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) MFStartup failed hr=0x%08X", Hex(session.result()));
            WriteLog(decodeListLog, L"(mf-fallback) MFStartup failed hr=0x%08X frame=%lld file(%s)",
                     Hex(session.result()), mfFrame, file);
            return nullptr;
        }
        // Everything the reader made is released inside, before the session shuts down.
        MfFrameTimes unusedTimes;
        DisplayGeometry unusedGeometry;
        frame = ReadFrame(path, cancelEvent, mfFrame, times ? *times : unusedTimes,
                          reported ? *reported : unusedGeometry);
    }
    if (frame) {
        WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) exit success frame=%lld file(%s)", mfFrame, file);
    } else {
        WriteLog(mainLog, L"[LOG_LINE] (mf-fallback) exit fail frame=%lld file(%s)", mfFrame, file);
        WriteLog(decodeListLog, L"(mf-fallback) exit fail frame=%lld file(%s)", mfFrame, file);
    }
    return frame.release();
}
