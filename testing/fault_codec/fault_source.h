// The fault codec's source filter: one output pin of YUY2 frames whose grey level
// tells the frame number, seekable, doing what its fault movie says (fault_script.h):
// stalling, crashing, hanging, refusing to connect, misreporting its duration. The codec DLL hands it out as a registered source
// filter; tests may also make one in-process (it then plays a fault movie without faults).
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
#include "testing/fault_codec/fault_script.h"

namespace fault_codec {

// {6A1F3C52-84D9-4E07-B1A3-5C2E9D7F0B18}
extern const CLSID CLSID_FaultSource;

class FaultSourceFilter;

class FaultSourcePin : public IPin, public IMediaSeeking {
public:
    explicit FaultSourcePin(FaultSourceFilter& filter) : filter_(filter) {}
    virtual ~FaultSourcePin() = default;

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
    FaultSourceFilter& filter_;
};

class FaultSourceFilter : public IBaseFilter, public IFileSourceFilter {
public:
    static constexpr LONGLONG kFrameTime = 400000;  // 25 frames per second
    static constexpr int kWidth = 64, kHeight = 48;
    static constexpr LONGLONG kDuration = 120000000;  // 12 s

    FaultSourceFilter();
    virtual ~FaultSourceFilter();

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

    // IFileSourceFilter: reads the fault movie's instructions.
    STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* mt) override;

    // The luma value of frame `index`, and the grey that it converts to.
    static int LumaOfFrame(int64_t index);
    static int GreyOfFrame(int64_t index);

private:
    friend class FaultSourcePin;
    void StartStreaming(bool afterSeek);  // stateLock_ held by the caller
    void StopStreaming();
    void Stream(LONGLONG start, bool afterSeek);
    // Waits while the frame at this movie time is held back; false when told to stop.
    bool WaitUntilDeliverable(int64_t movieMs, ULONGLONG minimumWaitMs);
    // Waits until a seek has begun or the stream is told to stop (late_cue).
    void WaitForSeekOrStop();
    friend class LateSample;
    HRESULT Seek(LONGLONG position);
    LONGLONG ReportedDuration() const {
        return script_.reportedDurationMs >= 0 ? script_.reportedDurationMs * 10000 : kDuration;
    }

    std::atomic<ULONG> refs_{1};
    FaultSourcePin pin_;
    FaultScript script_;
    OwnedMediaType type_;
    std::wstring fileName_;

    std::mutex stateLock_;  // state changes and seeks, one at a time
    FILTER_STATE state_ = State_Stopped;
    IFilterGraph* graph_ = nullptr;
    std::wstring name_;

    Microsoft::WRL::ComPtr<IPin> connected_;
    Microsoft::WRL::ComPtr<IMemInputPin> input_;
    Microsoft::WRL::ComPtr<IMemAllocator> allocator_;

    std::mutex streamLock_;
    std::condition_variable streamChanged_;
    bool stopStream_ = false;
    bool seekBegun_ = false;  // since the stream was started by a state change
    LONGLONG position_ = 0;
    ULONGLONG firstStartTick_ = 0;
    std::thread thread_;
};

}  // namespace fault_codec
