// A DirectShow source filter for tests: one output pin of YUY2 frames whose grey level
// tells the frame number, seekable, and able to stall its stream on command. Made
// in-process with `new`, never registered.
#pragma once
#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "service/dshow/media_type.h"

namespace testing_support {

class StallSourceFilter;

class StallSourcePin : public IPin, public IMediaSeeking {
public:
    explicit StallSourcePin(StallSourceFilter& filter) : filter_(filter) {}
    virtual ~StallSourcePin() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPin
    STDMETHODIMP Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** pin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* dir) override;
    STDMETHODIMP QueryId(LPWSTR* id) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override;
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
    STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // IMediaSeeking (media time only)
    STDMETHODIMP GetCapabilities(DWORD* caps) override;
    STDMETHODIMP CheckCapabilities(DWORD* caps) override;
    STDMETHODIMP IsFormatSupported(const GUID* format) override;
    STDMETHODIMP QueryPreferredFormat(GUID* format) override;
    STDMETHODIMP GetTimeFormat(GUID* format) override;
    STDMETHODIMP IsUsingTimeFormat(const GUID* format) override;
    STDMETHODIMP SetTimeFormat(const GUID* format) override;
    STDMETHODIMP GetDuration(LONGLONG* duration) override;
    STDMETHODIMP GetStopPosition(LONGLONG* stop) override;
    STDMETHODIMP GetCurrentPosition(LONGLONG* current) override;
    STDMETHODIMP ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                   const GUID* sourceFormat) override;
    STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
    STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override;
    STDMETHODIMP GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
    STDMETHODIMP SetRate(double rate) override;
    STDMETHODIMP GetRate(double* rate) override;
    STDMETHODIMP GetPreroll(LONGLONG* preroll) override;

private:
    StallSourceFilter& filter_;
};

class StallSourceFilter : public IBaseFilter {
public:
    static constexpr LONGLONG kFrameTime = 400000;  // 25 frames per second

    StallSourceFilter(int width, int height, LONGLONG duration);
    virtual ~StallSourceFilter();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override;
    STDMETHODIMP SetSyncSource(IReferenceClock*) override { return S_OK; }
    STDMETHODIMP GetSyncSource(IReferenceClock** clock) override;
    STDMETHODIMP EnumPins(IEnumPins** pins) override;
    STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    // While stalled the stream delivers nothing (it waits before its next frame).
    void SetStalled(bool stalled);
    // Frames handed downstream so far.
    int Delivered() const { return delivered_.load(); }

    // The luma value of frame `index`, and the grey that it converts to.
    static int LumaOfFrame(int64_t index);
    static int GreyOfFrame(int64_t index);

private:
    friend class StallSourcePin;
    void StartStreaming();   // with lock_ held by the caller's state, not the mutex
    void StopStreaming();
    void Stream(LONGLONG start, uint64_t generation);
    HRESULT Seek(LONGLONG position);

    std::atomic<ULONG> refs_{1};
    StallSourcePin pin_;
    OwnedMediaType type_;
    const int width_, height_;
    const LONGLONG duration_;

    std::mutex stateLock_;  // state changes and seeks, one at a time
    FILTER_STATE state_ = State_Stopped;
    IFilterGraph* graph_ = nullptr;
    std::wstring name_;

    Microsoft::WRL::ComPtr<IPin> connected_;
    Microsoft::WRL::ComPtr<IMemInputPin> input_;
    Microsoft::WRL::ComPtr<IMemAllocator> allocator_;

    std::mutex streamLock_;
    std::condition_variable streamChanged_;
    bool stalled_ = false;
    bool stopStream_ = false;
    LONGLONG position_ = 0;
    std::thread thread_;
    std::atomic<int> delivered_{0};
};

}  // namespace testing_support
