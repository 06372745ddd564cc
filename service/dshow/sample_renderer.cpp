#include "service/dshow/sample_renderer.h"

#include <dvdmedia.h>
#include <cstring>
#include <new>

// {99F56865-F7DD-4ACB-9DB9-C1F3C537CF1F}
const CLSID CLSID_DShowSampleRenderer = {
    0x99f56865, 0xf7dd, 0x4acb, {0x9d, 0xb9, 0xc1, 0xf3, 0xc5, 0x37, 0xcf, 0x1f}};

// {3C8E2F41-9A6D-4B57-8E13-6F0D2B9C4A75}
const IID IID_IStampedSampleCB = {0x3c8e2f41, 0x9a6d, 0x4b57, {0x8e, 0x13, 0x6f, 0x0d, 0x2b, 0x9c, 0x4a, 0x75}};

const GUID kSubtypeI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

namespace {
// I420 as the decoder's own output: taken before any packed type, since a frame that is
// not kept (one decoded on past, see base_renderer.h) then costs no conversion. Only
// sizes whose planes have no row padding (a width of 8n, an even height), so that
// the planes' layout is known.
bool IsPackedI420(const AM_MEDIA_TYPE& mt) {
    if (mt.subtype != kSubtypeI420 && mt.subtype != MEDIASUBTYPE_IYUV) return false;
    const BITMAPINFOHEADER* header = VideoBitmapHeader(mt);
    return header && header->biWidth > 0 && header->biWidth % 8 == 0 && header->biHeight > 0 &&
           header->biHeight % 2 == 0;
}
}  // namespace

DShowSampleRenderer::DShowSampleRenderer()
    : BaseRendererFilter(CLSID_DShowSampleRenderer, L"DShowSample Renderer Filter") {
    AM_MEDIA_TYPE wanted{};
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = MEDIASUBTYPE_YUY2;
    wantedType_ = OwnedMediaType(wanted);
}

DShowSampleRenderer::~DShowSampleRenderer() = default;

STDMETHODIMP DShowSampleRenderer::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_ISampleGrabber) {
        *ppv = static_cast<ISampleGrabber*>(new (std::nothrow) DShowSampleRendererISampleGrabber_CL(this));
        return *ppv ? S_OK : E_OUTOFMEMORY;
    }
    return BaseRendererFilter::QueryInterface(riid, ppv);
}

void DShowSampleRenderer::SetWantedType(const AM_MEDIA_TYPE& mt) {
    std::lock_guard<std::mutex> guard(lock_);
    wantedType_ = OwnedMediaType(mt);
}

HRESULT DShowSampleRenderer::GetConnectedType(AM_MEDIA_TYPE* mt) const {
    if (!mt) return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    *mt = AM_MEDIA_TYPE{};
    if (!connected_) return VFW_E_NOT_CONNECTED;
    return CopyMediaType(mt, &connectedType_.get());
}

// Every sample goes to SampleCB (or StampedSampleCB), whichever method is asked for.
void DShowSampleRenderer::SetCallback(ISampleGrabberCB* callback, LONG /*method*/) {
    Microsoft::WRL::ComPtr<IStampedSampleCB> stamped;
    if (callback) callback->QueryInterface(IID_IStampedSampleCB, reinterpret_cast<void**>(stamped.GetAddressOf()));
    std::lock_guard<std::mutex> guard(lock_);
    callback_ = callback;
    stampedCallback_ = stamped;
}

HRESULT DShowSampleRenderer::CheckMediaType(const AM_MEDIA_TYPE& mt) {
    std::lock_guard<std::mutex> guard(lock_);
    const bool videoInfo = mt.formattype == FORMAT_VideoInfo;
    const bool videoInfo2 = mt.formattype == FORMAT_VideoInfo2;
    if (!videoInfo && !videoInfo2) return S_FALSE;
    // The picture size is read from the format block later: it must really be there.
    const size_t need = videoInfo ? sizeof(VIDEOINFOHEADER) : sizeof(VIDEOINFOHEADER2);
    if (!mt.pbFormat || mt.cbFormat < need) return S_FALSE;
    if (mt.subtype == wantedType_.get().subtype || mt.subtype == MEDIASUBTYPE_RGB32 || IsPackedI420(mt)) return S_OK;
    return S_FALSE;
}

HRESULT DShowSampleRenderer::SetMediaType(const AM_MEDIA_TYPE& mt) {
    OwnedMediaType copy(mt);
    if (mt.formattype == FORMAT_VideoInfo && mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER)) {
        // One header layout for the capture callback, whichever the decoder offered.
        VIDEOINFOHEADER vih;
        std::memcpy(&vih, mt.pbFormat, sizeof(vih));
        VIDEOINFOHEADER2 vih2{};
        vih2.rcSource = vih.rcSource;
        vih2.rcTarget = vih.rcTarget;
        vih2.dwBitRate = vih.dwBitRate;
        vih2.dwBitErrorRate = vih.dwBitErrorRate;
        vih2.AvgTimePerFrame = vih.AvgTimePerFrame;
        vih2.bmiHeader = vih.bmiHeader;
        auto* block = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(VIDEOINFOHEADER2)));
        if (!block) return E_OUTOFMEMORY;
        std::memcpy(block, &vih2, sizeof(vih2));
        AM_MEDIA_TYPE& c = copy.get();
        CoTaskMemFree(c.pbFormat);
        c.pbFormat = block;
        c.cbFormat = sizeof(VIDEOINFOHEADER2);
        c.formattype = FORMAT_VideoInfo2;
    }
    std::lock_guard<std::mutex> guard(lock_);
    connectedType_ = std::move(copy);
    connected_ = true;
    return S_OK;
}

void DShowSampleRenderer::BreakConnect() {
    std::lock_guard<std::mutex> guard(lock_);
    connectedType_.reset();
    connected_ = false;
}

void DShowSampleRenderer::OnReceiveFirstSample(IMediaSample* sample, const SampleStamp& stamp) {
    Microsoft::WRL::ComPtr<ISampleGrabberCB> callback;
    Microsoft::WRL::ComPtr<IStampedSampleCB> stamped;
    {
        std::lock_guard<std::mutex> guard(lock_);
        callback = callback_;
        stamped = stampedCallback_;
    }
    // The sample itself whatever the method selector: the capture needs it.
    if (stamped)
        stamped->StampedSampleCB(sample, stamp);
    else if (callback)
        callback->SampleCB(0.0, sample);
}

HRESULT DShowSampleRenderer::DoRenderSample(IMediaSample*) { return S_OK; }

// ---------------------------------------------------------------- sample grabber object

DShowSampleRendererISampleGrabber_CL::DShowSampleRendererISampleGrabber_CL(DShowSampleRenderer* renderer)
    : renderer_(renderer) {
    renderer_->AddRef();
}

DShowSampleRendererISampleGrabber_CL::~DShowSampleRendererISampleGrabber_CL() { renderer_->Release(); }

STDMETHODIMP DShowSampleRendererISampleGrabber_CL::SetOneShot(BOOL) { return S_OK; }

STDMETHODIMP DShowSampleRendererISampleGrabber_CL::SetMediaType(const AM_MEDIA_TYPE* mt) {
    if (!mt) return E_POINTER;
    renderer_->SetWantedType(*mt);
    return S_OK;
}

STDMETHODIMP DShowSampleRendererISampleGrabber_CL::GetConnectedMediaType(AM_MEDIA_TYPE* mt) {
    return renderer_->GetConnectedType(mt);
}

STDMETHODIMP DShowSampleRendererISampleGrabber_CL::SetBufferSamples(BOOL) { return S_OK; }

STDMETHODIMP DShowSampleRendererISampleGrabber_CL::GetCurrentBuffer(LONG* size, LONG*) {
    if (size) *size = 0;
    return S_OK;
}

STDMETHODIMP DShowSampleRendererISampleGrabber_CL::GetCurrentSample(IMediaSample** sample) {
    if (sample) *sample = nullptr;
    return S_OK;
}

STDMETHODIMP DShowSampleRendererISampleGrabber_CL::SetCallback(ISampleGrabberCB* callback, LONG method) {
    renderer_->SetCallback(callback, method);
    return S_OK;
}
