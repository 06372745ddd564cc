// ISampleGrabber and ISampleGrabberCB. mingw-w64 still ships them in qedit.h; current
// Windows SDKs dropped that header, so the declarations are given here for those.
#pragma once
#include <windows.h>
#include <dshow.h>

#if defined(__has_include)
#if __has_include(<qedit.h>)
#define TESSALOOM_HAVE_QEDIT_H 1
#endif
#endif

#if defined(TESSALOOM_HAVE_QEDIT_H)
#include <qedit.h>
#else
struct __declspec(uuid("0579154A-2B53-4994-B0D0-E773148EFF85")) ISampleGrabberCB : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SampleCB(double sampleTime, IMediaSample* sample) = 0;
    virtual HRESULT STDMETHODCALLTYPE BufferCB(double sampleTime, BYTE* buffer, long bufferLength) = 0;
};

struct __declspec(uuid("6B652FFF-11FE-4FCE-92AD-0266B5D7C78F")) ISampleGrabber : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetOneShot(BOOL oneShot) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectedMediaType(AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBufferSamples(BOOL bufferThem) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentBuffer(long* bufferSize, long* buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentSample(IMediaSample** sample) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCallback(ISampleGrabberCB* callback, long whichMethod) = 0;
};

static const IID IID_ISampleGrabberCB = __uuidof(ISampleGrabberCB);
static const IID IID_ISampleGrabber = __uuidof(ISampleGrabber);
#endif
