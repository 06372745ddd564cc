#include "tests/support/stall_source.h"

#include <uuids.h>

#include "service/dshow/enumerators.h"

using Microsoft::WRL::ComPtr;

namespace testing_support {

namespace {
constexpr wchar_t kPinName[] = L"Out";
// {5D8E0C51-7A43-4B0E-9C1D-2F6B3E8A4D70}, for GetClassID only.
const CLSID kStallSourceClsid = {0x5d8e0c51, 0x7a43, 0x4b0e, {0x9c, 0x1d, 0x2f, 0x6b, 0x3e, 0x8a, 0x4d, 0x70}};
}  // namespace

// ---------------------------------------------------------------- pin

STDMETHODIMP StallSourcePin::QueryInterface(REFIID riid, void** ppv) {
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
STDMETHODIMP_(ULONG) StallSourcePin::AddRef() { return filter_.AddRef(); }
STDMETHODIMP_(ULONG) StallSourcePin::Release() { return filter_.Release(); }

STDMETHODIMP StallSourcePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) {
    if (!receivePin) return E_POINTER;
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
    ALLOCATOR_PROPERTIES wanted{1, filter_.width_ * filter_.height_ * 2, 1, 0}, actual{};
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

STDMETHODIMP StallSourcePin::Disconnect() {
    std::lock_guard<std::mutex> guard(filter_.stateLock_);
    if (filter_.state_ != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!filter_.connected_) return S_FALSE;
    filter_.connected_.Reset();
    filter_.input_.Reset();
    filter_.allocator_.Reset();
    return S_OK;
}

STDMETHODIMP StallSourcePin::ConnectedTo(IPin** pin) {
    if (!pin) return E_POINTER;
    *pin = filter_.connected_.Get();
    if (!*pin) return VFW_E_NOT_CONNECTED;
    (*pin)->AddRef();
    return S_OK;
}

STDMETHODIMP StallSourcePin::ConnectionMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt) return E_POINTER;
    *mt = AM_MEDIA_TYPE{};
    if (!filter_.connected_) return VFW_E_NOT_CONNECTED;
    return CopyMediaType(mt, &filter_.type_.get());
}

STDMETHODIMP StallSourcePin::QueryPinInfo(PIN_INFO* info) {
    return FillPinInfo(&filter_, PINDIR_OUTPUT, kPinName, info);
}

STDMETHODIMP StallSourcePin::QueryDirection(PIN_DIRECTION* dir) { return dir ? (*dir = PINDIR_OUTPUT, S_OK) : E_POINTER; }

STDMETHODIMP StallSourcePin::QueryId(LPWSTR* id) { return CoTaskMemString(kPinName, id); }

STDMETHODIMP StallSourcePin::QueryAccept(const AM_MEDIA_TYPE* mt) {
    if (!mt) return E_POINTER;
    const AM_MEDIA_TYPE& ours = filter_.type_.get();
    const bool major = mt->majortype == GUID_NULL || mt->majortype == ours.majortype;
    const bool sub = mt->subtype == GUID_NULL || mt->subtype == ours.subtype;
    const bool format = mt->formattype == GUID_NULL || mt->formattype == ours.formattype;
    return major && sub && format ? S_OK : S_FALSE;
}

STDMETHODIMP StallSourcePin::EnumMediaTypes(IEnumMediaTypes** types) {
    return NewMediaTypeEnumerator({filter_.type_}, types);
}

// Seeking in media time only, at rate 1; positions from 0 to the duration.
namespace {
constexpr DWORD kSeekingCaps =
    AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetCurrentPos | AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration;
bool IsMediaTime(const GUID* format) { return !format || *format == TIME_FORMAT_MEDIA_TIME; }
HRESULT Put(LONGLONG* out, LONGLONG value) { return out ? (*out = value, S_OK) : E_POINTER; }
}  // namespace

STDMETHODIMP StallSourcePin::GetCapabilities(DWORD* caps) { return caps ? (*caps = kSeekingCaps, S_OK) : E_POINTER; }
STDMETHODIMP StallSourcePin::CheckCapabilities(DWORD* caps) {
    if (!caps) return E_POINTER;
    const DWORD asked = *caps;
    *caps &= kSeekingCaps;
    return *caps == asked ? S_OK : (*caps ? S_FALSE : E_FAIL);
}
STDMETHODIMP StallSourcePin::IsFormatSupported(const GUID* format) {
    return format && *format == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}
STDMETHODIMP StallSourcePin::QueryPreferredFormat(GUID* format) {
    return format ? (*format = TIME_FORMAT_MEDIA_TIME, S_OK) : E_POINTER;
}
STDMETHODIMP StallSourcePin::GetTimeFormat(GUID* format) { return QueryPreferredFormat(format); }
STDMETHODIMP StallSourcePin::IsUsingTimeFormat(const GUID* format) { return IsFormatSupported(format); }
STDMETHODIMP StallSourcePin::SetTimeFormat(const GUID* format) {
    return format && *format == TIME_FORMAT_MEDIA_TIME ? S_OK : E_INVALIDARG;
}
STDMETHODIMP StallSourcePin::GetDuration(LONGLONG* duration) { return Put(duration, filter_.duration_); }
STDMETHODIMP StallSourcePin::GetStopPosition(LONGLONG* stop) { return Put(stop, filter_.duration_); }
STDMETHODIMP StallSourcePin::GetCurrentPosition(LONGLONG* current) {
    std::lock_guard<std::mutex> guard(filter_.streamLock_);
    return Put(current, filter_.position_);
}
STDMETHODIMP StallSourcePin::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                               const GUID* sourceFormat) {
    if (!IsMediaTime(targetFormat) || !IsMediaTime(sourceFormat)) return target ? E_INVALIDARG : E_POINTER;
    return Put(target, source);
}
STDMETHODIMP StallSourcePin::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG*, DWORD) {
    if ((currentFlags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_AbsolutePositioning) return S_OK;
    if (!current) return E_POINTER;
    return filter_.Seek(*current);
}
STDMETHODIMP StallSourcePin::GetPositions(LONGLONG* current, LONGLONG* stop) {
    if (current) GetCurrentPosition(current);
    if (stop) *stop = filter_.duration_;
    return S_OK;
}
STDMETHODIMP StallSourcePin::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
    if (earliest) *earliest = 0;
    if (latest) *latest = filter_.duration_;
    return S_OK;
}
STDMETHODIMP StallSourcePin::SetRate(double rate) { return rate == 1.0 ? S_OK : E_INVALIDARG; }
STDMETHODIMP StallSourcePin::GetRate(double* rate) { return rate ? (*rate = 1.0, S_OK) : E_POINTER; }
STDMETHODIMP StallSourcePin::GetPreroll(LONGLONG* preroll) { return Put(preroll, 0); }

// ---------------------------------------------------------------- filter

StallSourceFilter::StallSourceFilter(int width, int height, LONGLONG duration)
    : pin_(*this), width_(width), height_(height), duration_(duration), name_(L"Stall Source") {
    VIDEOINFOHEADER vih{};
    vih.rcSource = {0, 0, width, height};
    vih.rcTarget = vih.rcSource;
    vih.AvgTimePerFrame = kFrameTime;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 16;
    vih.bmiHeader.biCompression = MAKEFOURCC('Y', 'U', 'Y', '2');
    vih.bmiHeader.biSizeImage = static_cast<DWORD>(width * height * 2);
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

StallSourceFilter::~StallSourceFilter() { StopStreaming(); }

STDMETHODIMP StallSourceFilter::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) {
        *ppv = static_cast<IBaseFilter*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}
STDMETHODIMP_(ULONG) StallSourceFilter::AddRef() { return ++refs_; }
STDMETHODIMP_(ULONG) StallSourceFilter::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}
STDMETHODIMP StallSourceFilter::GetClassID(CLSID* clsid) { return clsid ? (*clsid = kStallSourceClsid, S_OK) : E_POINTER; }

STDMETHODIMP StallSourceFilter::Stop() {
    std::lock_guard<std::mutex> guard(stateLock_);
    StopStreaming();
    state_ = State_Stopped;
    return S_OK;
}

STDMETHODIMP StallSourceFilter::Pause() {
    std::lock_guard<std::mutex> guard(stateLock_);
    if (state_ == State_Stopped) StartStreaming();
    state_ = State_Paused;
    return S_OK;
}

STDMETHODIMP StallSourceFilter::Run(REFERENCE_TIME) {
    std::lock_guard<std::mutex> guard(stateLock_);
    if (state_ == State_Stopped) StartStreaming();
    state_ = State_Running;
    return S_OK;
}

STDMETHODIMP StallSourceFilter::GetState(DWORD, FILTER_STATE* state) {
    if (!state) return E_POINTER;
    std::lock_guard<std::mutex> guard(stateLock_);
    *state = state_;
    return S_OK;
}

STDMETHODIMP StallSourceFilter::GetSyncSource(IReferenceClock** clock) { return clock ? (*clock = nullptr, S_OK) : E_POINTER; }

STDMETHODIMP StallSourceFilter::EnumPins(IEnumPins** pins) {
    return NewPinEnumerator({ComPtr<IPin>(static_cast<IPin*>(&pin_))}, pins);
}

STDMETHODIMP StallSourceFilter::FindPin(LPCWSTR id, IPin** pin) {
    return FindOnlyPin(static_cast<IPin*>(&pin_), kPinName, id, pin);
}

STDMETHODIMP StallSourceFilter::QueryFilterInfo(FILTER_INFO* info) {
    return FillFilterInfo(name_, graph_, info);
}

STDMETHODIMP StallSourceFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
    graph_ = graph;
    if (name) name_ = name;
    return S_OK;
}

void StallSourceFilter::SetStalled(bool stalled) {
    {
        std::lock_guard<std::mutex> guard(streamLock_);
        stalled_ = stalled;
    }
    streamChanged_.notify_all();
}

int StallSourceFilter::LumaOfFrame(int64_t index) { return 16 + static_cast<int>((index * 7) % 220); }

int StallSourceFilter::GreyOfFrame(int64_t index) {
    const int v = (298 * (LumaOfFrame(index) - 16) + 128) >> 8;
    return v > 255 ? 255 : v;
}

void StallSourceFilter::StartStreaming() {
    if (!input_ || thread_.joinable()) return;
    allocator_->Commit();
    LONGLONG start;
    {
        std::lock_guard<std::mutex> guard(streamLock_);
        stopStream_ = false;
        start = position_;
    }
    thread_ = std::thread([this, start] { Stream(start, 0); });
}

void StallSourceFilter::StopStreaming() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(streamLock_);
        stopStream_ = true;
    }
    streamChanged_.notify_all();
    if (allocator_) allocator_->Decommit();  // a GetBuffer in progress returns
    thread_.join();
}

HRESULT StallSourceFilter::Seek(LONGLONG position) {
    std::lock_guard<std::mutex> guard(stateLock_);
    const bool streaming = thread_.joinable();
    if (streaming) {
        connected_->BeginFlush();
        StopStreaming();
        connected_->EndFlush();
    }
    {
        std::lock_guard<std::mutex> lock(streamLock_);
        position_ = position < 0 ? 0 : position;
    }
    if (streaming) StartStreaming();
    return S_OK;
}

void StallSourceFilter::Stream(LONGLONG start, uint64_t) {
    connected_->NewSegment(start, duration_, 1.0);
    const size_t bytes = static_cast<size_t>(width_) * static_cast<size_t>(height_) * 2;
    for (int64_t index = start / kFrameTime; index * kFrameTime < duration_; ++index) {
        {
            std::unique_lock<std::mutex> lock(streamLock_);
            streamChanged_.wait(lock, [&] { return stopStream_ || !stalled_; });
            if (stopStream_) return;
        }
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
        const HRESULT hr = input_->Receive(sample.Get());
        if (hr != S_OK) return;  // flushing or stopping; a seek starts us again
        ++delivered_;
    }
    connected_->EndOfStream();
}

}  // namespace testing_support
