#include "testing/fault_codec/fault_source.h"

#include <uuids.h>
#include <atomic>
#include <chrono>

#include "common/scoped.h"
#include "service/dshow/enumerators.h"

using Microsoft::WRL::ComPtr;

namespace fault_codec {

// {6A1F3C52-84D9-4E07-B1A3-5C2E9D7F0B18}
const CLSID CLSID_FaultSource = {0x6a1f3c52, 0x84d9, 0x4e07, {0xb1, 0xa3, 0x5c, 0x2e, 0x9d, 0x7f, 0x0b, 0x18}};

namespace {
constexpr wchar_t kPinName[] = L"Out";
// How long after a faulting seek its frame arrives: the faulting thread is gone by then.
constexpr ULONGLONG kLateSampleMs = 300;

std::atomic<bool> g_crashed{false};  // crash_once: this process has crashed once

// Whether a seek or stream crash happens for a seek to this movie time.
bool CrashNow(const FaultScript& script, LONGLONG position) {
    if (!script.CrashesAt(position / 10000)) return false;
    return !script.crashOnce || !g_crashed.exchange(true);
}

// A real access violation (a write through a null pointer the compiler cannot see).
void Crash() {
    volatile int* volatile target = nullptr;
    *target = 1;
}
}  // namespace

// A sample whose data is handed over late: GetPointer makes the late_cue file and
// returns only once a seek has begun (or the stream stops). Everything else is the
// wrapped sample's.
class LateSample : public IMediaSample {
public:
    LateSample(ComPtr<IMediaSample> inner, FaultSourceFilter& filter) : inner_(std::move(inner)), filter_(filter) {}
    virtual ~LateSample() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid != IID_IUnknown && riid != IID_IMediaSample) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IMediaSample*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP GetPointer(BYTE** buffer) override {
        // Taken first: once the seek has begun the allocator is decommitted.
        const HRESULT hr = inner_->GetPointer(buffer);
        UniqueHandle marker(CreateFileW(filter_.script_.lateCueFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        marker.reset();
        filter_.WaitForSeekOrStop();
        return hr;
    }
    STDMETHODIMP_(long) GetSize() override { return inner_->GetSize(); }
    STDMETHODIMP GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override { return inner_->GetTime(start, end); }
    STDMETHODIMP SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override { return inner_->SetTime(start, end); }
    STDMETHODIMP IsSyncPoint() override { return inner_->IsSyncPoint(); }
    STDMETHODIMP SetSyncPoint(BOOL sync) override { return inner_->SetSyncPoint(sync); }
    STDMETHODIMP IsPreroll() override { return inner_->IsPreroll(); }
    STDMETHODIMP SetPreroll(BOOL preroll) override { return inner_->SetPreroll(preroll); }
    STDMETHODIMP_(long) GetActualDataLength() override { return inner_->GetActualDataLength(); }
    STDMETHODIMP SetActualDataLength(long length) override { return inner_->SetActualDataLength(length); }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** type) override { return inner_->GetMediaType(type); }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* type) override { return inner_->SetMediaType(type); }
    STDMETHODIMP IsDiscontinuity() override { return inner_->IsDiscontinuity(); }
    STDMETHODIMP SetDiscontinuity(BOOL discontinuity) override { return inner_->SetDiscontinuity(discontinuity); }
    STDMETHODIMP GetMediaTime(LONGLONG* start, LONGLONG* end) override { return inner_->GetMediaTime(start, end); }
    STDMETHODIMP SetMediaTime(LONGLONG* start, LONGLONG* end) override { return inner_->SetMediaTime(start, end); }

private:
    std::atomic<ULONG> refs_{1};
    ComPtr<IMediaSample> inner_;
    FaultSourceFilter& filter_;
};

// ---------------------------------------------------------------- pin

STDMETHODIMP FaultSourcePin::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPin) {
        *ppv = static_cast<IPin*>(this);
    } else if (riid == IID_IMediaSeeking) {
        *ppv = static_cast<IMediaSeeking*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}
STDMETHODIMP_(ULONG) FaultSourcePin::AddRef() { return filter_.AddRef(); }
STDMETHODIMP_(ULONG) FaultSourcePin::Release() { return filter_.Release(); }

STDMETHODIMP FaultSourcePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) {
    if (!receivePin) return E_POINTER;
    if (filter_.script_.crash == CrashPoint::Connect) Crash();
    if (filter_.script_.refuseTypes) return VFW_E_NO_ACCEPTABLE_TYPES;
    std::lock_guard<std::mutex> guard(filter_.stateLock_);
    if (filter_.connected_) return VFW_E_ALREADY_CONNECTED;
    if (mt && QueryAccept(mt) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
    HRESULT hr = receivePin->ReceiveConnection(this, &filter_.type_.get());
    if (FAILED(hr)) return hr;
    ComPtr<IMemInputPin> input;
    ComPtr<IMemAllocator> allocator;
    if (FAILED(receivePin->QueryInterface(IID_PPV_ARGS(&input)))) {
        receivePin->Disconnect();
        return VFW_E_NO_TRANSPORT;
    }
    if (FAILED(input->GetAllocator(&allocator)) &&
        FAILED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&allocator)))) {
        receivePin->Disconnect();
        return VFW_E_NO_ALLOCATOR;
    }
    ALLOCATOR_PROPERTIES wanted{1, FaultSourceFilter::kWidth * FaultSourceFilter::kHeight * 2, 1, 0}, actual{};
    hr = allocator->SetProperties(&wanted, &actual);
    if (SUCCEEDED(hr)) hr = input->NotifyAllocator(allocator.Get(), FALSE);
    if (FAILED(hr)) {
        receivePin->Disconnect();
        return hr;
    }
    filter_.connected_ = receivePin;
    filter_.input_ = input;
    filter_.allocator_ = allocator;
    return S_OK;
}

STDMETHODIMP FaultSourcePin::Disconnect() {
    std::lock_guard<std::mutex> guard(filter_.stateLock_);
    if (filter_.state_ != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!filter_.connected_) return S_FALSE;
    filter_.connected_.Reset();
    filter_.input_.Reset();
    filter_.allocator_.Reset();
    return S_OK;
}

STDMETHODIMP FaultSourcePin::ConnectedTo(IPin** pin) {
    if (!pin) return E_POINTER;
    *pin = filter_.connected_.Get();
    if (!*pin) return VFW_E_NOT_CONNECTED;
    (*pin)->AddRef();
    return S_OK;
}

STDMETHODIMP FaultSourcePin::ConnectionMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt) return E_POINTER;
    *mt = AM_MEDIA_TYPE{};
    if (!filter_.connected_) return VFW_E_NOT_CONNECTED;
    return CopyMediaType(mt, &filter_.type_.get());
}

STDMETHODIMP FaultSourcePin::QueryPinInfo(PIN_INFO* info) {
    return FillPinInfo(&filter_, PINDIR_OUTPUT, kPinName, info);
}

STDMETHODIMP FaultSourcePin::QueryDirection(PIN_DIRECTION* dir) { return dir ? (*dir = PINDIR_OUTPUT, S_OK) : E_POINTER; }

STDMETHODIMP FaultSourcePin::QueryId(LPWSTR* id) { return CoTaskMemString(kPinName, id); }

STDMETHODIMP FaultSourcePin::QueryAccept(const AM_MEDIA_TYPE* mt) {
    if (!mt) return E_POINTER;
    if (filter_.script_.refuseTypes) return S_FALSE;
    const AM_MEDIA_TYPE& ours = filter_.type_.get();
    const bool major = mt->majortype == GUID_NULL || mt->majortype == ours.majortype;
    const bool sub = mt->subtype == GUID_NULL || mt->subtype == ours.subtype;
    const bool format = mt->formattype == GUID_NULL || mt->formattype == ours.formattype;
    return major && sub && format ? S_OK : S_FALSE;
}

STDMETHODIMP FaultSourcePin::EnumMediaTypes(IEnumMediaTypes** types) {
    return NewMediaTypeEnumerator({filter_.type_}, types);
}

// Seeking in media time only, at rate 1; positions from 0 to the duration.
namespace {
constexpr DWORD kSeekingCaps =
    AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetCurrentPos | AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration;
bool IsMediaTime(const GUID* format) { return !format || *format == TIME_FORMAT_MEDIA_TIME; }
HRESULT Put(LONGLONG* out, LONGLONG value) { return out ? (*out = value, S_OK) : E_POINTER; }
}  // namespace

STDMETHODIMP FaultSourcePin::GetCapabilities(DWORD* caps) { return caps ? (*caps = kSeekingCaps, S_OK) : E_POINTER; }
STDMETHODIMP FaultSourcePin::CheckCapabilities(DWORD* caps) {
    if (!caps) return E_POINTER;
    const DWORD asked = *caps;
    *caps &= kSeekingCaps;
    return *caps == asked ? S_OK : (*caps ? S_FALSE : E_FAIL);
}
STDMETHODIMP FaultSourcePin::IsFormatSupported(const GUID* format) {
    return format && *format == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}
STDMETHODIMP FaultSourcePin::QueryPreferredFormat(GUID* format) {
    return format ? (*format = TIME_FORMAT_MEDIA_TIME, S_OK) : E_POINTER;
}
STDMETHODIMP FaultSourcePin::GetTimeFormat(GUID* format) { return QueryPreferredFormat(format); }
STDMETHODIMP FaultSourcePin::IsUsingTimeFormat(const GUID* format) { return IsFormatSupported(format); }
STDMETHODIMP FaultSourcePin::SetTimeFormat(const GUID* format) {
    return format && *format == TIME_FORMAT_MEDIA_TIME ? S_OK : E_INVALIDARG;
}
STDMETHODIMP FaultSourcePin::GetDuration(LONGLONG* duration) { return Put(duration, filter_.ReportedDuration()); }
STDMETHODIMP FaultSourcePin::GetStopPosition(LONGLONG* stop) { return Put(stop, filter_.ReportedDuration()); }
STDMETHODIMP FaultSourcePin::GetCurrentPosition(LONGLONG* current) {
    std::lock_guard<std::mutex> guard(filter_.streamLock_);
    return Put(current, filter_.position_);
}
STDMETHODIMP FaultSourcePin::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                               const GUID* sourceFormat) {
    if (!IsMediaTime(targetFormat) || !IsMediaTime(sourceFormat)) return target ? E_INVALIDARG : E_POINTER;
    return Put(target, source);
}
STDMETHODIMP FaultSourcePin::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG*, DWORD) {
    if ((currentFlags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_AbsolutePositioning) return S_OK;
    if (!current) return E_POINTER;
    return filter_.Seek(*current);
}
STDMETHODIMP FaultSourcePin::GetPositions(LONGLONG* current, LONGLONG* stop) {
    if (current) GetCurrentPosition(current);
    if (stop) *stop = filter_.ReportedDuration();
    return S_OK;
}
STDMETHODIMP FaultSourcePin::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
    if (earliest) *earliest = 0;
    if (latest) *latest = filter_.ReportedDuration();
    return S_OK;
}
STDMETHODIMP FaultSourcePin::SetRate(double rate) { return rate == 1.0 ? S_OK : E_INVALIDARG; }
STDMETHODIMP FaultSourcePin::GetRate(double* rate) { return rate ? (*rate = 1.0, S_OK) : E_POINTER; }
STDMETHODIMP FaultSourcePin::GetPreroll(LONGLONG* preroll) { return Put(preroll, 0); }

// ---------------------------------------------------------------- filter

FaultSourceFilter::FaultSourceFilter() : pin_(*this), name_(L"Fault Source") {
    VIDEOINFOHEADER vih{};
    vih.rcSource = {0, 0, kWidth, kHeight};
    vih.rcTarget = vih.rcSource;
    vih.AvgTimePerFrame = kFrameTime;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = kWidth;
    vih.bmiHeader.biHeight = kHeight;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 16;
    vih.bmiHeader.biCompression = MAKEFOURCC('Y', 'U', 'Y', '2');
    vih.bmiHeader.biSizeImage = static_cast<DWORD>(kWidth * kHeight * 2);
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_YUY2;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = vih.bmiHeader.biSizeImage;
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(vih);
    mt.pbFormat = reinterpret_cast<BYTE*>(&vih);
    type_ = OwnedMediaType(mt);  // deep copy: the block above is on the stack
}

FaultSourceFilter::~FaultSourceFilter() { StopStreaming(); }

STDMETHODIMP FaultSourceFilter::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) {
        *ppv = static_cast<IBaseFilter*>(this);
    } else if (riid == IID_IFileSourceFilter) {
        *ppv = static_cast<IFileSourceFilter*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}
STDMETHODIMP_(ULONG) FaultSourceFilter::AddRef() { return ++refs_; }
STDMETHODIMP_(ULONG) FaultSourceFilter::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}
STDMETHODIMP FaultSourceFilter::GetClassID(CLSID* clsid) { return clsid ? (*clsid = CLSID_FaultSource, S_OK) : E_POINTER; }

STDMETHODIMP FaultSourceFilter::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) {
    if (!fileName) return E_POINTER;
    FaultScript script;
    if (!LoadFaultScript(fileName, script)) return VFW_E_INVALID_FILE_FORMAT;
    if (script.hangInLoad)
        for (;;) Sleep(INFINITE);
    std::lock_guard<std::mutex> guard(stateLock_);
    if (connected_) return VFW_E_ALREADY_CONNECTED;
    fileName_ = fileName;
    script_ = script;
    return S_OK;
}

STDMETHODIMP FaultSourceFilter::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* mt) {
    if (!fileName) return E_POINTER;
    if (mt) {
        *mt = AM_MEDIA_TYPE{};
        mt->majortype = MEDIATYPE_Stream;
    }
    return CoTaskMemString(fileName_.c_str(), fileName);
}

STDMETHODIMP FaultSourceFilter::Stop() {
    if (script_.crash == CrashPoint::Stop) Crash();
    std::lock_guard<std::mutex> guard(stateLock_);
    StopStreaming();
    state_ = State_Stopped;
    return S_OK;
}

STDMETHODIMP FaultSourceFilter::Pause() {
    std::lock_guard<std::mutex> guard(stateLock_);
    if (state_ == State_Stopped) StartStreaming(false);
    state_ = State_Paused;
    return S_OK;
}

STDMETHODIMP FaultSourceFilter::Run(REFERENCE_TIME) {
    std::lock_guard<std::mutex> guard(stateLock_);
    if (state_ == State_Stopped) StartStreaming(false);
    state_ = State_Running;
    return S_OK;
}

STDMETHODIMP FaultSourceFilter::GetState(DWORD, FILTER_STATE* state) {
    if (!state) return E_POINTER;
    std::lock_guard<std::mutex> guard(stateLock_);
    *state = state_;
    return S_OK;
}

STDMETHODIMP FaultSourceFilter::GetSyncSource(IReferenceClock** clock) { return clock ? (*clock = nullptr, S_OK) : E_POINTER; }

STDMETHODIMP FaultSourceFilter::EnumPins(IEnumPins** pins) {
    return NewPinEnumerator({ComPtr<IPin>(static_cast<IPin*>(&pin_))}, pins);
}

STDMETHODIMP FaultSourceFilter::FindPin(LPCWSTR id, IPin** pin) {
    return FindOnlyPin(static_cast<IPin*>(&pin_), kPinName, id, pin);
}

STDMETHODIMP FaultSourceFilter::QueryFilterInfo(FILTER_INFO* info) {
    return FillFilterInfo(name_, graph_, info);
}

STDMETHODIMP FaultSourceFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
    graph_ = graph;
    if (name) name_ = name;
    return S_OK;
}

int FaultSourceFilter::LumaOfFrame(int64_t index) { return 16 + static_cast<int>((index * 7) % 220); }

int FaultSourceFilter::GreyOfFrame(int64_t index) {
    const int v = (298 * (LumaOfFrame(index) - 16) + 128) >> 8;
    return v > 255 ? 255 : v;
}

void FaultSourceFilter::StartStreaming(bool afterSeek) {
    if (!input_ || thread_.joinable()) return;
    allocator_->Commit();
    LONGLONG start;
    {
        std::lock_guard<std::mutex> guard(streamLock_);
        stopStream_ = false;
        if (!afterSeek) seekBegun_ = false;
        start = position_;
        if (firstStartTick_ == 0) firstStartTick_ = GetTickCount64();
    }
    thread_ = std::thread([this, start, afterSeek] { Stream(start, afterSeek); });
}

void FaultSourceFilter::StopStreaming() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(streamLock_);
        stopStream_ = true;
    }
    streamChanged_.notify_all();
    if (allocator_) allocator_->Decommit();  // a GetBuffer in progress returns
    thread_.join();
}

HRESULT FaultSourceFilter::Seek(LONGLONG position) {
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        const bool streaming = thread_.joinable();
        {
            std::lock_guard<std::mutex> lock(streamLock_);
            seekBegun_ = true;
        }
        streamChanged_.notify_all();
        if (streaming) {
            connected_->BeginFlush();
            StopStreaming();
            connected_->EndFlush();
        }
        {
            std::lock_guard<std::mutex> lock(streamLock_);
            position_ = position < 0 ? 0 : position;
        }
        if (streaming) StartStreaming(true);
    }
    // The stream goes on and delivers this seek's frame after the caller is gone.
    if (script_.crash == CrashPoint::Seek && CrashNow(script_, position)) Crash();
    return S_OK;
}

void FaultSourceFilter::WaitForSeekOrStop() {
    std::unique_lock<std::mutex> lock(streamLock_);
    streamChanged_.wait(lock, [&] { return seekBegun_ || stopStream_; });
}

bool FaultSourceFilter::WaitUntilDeliverable(int64_t movieMs, ULONGLONG minimumWaitMs) {
    const ULONGLONG heldSince = GetTickCount64();
    std::unique_lock<std::mutex> lock(streamLock_);
    for (;;) {
        if (stopStream_) return false;
        const ULONGLONG now = GetTickCount64();
        bool held = now - heldSince < minimumWaitMs ||
                    now - firstStartTick_ < static_cast<ULONGLONG>(script_.firstFrameDelayMs);
        if (!held && script_.Stalls(movieMs)) {
            const bool timeUp = script_.stallForMs >= 0 && now - heldSince >= static_cast<ULONGLONG>(script_.stallForMs);
            const bool released = !script_.releaseFile.empty() &&
                                  GetFileAttributesW(script_.releaseFile.c_str()) != INVALID_FILE_ATTRIBUTES;
            held = !timeUp && !released;
        }
        if (!held) return true;
        streamChanged_.wait_for(lock, std::chrono::milliseconds(20));
    }
}

void FaultSourceFilter::Stream(LONGLONG start, bool afterSeek) {
    if (!(afterSeek && script_.noNewSegment)) connected_->NewSegment(start, kDuration, 1.0);
    const size_t bytes = static_cast<size_t>(kWidth) * kHeight * 2;
    bool first = true;
    for (int64_t index = start / kFrameTime; index * kFrameTime < kDuration; ++index, first = false) {
        const bool lateSample = first && afterSeek && script_.crash == CrashPoint::Seek && script_.CrashesAt(start / 10000);
        if (!WaitUntilDeliverable(index * kFrameTime / 10000, lateSample ? kLateSampleMs : 0)) return;
        if (first && afterSeek && script_.crash == CrashPoint::Stream && CrashNow(script_, start)) Crash();
        ComPtr<IMediaSample> sample;
        if (FAILED(allocator_->GetBuffer(&sample, nullptr, nullptr, 0))) return;
        BYTE* data = nullptr;
        if (FAILED(sample->GetPointer(&data)) || static_cast<size_t>(sample->GetSize()) < bytes) return;
        const BYTE luma = static_cast<BYTE>(LumaOfFrame(index));
        for (size_t i = 0; i < bytes; i += 4) {
            data[i] = luma;
            data[i + 1] = 128;
            data[i + 2] = luma;
            data[i + 3] = 128;
        }
        sample->SetActualDataLength(static_cast<long>(bytes));
        REFERENCE_TIME begin = index * kFrameTime - start, end = begin + kFrameTime;
        sample->SetTime(&begin, &end);
        sample->SetSyncPoint(TRUE);
        if (!script_.lateCueFile.empty() && !afterSeek) sample = AdoptComRef<IMediaSample>(new LateSample(sample, *this));
        const HRESULT hr = input_->Receive(sample.Get());
        if (hr != S_OK) return;  // flushing or stopping; a seek starts us again
    }
    connected_->EndOfStream();
}

}  // namespace fault_codec
