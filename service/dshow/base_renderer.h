// A minimal DirectShow renderer: a filter with one input pin that takes samples and
// does something with them, built from the COM interface definitions alone.
//
// States: Stopped, Paused, Running. While paused, the first sample that arrives is
// handed to OnReceiveFirstSample and Receive then blocks (as a real renderer holding
// its poster frame does) until Run, Stop or BeginFlush; so exactly one sample arrives
// per pause or seek. Between BeginFlush and the next NewSegment samples are refused:
// a source may push one more sample of the old position during a flush. While running,
// samples go to DoRenderSample. Seeking asked of the filter goes to the upstream pin.
//
// Decoding on (DecodeOnTo) lets the held sample go without a flush and passes over the
// samples that end at or before a later time, so that the next one held is the frame a
// seek to that time would bring, without decoding again from the keyframe before it. It
// also asks the upstream decoder (IQualityControl) to treat the frames before that time as
// late: the decoder then skips the frames no other frame refers to and outputs none of
// them, which makes decoding on cheaper than the decoding a seek does before its frame.
//
// Every flush and every stop opens a new seek generation. A captured sample carries the
// generation it was taken in, so that its receiver can tell a sample that a pause
// brought late from the sample of a seek that came after it.
#pragma once
#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "service/dshow/com_object.h"
#include "service/dshow/media_type.h"

class BaseRendererFilter;

// Where a captured sample belongs: the seek generation it was taken in, and the start
// of the segment (the last NewSegment) its time stamps count from.
struct SampleStamp {
    uint64_t generation = 0;
    REFERENCE_TIME segmentStart = 0;
};

// The filter's only pin. Its lifetime is the filter's: AddRef/Release go to the filter.
class RendererInputPin : public IPin, public IMemInputPin {
public:
    explicit RendererInputPin(BaseRendererFilter& filter);
    virtual ~RendererInputPin() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPin
    STDMETHODIMP Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** pin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* dir) override;
    STDMETHODIMP QueryId(LPWSTR* id) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override;
    STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    // IMemInputPin
    STDMETHODIMP GetAllocator(IMemAllocator** allocator) override;
    STDMETHODIMP NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
    STDMETHODIMP Receive(IMediaSample* sample) override;
    STDMETHODIMP ReceiveMultiple(IMediaSample** samples, long count, long* processed) override;
    STDMETHODIMP ReceiveCanBlock() override;

    // The upstream output pin, or null.
    Microsoft::WRL::ComPtr<IPin> Upstream() const;
    bool IsConnected() const;
    // Decommits the allocator in use, so that a source blocked in GetBuffer returns.
    void Deactivate();

private:
    BaseRendererFilter& filter_;
    mutable std::mutex lock_;
    Microsoft::WRL::ComPtr<IPin> connected_;
    OwnedMediaType connectedType_;
    Microsoft::WRL::ComPtr<IMemAllocator> allocator_;
};

// IMediaSeeking of the filter, answered by the upstream pin's IMediaSeeking.
class UpstreamSeekingPassThrough : public IMediaSeeking {
public:
    UpstreamSeekingPassThrough(IUnknown& owner, RendererInputPin& pin) : owner_(owner), pin_(pin) {}
    virtual ~UpstreamSeekingPassThrough() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return owner_.QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }

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
    Microsoft::WRL::ComPtr<IMediaSeeking> Upstream() const;
    IUnknown& owner_;
    RendererInputPin& pin_;
};

class BaseRendererFilter : public ComObject<IBaseFilter, IAMFilterMiscFlags> {
public:
    BaseRendererFilter(const CLSID& clsid, const std::wstring& name);
    ~BaseRendererFilter() override;

    // IPersist
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    // IMediaFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** clock) override;
    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins** pins) override;
    STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* info) override;
    // IAMFilterMiscFlags: the graph passes EC_COMPLETE on only from renderers.
    STDMETHODIMP_(ULONG) GetMiscFlags() override;

    FILTER_STATE State() const;
    RendererInputPin& InputPin() { return pin_; }
    // The current seek generation: a sample taken from now on carries it or a later one.
    uint64_t SeekGeneration() const;
    // The time (segment start + sample start) of the first sample taken before the first
    // flush or stop: the movie's first frame, when the graph started at its beginning.
    // False until such a sample came.
    bool StreamStartTime(REFERENCE_TIME* time) const;
    // While paused and holding the sample that starts at `heldStart` (segment start plus
    // its start time): lets it go and holds the first later sample that ends after
    // `time`, in a new seek generation. False, changing nothing, in any other case.
    bool DecodeOnTo(REFERENCE_TIME heldStart, REFERENCE_TIME time);
    // The first sample of the current segment (segment start plus its start and stop
    // times): the frame a seek brought, also when it was passed over. False before one came.
    bool SegmentFirstSample(REFERENCE_TIME* start, REFERENCE_TIME* stop) const;
    // For the next seek: from the segment it announces, decodes on to `time` instead of
    // holding its first sample (on: a seek to a keyframe before `time`, then decoding on).
    void DecodeOnAfterNextSegment(bool on, REFERENCE_TIME time);

protected:
    // IBaseFilter, IMediaFilter, IPersist, IAMFilterMiscFlags, IMediaSeeking.
    void* Interface(REFIID riid) override;
    // S_OK accepts the type for a connection; anything else refuses it.
    virtual HRESULT CheckMediaType(const AM_MEDIA_TYPE& mt) = 0;
    // The connection is being made with this (accepted) type.
    virtual HRESULT SetMediaType(const AM_MEDIA_TYPE& mt);
    // The connection is gone.
    virtual void BreakConnect() {}
    // The first sample to arrive while paused, on the streaming thread.
    virtual void OnReceiveFirstSample(IMediaSample* sample, const SampleStamp& stamp);
    // A sample while running, on the streaming thread.
    virtual HRESULT DoRenderSample(IMediaSample* sample) = 0;

private:
    friend class RendererInputPin;
    HRESULT ReceiveSample(IMediaSample* sample);
    HRESULT OnEndOfStream();
    HRESULT OnBeginFlush();
    HRESULT OnEndFlush();
    HRESULT OnNewSegment(REFERENCE_TIME start);
    void NotifyComplete();  // EC_COMPLETE to the graph
    // A quality message upstream: frames that start before `time` are late.
    void AskUpstreamToDropBefore(REFERENCE_TIME time);

    const CLSID clsid_;
    RendererInputPin pin_;
    UpstreamSeekingPassThrough seeking_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    FILTER_STATE state_ = State_Stopped;
    bool flushing_ = false;
    bool awaitingSegment_ = false;   // after BeginFlush, until NewSegment
    bool endOfStream_ = false;
    bool completeSent_ = false;
    uint64_t generation_ = 0;        // raised by Stop and BeginFlush: a held sample must go
    REFERENCE_TIME segmentStart_ = 0;
    bool holding_ = false;           // a sample waits in ReceiveSample while paused
    REFERENCE_TIME heldStart_ = 0;
    REFERENCE_TIME heldDuration_ = 0;
    bool passingOver_ = false;       // decoding on: samples ending by passUntil_ are not held
    REFERENCE_TIME passUntil_ = 0;
    bool dropAskDue_ = false;        // decoding on after a seek: the decoder is not told yet
    bool segmentFirstSeen_ = false;
    REFERENCE_TIME segmentFirstStart_ = 0;
    REFERENCE_TIME segmentFirstStop_ = 0;
    bool passAfterSegment_ = false;  // the next segment is decoded on through to passAfterSegmentUntil_
    REFERENCE_TIME passAfterSegmentUntil_ = 0;
    bool haveStreamStart_ = false;
    REFERENCE_TIME streamStart_ = 0;
    std::wstring name_;
    IFilterGraph* graph_ = nullptr;  // not held: the graph holds us
    Microsoft::WRL::ComPtr<IReferenceClock> clock_;
};
