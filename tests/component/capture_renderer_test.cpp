// The capture renderer and its framework on their own: media type negotiation, the
// paused/flush/segment rules of Receive, seeking passed upstream, and the capture
// callback's one-frame slot.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <dvdmedia.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "common/scoped.h"
#include "service/dshow/sample_renderer.h"
#include "service/dshow/thumbnail_sample_grabber.h"
#include "tests/support/captured_logs.h"
#include "tools/fault_codec/fault_source.h"
#include "tests/support/test_support.h"

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
        source_ = AdoptComRef(new fault_codec::FaultSourceFilter());
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
    ComPtr<fault_codec::FaultSourceFilter> source_;
    ComPtr<IPin> sourcePin_;
};

TEST_F(CaptureRenderer, Yuy2WithVideoInfoIsReadBackAsVideoInfo2) {
    ASSERT_EQ(ConnectSource(), S_OK);
    ComPtr<ISampleGrabber> grabber;
    ASSERT_EQ(renderer_->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(grabber.GetAddressOf())), S_OK);
    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(grabber->GetConnectedMediaType(&mt), S_OK);
    OwnedMediaType owned;
    *owned.out() = mt;
    EXPECT_EQ(owned.get().subtype, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(owned.get().formattype, FORMAT_VideoInfo2);
    ASSERT_EQ(owned.get().cbFormat, 112u);
    const auto* vih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(owned.get().pbFormat);
    EXPECT_EQ(vih2->bmiHeader.biWidth, 64);
    EXPECT_EQ(vih2->bmiHeader.biHeight, 48);
    EXPECT_EQ(vih2->AvgTimePerFrame, fault_codec::FaultSourceFilter::kFrameTime);
    EXPECT_EQ(vih2->dwPictAspectRatioX, 0u);
    // A renderer to the graph, so that end of stream is passed on.
    ComPtr<IAMFilterMiscFlags> flags;
    ASSERT_EQ(renderer_->QueryInterface(IID_IAMFilterMiscFlags, reinterpret_cast<void**>(flags.GetAddressOf())),
              S_OK);
    EXPECT_EQ(flags->GetMiscFlags(), static_cast<ULONG>(AM_FILTER_MISC_FLAGS_IS_RENDERER));
    // The offered type is traced by name.
    EXPECT_NE(renderer_->TraceText().find(
                  L"(FT)05589f80-c356-11ce-bf01-00aa0055595a(FORMAT_VideoInfo) : "
                  L"(ST)32595559-0000-0010-8000-00aa00389b71(MEDIASUBTYPE_YUY2)\r\n"),
              std::wstring::npos);
}

TEST_F(CaptureRenderer, OnlyYuy2AndRgb32WithAFullVideoHeaderAreAccepted) {
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
    ComPtr<IPin> upstream;
    EXPECT_EQ(input_->ConnectedTo(&upstream), VFW_E_NOT_CONNECTED);
    EXPECT_NE(renderer_->TraceText().find(L"(MEDIASUBTYPE_NV12)"), std::wstring::npos);
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
    static int Green(Gdiplus::Bitmap& b, int x, int y) { return At(b, x, y).GetG(); }
    static int Red(Gdiplus::Bitmap& b, int x, int y) { return At(b, x, y).GetR(); }
    static int Blue(Gdiplus::Bitmap& b, int x, int y) { return At(b, x, y).GetB(); }
    static Gdiplus::Color At(Gdiplus::Bitmap& b, int x, int y) {
        Gdiplus::Color c;
        b.GetPixel(x, y, &c);
        return c;
    }
    ComApartment com_;
    GdiplusSession gdiplus_;
};

TEST_F(CaptureCallback, SecondSampleWhileAFrameIsHeldIsIgnored) {
    auto grabber = DShowThumbnailMakerSampleGrabber_CL::Create();
    grabber->SetConnectedType(Connection(MEDIASUBTYPE_YUY2, 8, 4));
    Samples samples(8 * 4 * 2);
    // Every byte 16 (Y = U = V = 16) has no red; every byte 235 is full red.
    ComPtr<IMediaSample> dark = samples.Make(16, 8 * 4 * 2);
    ComPtr<IMediaSample> bright = samples.Make(235, 8 * 4 * 2);
    ASSERT_EQ(grabber->SampleCB(0.0, dark.Get()), S_OK);
    ASSERT_TRUE(grabber->HasFrame());
    EXPECT_EQ(WaitForSingleObject(grabber->FrameEvent(), 0), WAIT_OBJECT_0);
    Gdiplus::Bitmap* frame = grabber->CurrentFrame();
    ASSERT_EQ(grabber->SampleCB(0.0, bright.Get()), S_OK);
    EXPECT_EQ(grabber->CurrentFrame(), frame);
    EXPECT_EQ(WaitForSingleObject(grabber->FrameEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Red(*frame, 3, 2), 0);

    // Emptied by its owner, the slot takes the next sample.
    grabber->ClearFrame();
    ASSERT_EQ(grabber->SampleCB(0.0, bright.Get()), S_OK);
    ASSERT_TRUE(grabber->HasFrame());
    EXPECT_EQ(Red(*grabber->CurrentFrame(), 3, 2), 255);
}

TEST_F(CaptureCallback, NoFormatBlockOrNoDataMakesNoFrameAndNoSignal) {
    auto grabber = DShowThumbnailMakerSampleGrabber_CL::Create();
    Samples samples(64);
    ComPtr<IMediaSample> sample = samples.Make(16, 64);
    EXPECT_EQ(grabber->SampleCB(0.0, sample.Get()), S_OK);  // no connection type yet
    grabber->SetConnectedType(Connection(MEDIASUBTYPE_YUY2, 8, 4));
    ComPtr<IMediaSample> empty = samples.Make(16, 0);
    EXPECT_EQ(grabber->SampleCB(0.0, empty.Get()), S_OK);
    EXPECT_FALSE(grabber->HasFrame());
    EXPECT_EQ(WaitForSingleObject(grabber->FrameEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(CaptureCallback, Rgb32RowsComeOutUpright) {
    // Two rows of two pixels, as a bottom-up RGB32 sample holds them: bottom row first.
    const uint8_t bottomUp[16] = {0, 0, 255, 0, 0, 0, 255, 0,     // bottom row: red
                                  255, 0, 0, 0, 255, 0, 0, 0};    // top row: blue
    auto bitmap = BitmapFromVideoSample(bottomUp, sizeof(bottomUp), true, 2, 2);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(Blue(*bitmap, 0, 0), 255);
    EXPECT_EQ(Red(*bitmap, 0, 0), 0);
    EXPECT_EQ(Red(*bitmap, 1, 1), 255);
    EXPECT_EQ(Blue(*bitmap, 1, 1), 0);

    // A top-down connection (negative height) keeps its first row at the top.
    auto topDown = BitmapFromVideoSample(bottomUp, sizeof(bottomUp), true, 2, -2);
    ASSERT_NE(topDown, nullptr);
    EXPECT_EQ(Red(*topDown, 0, 0), 255);
}

TEST_F(CaptureCallback, Yuy2RowsTopFirstAndShortSamplesStayInBounds) {
    // 3 x 3 (odd width: two macropixels a row); white, grey and black rows.
    std::vector<uint8_t> yuy2;
    for (uint8_t y : {235, 126, 16})
        for (int m = 0; m < 2; ++m) yuy2.insert(yuy2.end(), {y, 128, y, 128});
    auto full = BitmapFromVideoSample(yuy2.data(), yuy2.size(), false, 3, 3);
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(full->GetWidth(), 3u);
    EXPECT_EQ(Green(*full, 2, 0), 255);
    EXPECT_EQ(Green(*full, 2, 1), 128);
    EXPECT_EQ(Green(*full, 2, 2), 0);

    // Only the first row and a half in the sample: the rest comes out black.
    auto shortOne = BitmapFromVideoSample(yuy2.data(), 12, false, 3, 3);
    ASSERT_NE(shortOne, nullptr);
    EXPECT_EQ(Green(*shortOne, 0, 1), 128);
    EXPECT_EQ(Green(*shortOne, 0, 2), 0);

    // 2^30 pixels or more: no frame at all.
    EXPECT_EQ(BitmapFromVideoSample(yuy2.data(), yuy2.size(), false, 32768, 32768), nullptr);
}

}  // namespace
