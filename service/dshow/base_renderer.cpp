#include "service/dshow/base_renderer.h"

#include <new>
#include <vector>

#include "service/dshow/enumerators.h"

using Microsoft::WRL::ComPtr;

namespace {
constexpr wchar_t kPinName[] = L"In";
}  // namespace

// ---------------------------------------------------------------- RendererInputPin

RendererInputPin::RendererInputPin(BaseRendererFilter& filter) : filter_(filter) {}

STDMETHODIMP RendererInputPin::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPin) {
        *ppv = static_cast<IPin*>(this);
    } else if (riid == IID_IMemInputPin) {
        *ppv = static_cast<IMemInputPin*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}
STDMETHODIMP_(ULONG) RendererInputPin::AddRef() { return filter_.AddRef(); }
STDMETHODIMP_(ULONG) RendererInputPin::Release() { return filter_.Release(); }

STDMETHODIMP RendererInputPin::Connect(IPin*, const AM_MEDIA_TYPE*) {
    // Input pins only receive connections.
    return E_UNEXPECTED;
}

STDMETHODIMP RendererInputPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) {
    if (!connector || !mt) return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    if (connected_) return VFW_E_ALREADY_CONNECTED;
    if (filter_.State() != State_Stopped) return VFW_E_NOT_STOPPED;
    PIN_DIRECTION dir = PINDIR_INPUT;
    if (FAILED(connector->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) return VFW_E_INVALID_DIRECTION;
    if (filter_.CheckMediaType(*mt) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
    const HRESULT hr = filter_.SetMediaType(*mt);
    if (FAILED(hr)) return hr;
    connected_ = connector;
    connectedType_ = OwnedMediaType(*mt);
    return S_OK;
}

STDMETHODIMP RendererInputPin::Disconnect() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (filter_.State() != State_Stopped) return VFW_E_NOT_STOPPED;
        if (!connected_) return S_FALSE;
        connected_.Reset();
        connectedType_.reset();
        allocator_.Reset();
    }
    filter_.BreakConnect();
    return S_OK;
}

STDMETHODIMP RendererInputPin::ConnectedTo(IPin** pin) {
    if (!pin) return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    *pin = connected_.Get();
    if (!*pin) return VFW_E_NOT_CONNECTED;
    (*pin)->AddRef();
    return S_OK;
}

STDMETHODIMP RendererInputPin::ConnectionMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt) return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    *mt = AM_MEDIA_TYPE{};
    if (!connected_) return VFW_E_NOT_CONNECTED;
    return CopyMediaType(mt, &connectedType_.get());
}

STDMETHODIMP RendererInputPin::QueryPinInfo(PIN_INFO* info) {
    return FillPinInfo(&filter_, PINDIR_INPUT, kPinName, info);
}

STDMETHODIMP RendererInputPin::QueryDirection(PIN_DIRECTION* dir) {
    if (!dir) return E_POINTER;
    *dir = PINDIR_INPUT;
    return S_OK;
}

STDMETHODIMP RendererInputPin::QueryId(LPWSTR* id) { return CoTaskMemString(kPinName, id); }

STDMETHODIMP RendererInputPin::QueryAccept(const AM_MEDIA_TYPE* mt) {
    if (!mt) return E_POINTER;
    return filter_.CheckMediaType(*mt) == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP RendererInputPin::EnumMediaTypes(IEnumMediaTypes** types) {
    // A renderer proposes nothing; the upstream pin offers and we accept or refuse.
    return NewMediaTypeEnumerator({}, types);
}

STDMETHODIMP RendererInputPin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }
STDMETHODIMP RendererInputPin::EndOfStream() { return filter_.OnEndOfStream(); }
STDMETHODIMP RendererInputPin::BeginFlush() { return filter_.OnBeginFlush(); }
STDMETHODIMP RendererInputPin::EndFlush() { return filter_.OnEndFlush(); }
STDMETHODIMP RendererInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME, double) {
    return filter_.OnNewSegment(start);
}

STDMETHODIMP RendererInputPin::GetAllocator(IMemAllocator** allocator) {
    if (!allocator) return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    if (!allocator_) {
        const HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_PPV_ARGS(allocator_.ReleaseAndGetAddressOf()));
        if (FAILED(hr)) {
            *allocator = nullptr;
            return hr;
        }
    }
    *allocator = allocator_.Get();
    (*allocator)->AddRef();
    return S_OK;
}

STDMETHODIMP RendererInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL) {
    if (!allocator) return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    allocator_ = allocator;
    return S_OK;
}

STDMETHODIMP RendererInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) { return E_NOTIMPL; }
STDMETHODIMP RendererInputPin::Receive(IMediaSample* sample) {
    if (!sample) return E_POINTER;
    return filter_.ReceiveSample(sample);
}
STDMETHODIMP RendererInputPin::ReceiveMultiple(IMediaSample** samples, long count, long* processed) {
    if (!samples || !processed) return E_POINTER;
    *processed = 0;
    HRESULT hr = S_OK;
    while (*processed < count) {
        hr = Receive(samples[*processed]);
        if (hr != S_OK) break;
        ++*processed;
    }
    return hr;
}
STDMETHODIMP RendererInputPin::ReceiveCanBlock() { return S_OK; }

ComPtr<IPin> RendererInputPin::Upstream() const {
    std::lock_guard<std::mutex> guard(lock_);
    return connected_;
}

bool RendererInputPin::IsConnected() const {
    std::lock_guard<std::mutex> guard(lock_);
    return connected_ != nullptr;
}

void RendererInputPin::Deactivate() {
    ComPtr<IMemAllocator> allocator;
    {
        std::lock_guard<std::mutex> guard(lock_);
        allocator = allocator_;
    }
    if (allocator) allocator->Decommit();
}

// ---------------------------------------------------------------- UpstreamSeekingPassThrough

ComPtr<IMediaSeeking> UpstreamSeekingPassThrough::Upstream() const {
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IPin> upstream = pin_.Upstream();
    if (upstream) upstream.As(&seeking);
    return seeking;
}

#define FORWARD_SEEKING(call)                          \
    ComPtr<IMediaSeeking> upstream = Upstream();       \
    if (!upstream) return VFW_E_NOT_CONNECTED;         \
    return upstream->call

STDMETHODIMP UpstreamSeekingPassThrough::GetCapabilities(DWORD* caps) { FORWARD_SEEKING(GetCapabilities(caps)); }
STDMETHODIMP UpstreamSeekingPassThrough::CheckCapabilities(DWORD* caps) { FORWARD_SEEKING(CheckCapabilities(caps)); }
STDMETHODIMP UpstreamSeekingPassThrough::IsFormatSupported(const GUID* format) { FORWARD_SEEKING(IsFormatSupported(format)); }
STDMETHODIMP UpstreamSeekingPassThrough::QueryPreferredFormat(GUID* format) { FORWARD_SEEKING(QueryPreferredFormat(format)); }
STDMETHODIMP UpstreamSeekingPassThrough::GetTimeFormat(GUID* format) { FORWARD_SEEKING(GetTimeFormat(format)); }
STDMETHODIMP UpstreamSeekingPassThrough::IsUsingTimeFormat(const GUID* format) { FORWARD_SEEKING(IsUsingTimeFormat(format)); }
STDMETHODIMP UpstreamSeekingPassThrough::SetTimeFormat(const GUID* format) { FORWARD_SEEKING(SetTimeFormat(format)); }
STDMETHODIMP UpstreamSeekingPassThrough::GetDuration(LONGLONG* duration) { FORWARD_SEEKING(GetDuration(duration)); }
STDMETHODIMP UpstreamSeekingPassThrough::GetStopPosition(LONGLONG* stop) { FORWARD_SEEKING(GetStopPosition(stop)); }
STDMETHODIMP UpstreamSeekingPassThrough::GetCurrentPosition(LONGLONG* current) { FORWARD_SEEKING(GetCurrentPosition(current)); }
STDMETHODIMP UpstreamSeekingPassThrough::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat,
                                                           LONGLONG source, const GUID* sourceFormat) {
    FORWARD_SEEKING(ConvertTimeFormat(target, targetFormat, source, sourceFormat));
}
STDMETHODIMP UpstreamSeekingPassThrough::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                                      DWORD stopFlags) {
    FORWARD_SEEKING(SetPositions(current, currentFlags, stop, stopFlags));
}
STDMETHODIMP UpstreamSeekingPassThrough::GetPositions(LONGLONG* current, LONGLONG* stop) { FORWARD_SEEKING(GetPositions(current, stop)); }
STDMETHODIMP UpstreamSeekingPassThrough::GetAvailable(LONGLONG* earliest, LONGLONG* latest) { FORWARD_SEEKING(GetAvailable(earliest, latest)); }
STDMETHODIMP UpstreamSeekingPassThrough::SetRate(double rate) { FORWARD_SEEKING(SetRate(rate)); }
STDMETHODIMP UpstreamSeekingPassThrough::GetRate(double* rate) { FORWARD_SEEKING(GetRate(rate)); }
STDMETHODIMP UpstreamSeekingPassThrough::GetPreroll(LONGLONG* preroll) { FORWARD_SEEKING(GetPreroll(preroll)); }

#undef FORWARD_SEEKING

// ---------------------------------------------------------------- BaseRendererFilter

namespace {
// Frames before the time decoding on goes to that the decoder may still output: the frame
// that covers the time starts before it, and with two frames' margin Wine's decoder was
// seen to drop a B-frame that covered it (the frame source checks each frame and seeks
// when one is missed).
constexpr REFERENCE_TIME kDropMarginFrames = 4;
}  // namespace

BaseRendererFilter::BaseRendererFilter(const CLSID& clsid, const std::wstring& name)
    : clsid_(clsid), pin_(*this), seeking_(*static_cast<IBaseFilter*>(this), pin_), name_(name) {}

BaseRendererFilter::~BaseRendererFilter() = default;

void* BaseRendererFilter::Interface(REFIID riid) {
    if (riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) return static_cast<IBaseFilter*>(this);
    if (riid == IID_IAMFilterMiscFlags) return static_cast<IAMFilterMiscFlags*>(this);
    if (riid == IID_IMediaSeeking) return static_cast<IMediaSeeking*>(&seeking_);
    return nullptr;
}

STDMETHODIMP BaseRendererFilter::GetClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = clsid_;
    return S_OK;
}

STDMETHODIMP BaseRendererFilter::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        state_ = State_Stopped;
        endOfStream_ = false;
        completeSent_ = false;
        flushing_ = false;
        awaitingSegment_ = false;
        passingOver_ = false;
        passAfterSegment_ = false;
        ++generation_;
    }
    changed_.notify_all();
    pin_.Deactivate();
    return S_OK;
}

STDMETHODIMP BaseRendererFilter::Pause() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (state_ == State_Stopped) {
            endOfStream_ = false;
            completeSent_ = false;
        }
        state_ = State_Paused;
    }
    changed_.notify_all();
    return S_OK;
}

STDMETHODIMP BaseRendererFilter::Run(REFERENCE_TIME) {
    bool complete = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (state_ == State_Stopped) {
            endOfStream_ = false;
            completeSent_ = false;
        }
        state_ = State_Running;
        complete = endOfStream_ && !completeSent_;
        if (complete) completeSent_ = true;
    }
    changed_.notify_all();
    if (complete) NotifyComplete();
    return S_OK;
}

STDMETHODIMP BaseRendererFilter::GetState(DWORD, FILTER_STATE* state) {
    if (!state) return E_POINTER;
    // The transition is reported complete at once: our callers keep their own time limits
    // for the sample, and an intermediate answer would make the graph wait here instead.
    *state = State();
    return S_OK;
}

STDMETHODIMP BaseRendererFilter::SetSyncSource(IReferenceClock* clock) {
    std::lock_guard<std::mutex> guard(lock_);
    clock_ = clock;
    return S_OK;
}

STDMETHODIMP BaseRendererFilter::GetSyncSource(IReferenceClock** clock) {
    if (!clock) return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    *clock = clock_.Get();
    if (*clock) (*clock)->AddRef();
    return S_OK;
}

STDMETHODIMP BaseRendererFilter::EnumPins(IEnumPins** pins) {
    return NewPinEnumerator({ComPtr<IPin>(static_cast<IPin*>(&pin_))}, pins);
}

STDMETHODIMP BaseRendererFilter::FindPin(LPCWSTR id, IPin** pin) {
    return FindOnlyPin(static_cast<IPin*>(&pin_), kPinName, id, pin);
}

STDMETHODIMP BaseRendererFilter::QueryFilterInfo(FILTER_INFO* info) {
    std::lock_guard<std::mutex> guard(lock_);
    return FillFilterInfo(name_, graph_, info);
}

STDMETHODIMP BaseRendererFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
    std::lock_guard<std::mutex> guard(lock_);
    graph_ = graph;
    if (name) name_ = name;
    return S_OK;
}

STDMETHODIMP BaseRendererFilter::QueryVendorInfo(LPWSTR*) { return E_NOTIMPL; }

STDMETHODIMP_(ULONG) BaseRendererFilter::GetMiscFlags() { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

FILTER_STATE BaseRendererFilter::State() const {
    std::lock_guard<std::mutex> guard(lock_);
    return state_;
}

HRESULT BaseRendererFilter::SetMediaType(const AM_MEDIA_TYPE&) { return S_OK; }
void BaseRendererFilter::OnReceiveFirstSample(IMediaSample*, const SampleStamp&) {}

uint64_t BaseRendererFilter::SeekGeneration() const {
    std::lock_guard<std::mutex> guard(lock_);
    return generation_;
}

bool BaseRendererFilter::StreamStartTime(REFERENCE_TIME* time) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (haveStreamStart_ && time) *time = streamStart_;
    return haveStreamStart_;
}

HRESULT BaseRendererFilter::ReceiveSample(IMediaSample* sample) {
    std::unique_lock<std::mutex> guard(lock_);
    if (state_ == State_Stopped) return VFW_E_WRONG_STATE;
    if (flushing_ || awaitingSegment_) return S_FALSE;
    if (endOfStream_) return VFW_E_SAMPLE_REJECTED_EOS;
    if (generation_ == 0 && !haveStreamStart_) {
        REFERENCE_TIME start = 0, stop = 0;
        if (FAILED(sample->GetTime(&start, &stop))) start = 0;
        streamStart_ = segmentStart_ + start;
        haveStreamStart_ = true;
    }
    if (state_ == State_Paused) {
        REFERENCE_TIME start = 0, stop = 0;
        const HRESULT timed = sample->GetTime(&start, &stop);
        if (!segmentFirstSeen_ && timed == S_OK) {
            segmentFirstSeen_ = true;
            segmentFirstStart_ = segmentStart_ + start;
            segmentFirstStop_ = segmentStart_ + stop;
        }
        if (passingOver_) {
            // Without a stop time a sample counts as ending just after its start; one
            // without any time stamp cannot be placed and is held.
            if (SUCCEEDED(timed) && segmentStart_ + (timed == S_OK ? stop : start + 1) <= passUntil_) {
                // The seek's segment has reached the decoder by now, so the message is read
                // on its clock.
                const bool ask = dropAskDue_;
                dropAskDue_ = false;
                const REFERENCE_TIME before = passUntil_ - kDropMarginFrames * (timed == S_OK ? stop - start : 0);
                guard.unlock();
                if (ask) AskUpstreamToDropBefore(before);
                return S_OK;
            }
            passingOver_ = false;
            dropAskDue_ = false;
        }
        SampleStamp stamp;
        stamp.generation = generation_;
        stamp.segmentStart = segmentStart_;
        guard.unlock();
        OnReceiveFirstSample(sample, stamp);
        guard.lock();
        // Hold the sample (and so the stream) until it is let go or played.
        holding_ = generation_ == stamp.generation && state_ == State_Paused && SUCCEEDED(timed);
        heldStart_ = segmentStart_ + start;
        heldDuration_ = timed == S_OK ? stop - start : 0;
        changed_.wait(guard, [&] { return generation_ != stamp.generation || state_ == State_Running; });
        holding_ = false;
        // Let go by decoding on, the stream goes on; by a flush or stop, it ends here.
        if (generation_ != stamp.generation) return flushing_ || state_ == State_Stopped ? S_FALSE : S_OK;
    }
    guard.unlock();
    return DoRenderSample(sample);
}

bool BaseRendererFilter::DecodeOnTo(REFERENCE_TIME heldStart, REFERENCE_TIME time) {
    REFERENCE_TIME duration = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (state_ != State_Paused || !holding_ || heldStart_ != heldStart || flushing_ || awaitingSegment_)
            return false;
        duration = heldDuration_;
    }
    // Told while the sample is held: nothing it decodes meanwhile is lost.
    AskUpstreamToDropBefore(time - kDropMarginFrames * duration);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (state_ != State_Paused || !holding_ || heldStart_ != heldStart) return false;
        passingOver_ = true;
        passUntil_ = time;
        dropAskDue_ = false;
        holding_ = false;
        ++generation_;
    }
    changed_.notify_all();
    return true;
}

bool BaseRendererFilter::SegmentFirstSample(REFERENCE_TIME* start, REFERENCE_TIME* stop) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (segmentFirstSeen_) {
        *start = segmentFirstStart_;
        *stop = segmentFirstStop_;
    }
    return segmentFirstSeen_;
}

void BaseRendererFilter::DecodeOnAfterNextSegment(bool on, REFERENCE_TIME time) {
    std::lock_guard<std::mutex> guard(lock_);
    passAfterSegment_ = on;
    passAfterSegmentUntil_ = time;
}

void BaseRendererFilter::AskUpstreamToDropBefore(REFERENCE_TIME time) {
    ComPtr<IPin> upstream = pin_.Upstream();
    ComPtr<IQualityControl> quality;
    if (!upstream || FAILED(upstream.As(&quality))) return;
    Quality late{};
    late.Type = Flood;
    late.Proportion = 1000;  // no faster than real time: only the time matters
    late.Late = 0;
    late.TimeStamp = time;
    quality->Notify(static_cast<IBaseFilter*>(this), late);
}

HRESULT BaseRendererFilter::OnEndOfStream() {
    bool complete = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (state_ == State_Stopped) return VFW_E_WRONG_STATE;
        if (flushing_) return S_FALSE;
        endOfStream_ = true;
        complete = state_ == State_Running && !completeSent_;
        if (complete) completeSent_ = true;
    }
    if (complete) NotifyComplete();
    return S_OK;
}

HRESULT BaseRendererFilter::OnBeginFlush() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        flushing_ = true;
        awaitingSegment_ = true;
        passingOver_ = false;
        dropAskDue_ = false;
        endOfStream_ = false;
        completeSent_ = false;
        ++generation_;
    }
    changed_.notify_all();
    return S_OK;
}

HRESULT BaseRendererFilter::OnEndFlush() {
    std::lock_guard<std::mutex> guard(lock_);
    flushing_ = false;
    return S_OK;
}

HRESULT BaseRendererFilter::OnNewSegment(REFERENCE_TIME start) {
    std::lock_guard<std::mutex> guard(lock_);
    // One announced during a flush belongs to the stream being flushed (Wine's splitter
    // does that now and then): the seek's own segment comes after EndFlush.
    if (flushing_) return S_OK;
    awaitingSegment_ = false;
    segmentStart_ = start;
    segmentFirstSeen_ = false;
    if (passAfterSegment_) {
        passAfterSegment_ = false;
        passingOver_ = true;
        passUntil_ = passAfterSegmentUntil_;
        dropAskDue_ = true;
    }
    return S_OK;
}

void BaseRendererFilter::NotifyComplete() {
    IFilterGraph* graph = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        graph = graph_;
    }
    ComPtr<IMediaEventSink> sink;
    if (graph && SUCCEEDED(graph->QueryInterface(IID_PPV_ARGS(&sink)))) {
        sink->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
    }
}
