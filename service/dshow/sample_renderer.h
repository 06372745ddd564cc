// The capture renderer: accepts uncompressed YUY2 (or the subtype asked for) and RGB32
// video, and I420 where its planes lie packed, and hands the first sample that reaches it
// while paused to an ISampleGrabberCB.
#pragma once
#include <windows.h>
#include <dshow.h>
#include "service/dshow/sample_grabber_interfaces.h"
#include <wrl/client.h>
#include <mutex>
#include <string>

#include "service/dshow/base_renderer.h"
#include "service/dshow/media_type.h"

// {99F56865-F7DD-4ACB-9DB9-C1F3C537CF1F}
extern const CLSID CLSID_DShowSampleRenderer;

// The 'I420' four-character-code subtype, which the SDK's headers do not name.
extern const GUID kSubtypeI420;

// A capture callback that is told where each sample belongs. The renderer calls it
// instead of ISampleGrabberCB::SampleCB when the callback set on it offers it.
// {3C8E2F41-9A6D-4B57-8E13-6F0D2B9C4A75}
extern const IID IID_IStampedSampleCB;
struct IStampedSampleCB : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE StampedSampleCB(IMediaSample* sample, const SampleStamp& stamp) = 0;
};

class DShowSampleRenderer : public BaseRendererFilter {
public:
    DShowSampleRenderer();
    ~DShowSampleRenderer() override;

    // ISampleGrabber: a new DShowSampleRendererISampleGrabber_CL on every call.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

    // Used by the sample-grabber object.
    void SetWantedType(const AM_MEDIA_TYPE& mt);
    HRESULT GetConnectedType(AM_MEDIA_TYPE* mt) const;
    void SetCallback(ISampleGrabberCB* callback, LONG method);

protected:
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& mt) override;
    HRESULT SetMediaType(const AM_MEDIA_TYPE& mt) override;
    void BreakConnect() override;
    void OnReceiveFirstSample(IMediaSample* sample, const SampleStamp& stamp) override;
    HRESULT DoRenderSample(IMediaSample* sample) override;

private:
    mutable std::mutex lock_;
    OwnedMediaType wantedType_;
    OwnedMediaType connectedType_;  // always FORMAT_VideoInfo2 for our two video types
    bool connected_ = false;
    Microsoft::WRL::ComPtr<ISampleGrabberCB> callback_;
    Microsoft::WRL::ComPtr<IStampedSampleCB> stampedCallback_;  // the same object, when it offers it
};

// ISampleGrabber over one renderer; holds a reference to it.
class DShowSampleRendererISampleGrabber_CL : public ComObject<ISampleGrabber> {
public:
    explicit DShowSampleRendererISampleGrabber_CL(DShowSampleRenderer* renderer);
    ~DShowSampleRendererISampleGrabber_CL() override;

    STDMETHODIMP SetOneShot(BOOL oneShot) override;
    STDMETHODIMP SetMediaType(const AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP GetConnectedMediaType(AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP SetBufferSamples(BOOL buffer) override;
    STDMETHODIMP GetCurrentBuffer(LONG* size, LONG* buffer) override;
    STDMETHODIMP GetCurrentSample(IMediaSample** sample) override;
    STDMETHODIMP SetCallback(ISampleGrabberCB* callback, LONG method) override;

private:
    void* Interface(REFIID riid) override {
        return riid == IID_ISampleGrabber ? static_cast<ISampleGrabber*>(this) : nullptr;
    }
    DShowSampleRenderer* renderer_;
};
