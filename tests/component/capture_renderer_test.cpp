// The capture renderer and its framework on their own: media type negotiation, the
// paused/flush/segment rules of Receive, and the capture callback's one-frame slot and
// RGB32 rows.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <dvdmedia.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "common/scoped.h"
#include "service/dshow/sample_renderer.h"
#include "service/dshow/thumbnail_sample_grabber.h"
#include "testing/support/captured_logs.h"
#include "testing/support/test_support.h"
#include "testing/fault_codec/fault_source.h"

using Microsoft::WRL::ComPtr;
using namespace testing_support;

namespace {

// Counts the samples that reach it and remembers their first byte.
class CountingCallback : public ISampleGrabberCB {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SampleCB(double, IMediaSample* sample) override {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        lastByte = data ? data[0] : -1;
        ++count;
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE*, LONG) override { return S_OK; }
    std::atomic<int> count{0};
    std::atomic<int> lastByte{-1};
};

AM_MEDIA_TYPE VideoType(const GUID& subtype, const GUID& format, BYTE* block, ULONG blockSize) {
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = subtype;
    mt.formattype = format;
    mt.pbFormat = block;
    mt.cbFormat = blockSize;
    return mt;
}

// Samples from a stock memory allocator, each filled with one byte value.
class Samples {
public:
    explicit Samples(long bytes, long count = 2) {
        CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&allocator_));
        ALLOCATOR_PROPERTIES wanted{count, bytes, 1, 0}, actual{};
        allocator_->SetProperties(&wanted, &actual);
        allocator_->Commit();
    }
    ~Samples() { allocator_->Decommit(); }
    ComPtr<IMediaSample> Make(BYTE fill, long length) {
        ComPtr<IMediaSample> sample;
        if (FAILED(allocator_->GetBuffer(&sample, nullptr, nullptr, 0))) return nullptr;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::memset(data, fill, static_cast<size_t>(sample->GetSize()));
        sample->SetActualDataLength(length);
        return sample;
    }

private:
    ComPtr<IMemAllocator> allocator_;
};

class CaptureRenderer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(com_.result()));
        ASSERT_TRUE(gdiplus_.ok());
        renderer_ = AdoptComRef(new DShowSampleRenderer());
        input_ = &renderer_->InputPin();
        source_ = AdoptComRef(fault_codec::NewFaultSource());
        source_->FindPin(L"Out", &sourcePin_);
    }
    HRESULT ConnectSource() { return sourcePin_->Connect(input_, nullptr); }
    void TearDown() override {
        if (input_->IsConnected()) {
            renderer_->Stop();
            input_->Disconnect();
            sourcePin_->Disconnect();
        }
    }

    ComApartment com_;
    GdiplusSession gdiplus_;
    ComPtr<DShowSampleRenderer> renderer_;
    RendererInputPin* input_ = nullptr;
    ComPtr<IBaseFilter> source_;
    ComPtr<IPin> sourcePin_;
};

// Only YUY2 and RGB32 with a whole video header connect; the connection is reported
// as FORMAT_VideoInfo2 whatever was offered, and the filter is a renderer to the graph
// (so that end of stream is passed on).
TEST_F(CaptureRenderer, AcceptsYuy2OrRgb32WithAWholeHeaderAndReportsVideoInfo2) {
    VIDEOINFOHEADER vih{};
    auto* block = reinterpret_cast<BYTE*>(&vih);
    const struct {
        AM_MEDIA_TYPE type;
        HRESULT answer;
    } cases[] = {
        {VideoType(MEDIASUBTYPE_NV12, FORMAT_VideoInfo, block, sizeof(vih)), S_FALSE},
        {VideoType(MEDIASUBTYPE_UYVY, FORMAT_VideoInfo, block, sizeof(vih)), S_FALSE},
        {VideoType(MEDIASUBTYPE_YUY2, FORMAT_None, nullptr, 0), S_FALSE},
        {VideoType(MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, block, 40), S_FALSE},
        {VideoType(MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, block, sizeof(vih)), S_FALSE},  // too short for v2
        {VideoType(MEDIASUBTYPE_RGB32, FORMAT_VideoInfo, block, sizeof(vih)), S_OK},
        {VideoType(MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, block, sizeof(vih)), S_OK},
    };
    for (const auto& c : cases)
        EXPECT_EQ(input_->QueryAccept(&c.type), c.answer) << Narrow(GuidTraceName(c.type.subtype));
    EXPECT_EQ(input_->ReceiveConnection(sourcePin_.Get(), &cases[0].type), VFW_E_TYPE_NOT_ACCEPTED);

    ASSERT_EQ(ConnectSource(), S_OK);  // the fault codec's 64x48 YUY2 with FORMAT_VideoInfo
    ComPtr<ISampleGrabber> grabber;
    ASSERT_EQ(renderer_->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(grabber.GetAddressOf())), S_OK);
    OwnedMediaType owned;
    ASSERT_EQ(grabber->GetConnectedMediaType(owned.out()), S_OK);
    EXPECT_EQ(owned.get().subtype, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(owned.get().formattype, FORMAT_VideoInfo2);
    ASSERT_EQ(owned.get().cbFormat, 112u);
    const auto* vih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(owned.get().pbFormat);
    EXPECT_EQ(vih2->bmiHeader.biWidth, 64);
    EXPECT_EQ(vih2->bmiHeader.biHeight, 48);
    EXPECT_EQ(vih2->AvgTimePerFrame, fault_codec::kFrameTime);
    ComPtr<IAMFilterMiscFlags> flags;
    ASSERT_EQ(renderer_->QueryInterface(IID_IAMFilterMiscFlags, reinterpret_cast<void**>(flags.GetAddressOf())),
              S_OK);
    EXPECT_EQ(flags->GetMiscFlags(), static_cast<ULONG>(AM_FILTER_MISC_FLAGS_IS_RENDERER));
}

// Paused: the first sample goes to the callback and Receive holds it until a flush;
// samples between BeginFlush and NewSegment are refused; Stop lets a held sample go;
// running samples are not captured.
TEST_F(CaptureRenderer, PausedReceiveHandsOverOneSampleAndHoldsItUntilReleased) {
    ASSERT_EQ(ConnectSource(), S_OK);
    CountingCallback callback;
    renderer_->SetCallback(&callback, 0);
    Samples samples(64 * 48 * 2, 3);
    ASSERT_EQ(renderer_->Pause(), S_OK);

    // Receive on a streaming thread of its own: captured, then held until `release`.
    auto heldUntil = [&](BYTE fill, const std::function<HRESULT()>& release) {
        ComPtr<IMediaSample> sample = samples.Make(fill, 64 * 48 * 2);
        const int before = callback.count;
        std::atomic<bool> returned{false};
        HRESULT held = E_FAIL;
        std::thread streaming([&] {
            held = input_->Receive(sample.Get());
            returned = true;
        });
        EXPECT_TRUE(WaitFor([&] { return callback.count == before + 1; }, std::chrono::seconds(5)));
        EXPECT_EQ(callback.lastByte, fill);
        EXPECT_FALSE(WaitFor([&] { return returned.load(); }, std::chrono::milliseconds(300)));
        EXPECT_EQ(release(), S_OK);
        EXPECT_TRUE(WaitFor([&] { return returned.load(); }, std::chrono::seconds(5)));
        streaming.join();
        EXPECT_EQ(held, S_FALSE);
    };
    heldUntil(1, [&] { return input_->BeginFlush(); });

    ComPtr<IMediaSample> stale = samples.Make(2, 64 * 48 * 2);
    EXPECT_EQ(input_->Receive(stale.Get()), S_FALSE);
    ASSERT_EQ(input_->EndFlush(), S_OK);
    EXPECT_EQ(input_->Receive(stale.Get()), S_FALSE);  // still no new segment
    EXPECT_EQ(callback.count, 1);

    ASSERT_EQ(input_->NewSegment(0, 10000000, 1.0), S_OK);
    heldUntil(3, [&] { return renderer_->Stop(); });
    EXPECT_EQ(input_->Receive(stale.Get()), VFW_E_WRONG_STATE);

    ASSERT_EQ(renderer_->Pause(), S_OK);
    ASSERT_EQ(renderer_->Run(0), S_OK);
    EXPECT_EQ(input_->Receive(stale.Get()), S_OK);
    EXPECT_EQ(callback.count, 2);
    renderer_->SetCallback(nullptr, 0);
}

// ---------------------------------------------------------------- capture callback

class CaptureCallback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(com_.result()));
        ASSERT_TRUE(gdiplus_.ok());
    }
    // A YUY2 or RGB32 connection of w x h, as the renderer reports it.
    static OwnedMediaType Connection(const GUID& subtype, int w, int h) {
        VIDEOINFOHEADER2 vih2{};
        vih2.bmiHeader.biWidth = w;
        vih2.bmiHeader.biHeight = h;
        AM_MEDIA_TYPE mt = VideoType(subtype, FORMAT_VideoInfo2, reinterpret_cast<BYTE*>(&vih2), sizeof(vih2));
        return OwnedMediaType(mt);
    }
    static int Red(Gdiplus::Bitmap& b, int x, int y) {
        Gdiplus::Color c;
        b.GetPixel(x, y, &c);
        return c.GetR();
    }
    ComApartment com_;
    GdiplusSession gdiplus_;
};

// The one-frame slot: no frame without a format block or data; the first sample is
// held, and a second one ignored until the slot is emptied.
TEST_F(CaptureCallback, SlotHoldsTheFirstWholeSampleUntilEmptied) {
    auto grabber = DShowThumbnailMakerSampleGrabber_CL::Create();
    Samples samples(8 * 4 * 2, 3);
    // Every byte 16 (Y = U = V = 16) has no red; every byte 235 is full red.
    ComPtr<IMediaSample> dark = samples.Make(16, 8 * 4 * 2);
    ComPtr<IMediaSample> bright = samples.Make(235, 8 * 4 * 2);
    ComPtr<IMediaSample> empty = samples.Make(16, 0);
    EXPECT_EQ(grabber->SampleCB(0.0, dark.Get()), S_OK);  // no connection type yet
    grabber->SetConnectedType(Connection(MEDIASUBTYPE_YUY2, 8, 4));
    EXPECT_EQ(grabber->SampleCB(0.0, empty.Get()), S_OK);
    EXPECT_FALSE(grabber->HasFrame());
    EXPECT_EQ(WaitForSingleObject(grabber->FrameEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_EQ(grabber->SampleCB(0.0, dark.Get()), S_OK);
    ASSERT_TRUE(grabber->HasFrame());
    EXPECT_EQ(WaitForSingleObject(grabber->FrameEvent(), 0), WAIT_OBJECT_0);
    Gdiplus::Bitmap* frame = grabber->CurrentFrame();
    ASSERT_EQ(grabber->SampleCB(0.0, bright.Get()), S_OK);
    EXPECT_EQ(grabber->CurrentFrame(), frame);
    EXPECT_EQ(WaitForSingleObject(grabber->FrameEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Red(*frame, 3, 2), 0);

    grabber->ClearFrame();
    ASSERT_EQ(grabber->SampleCB(0.0, bright.Get()), S_OK);
    ASSERT_TRUE(grabber->HasFrame());
    EXPECT_EQ(Red(*grabber->CurrentFrame(), 3, 2), 255);
}

TEST_F(CaptureCallback, Rgb32RowsComeOutUpright) {
    // Two rows of two pixels, as a bottom-up RGB32 sample holds them: bottom row first.
    const uint8_t bottomUp[16] = {0, 0, 255, 0, 0, 0, 255, 0,     // bottom row: red
                                  255, 0, 0, 0, 255, 0, 0, 0};    // top row: blue
    auto bitmap = BitmapFromVideoSample(bottomUp, sizeof(bottomUp), true, 2, 2);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(Red(*bitmap, 0, 0), 0);
    EXPECT_EQ(Red(*bitmap, 1, 1), 255);

    // A top-down connection (negative height) keeps its first row at the top.
    auto topDown = BitmapFromVideoSample(bottomUp, sizeof(bottomUp), true, 2, -2);
    ASSERT_NE(topDown, nullptr);
    EXPECT_EQ(Red(*topDown, 0, 0), 255);
}

}  // namespace
