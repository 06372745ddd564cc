#include "testing/fault_codec/fault_source.h"

#include <uuids.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "common/scoped.h"
#include "service/dshow/com_object.h"
#include "service/dshow/enumerators.h"
#include "service/dshow/media_type.h"
#include "testing/fault_codec/fault_script.h"

using Microsoft::WRL::ComPtr;

namespace fault_codec {

const CLSID CLSID_FaultSource = {0x6a1f3c52, 0x84d9, 0x4e07, {0xb1, 0xa3, 0x5c, 0x2e, 0x9d, 0x7f, 0x0b, 0x18}};

namespace {

constexpr wchar_t kPinName[] = L"Out";
constexpr LONGLONG kDuration = 120000000;
constexpr size_t kFrameBytes = static_cast<size_t>(kWidth) * kHeight * 2;
// How long after a faulting seek its frame arrives: the faulting thread is gone by then.
constexpr ULONGLONG kLateSampleMs = 300;
// Seeking in media time only, at rate 1; positions from 0 to the duration.
constexpr DWORD kSeekingCaps =
    AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetCurrentPos | AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration;

std::atomic<bool> g_crashed{false};  // crash_once: this process has crashed once

// A real access violation (a write through a null pointer the compiler cannot see).
void Crash() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

int LumaOfFrame(int64_t index) { return 16 + static_cast<int>((index * 7) % 220); }
HRESULT Put(LONGLONG* out, LONGLONG value) { return out ? (*out = value, S_OK) : E_POINTER; }
bool IsMediaTime(const GUID* format) { return !format || *format == TIME_FORMAT_MEDIA_TIME; }

OwnedMediaType Yuy2Type() {
    VIDEOINFOHEADER vih{};
    vih.rcSource = vih.rcTarget = {0, 0, kWidth, kHeight};
    vih.AvgTimePerFrame = kFrameTime;
    vih.bmiHeader = {sizeof(BITMAPINFOHEADER), kWidth, kHeight, 1, 16, MAKEFOURCC('Y', 'U', 'Y', '2'), kFrameBytes};
    AM_MEDIA_TYPE mt{MEDIATYPE_Video, MEDIASUBTYPE_YUY2, TRUE, FALSE, kFrameBytes, FORMAT_VideoInfo, nullptr,
                     sizeof(vih), reinterpret_cast<BYTE*>(&vih)};
    return OwnedMediaType(mt);  // deep copy: the block above is on the stack
}

class FaultSource : public ComObject<IBaseFilter, IFileSourceFilter> {
    // The only pin; its lifetime is the filter's.
    class OutPin : public IPin, public IMediaSeeking {
    public:
        explicit OutPin(FaultSource& filter) : f(filter) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            if (!ppv) return E_POINTER;
            *ppv = riid == IID_IUnknown || riid == IID_IPin ? static_cast<void*>(static_cast<IPin*>(this))
                   : riid == IID_IMediaSeeking              ? static_cast<IMediaSeeking*>(this)
                                                            : nullptr;
            return *ppv ? (AddRef(), S_OK) : E_NOINTERFACE;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return f.AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return f.Release(); }

        STDMETHODIMP Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) override { return f.Connect(receivePin, mt); }
        STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
        STDMETHODIMP Disconnect() override {
            std::lock_guard<std::mutex> guard(f.stateLock_);
            if (f.state_ != State_Stopped) return VFW_E_NOT_STOPPED;
            if (!f.connected_) return S_FALSE;
            f.connected_.Reset();
            f.input_.Reset();
            f.allocator_.Reset();
            return S_OK;
        }
        STDMETHODIMP ConnectedTo(IPin** pin) override {
            if (!pin) return E_POINTER;
            *pin = f.connected_.Get();
            return *pin ? ((*pin)->AddRef(), S_OK) : VFW_E_NOT_CONNECTED;
        }
        STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* mt) override {
            if (!mt) return E_POINTER;
            *mt = AM_MEDIA_TYPE{};
            return f.connected_ ? CopyMediaType(mt, &f.type_.get()) : VFW_E_NOT_CONNECTED;
        }
        STDMETHODIMP QueryPinInfo(PIN_INFO* info) override { return FillPinInfo(&f, PINDIR_OUTPUT, kPinName, info); }
        STDMETHODIMP QueryDirection(PIN_DIRECTION* dir) override { return dir ? (*dir = PINDIR_OUTPUT, S_OK) : E_POINTER; }
        STDMETHODIMP QueryId(LPWSTR* id) override { return CoTaskMemString(kPinName, id); }
        STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* mt) override {
            if (!mt) return E_POINTER;
            const AM_MEDIA_TYPE& ours = f.type_.get();
            const auto fits = [](const GUID& asked, const GUID& have) { return asked == GUID_NULL || asked == have; };
            const bool all = fits(mt->majortype, ours.majortype) && fits(mt->subtype, ours.subtype) && fits(mt->formattype, ours.formattype);
            return all && !f.script_.refuseTypes ? S_OK : S_FALSE;
        }
        STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override { return NewMediaTypeEnumerator({f.type_}, types); }
        STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
        // What only an input pin is told.
        STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
        STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
        STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }
        STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

        // IMediaSeeking: media time only, at rate 1, positions from 0 to the duration.
        STDMETHODIMP GetCapabilities(DWORD* caps) override { return caps ? (*caps = kSeekingCaps, S_OK) : E_POINTER; }
        STDMETHODIMP CheckCapabilities(DWORD* caps) override {
            const DWORD asked = caps ? *caps : 0;
            return !caps ? E_POINTER : (*caps &= kSeekingCaps) == asked ? S_OK : *caps ? S_FALSE : E_FAIL;
        }
        STDMETHODIMP IsFormatSupported(const GUID* format) override { return format && IsMediaTime(format) ? S_OK : S_FALSE; }
        STDMETHODIMP QueryPreferredFormat(GUID* format) override { return format ? (*format = TIME_FORMAT_MEDIA_TIME, S_OK) : E_POINTER; }
        STDMETHODIMP GetTimeFormat(GUID* format) override { return QueryPreferredFormat(format); }
        STDMETHODIMP IsUsingTimeFormat(const GUID* format) override { return IsFormatSupported(format); }
        STDMETHODIMP SetTimeFormat(const GUID* format) override { return format && IsMediaTime(format) ? S_OK : E_INVALIDARG; }
        STDMETHODIMP GetDuration(LONGLONG* duration) override { return Put(duration, f.ReportedDuration()); }
        STDMETHODIMP GetStopPosition(LONGLONG* stop) override { return Put(stop, f.ReportedDuration()); }
        STDMETHODIMP GetCurrentPosition(LONGLONG* current) override {
            std::lock_guard<std::mutex> guard(f.streamLock_);
            return Put(current, f.position_);
        }
        STDMETHODIMP ConvertTimeFormat(LONGLONG* target, const GUID* to, LONGLONG source, const GUID* from) override {
            return !IsMediaTime(to) || !IsMediaTime(from) ? (target ? E_INVALIDARG : E_POINTER) : Put(target, source);
        }
        STDMETHODIMP SetPositions(LONGLONG* current, DWORD flags, LONGLONG*, DWORD) override {
            if ((flags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_AbsolutePositioning) return S_OK;
            return current ? f.Seek(*current) : E_POINTER;
        }
        STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override {
            if (current) GetCurrentPosition(current);
            return stop ? GetStopPosition(stop) : S_OK;
        }
        STDMETHODIMP GetAvailable(LONGLONG* earliest, LONGLONG* latest) override {
            if (earliest) *earliest = 0;
            return latest ? GetStopPosition(latest) : S_OK;
        }
        STDMETHODIMP SetRate(double rate) override { return rate == 1.0 ? S_OK : E_INVALIDARG; }
        STDMETHODIMP GetRate(double* rate) override { return rate ? (*rate = 1.0, S_OK) : E_POINTER; }
        STDMETHODIMP GetPreroll(LONGLONG* preroll) override { return Put(preroll, 0); }

    private:
        FaultSource& f;
    };

    // A sample whose data is handed over late (late_cue): GetPointer makes the cue file
    // and returns only once a seek has begun (or the stream stops).
    class LateSample : public ComObject<IMediaSample> {
    public:
        LateSample(ComPtr<IMediaSample> inner, FaultSource& filter) : in(std::move(inner)), f(filter) {}
        STDMETHODIMP GetPointer(BYTE** buffer) override {
            const HRESULT hr = in->GetPointer(buffer);  // first: once the seek has begun the allocator is decommitted
            UniqueHandle cue(CreateFileW(f.script_.lateCueFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            cue.reset();
            std::unique_lock<std::mutex> lock(f.streamLock_);
            f.streamChanged_.wait(lock, [&] { return f.seekBegun_ || f.stopStream_; });
            return hr;
        }
        STDMETHODIMP_(long) GetSize() override { return in->GetSize(); }
        STDMETHODIMP GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override { return in->GetTime(start, end); }
        STDMETHODIMP SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override { return in->SetTime(start, end); }
        STDMETHODIMP IsSyncPoint() override { return in->IsSyncPoint(); }
        STDMETHODIMP SetSyncPoint(BOOL sync) override { return in->SetSyncPoint(sync); }
        STDMETHODIMP IsPreroll() override { return in->IsPreroll(); }
        STDMETHODIMP SetPreroll(BOOL preroll) override { return in->SetPreroll(preroll); }
        STDMETHODIMP_(long) GetActualDataLength() override { return in->GetActualDataLength(); }
        STDMETHODIMP SetActualDataLength(long length) override { return in->SetActualDataLength(length); }
        STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** type) override { return in->GetMediaType(type); }
        STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* type) override { return in->SetMediaType(type); }
        STDMETHODIMP IsDiscontinuity() override { return in->IsDiscontinuity(); }
        STDMETHODIMP SetDiscontinuity(BOOL discontinuity) override { return in->SetDiscontinuity(discontinuity); }
        STDMETHODIMP GetMediaTime(LONGLONG* start, LONGLONG* end) override { return in->GetMediaTime(start, end); }
        STDMETHODIMP SetMediaTime(LONGLONG* start, LONGLONG* end) override { return in->SetMediaTime(start, end); }

    private:
        void* Interface(REFIID riid) override { return riid == IID_IMediaSample ? static_cast<IMediaSample*>(this) : nullptr; }
        ComPtr<IMediaSample> in;
        FaultSource& f;
    };

public:
    ~FaultSource() override { StopStreaming(); }

    STDMETHODIMP GetClassID(CLSID* clsid) override { return clsid ? (*clsid = CLSID_FaultSource, S_OK) : E_POINTER; }
    STDMETHODIMP Stop() override {
        if (script_.crash == "stop") Crash();
        std::lock_guard<std::mutex> guard(stateLock_);
        StopStreaming();
        state_ = State_Stopped;
        return S_OK;
    }
    STDMETHODIMP Pause() override { return Start(State_Paused); }
    STDMETHODIMP Run(REFERENCE_TIME) override { return Start(State_Running); }
    STDMETHODIMP GetState(DWORD, FILTER_STATE* state) override {
        if (!state) return E_POINTER;
        std::lock_guard<std::mutex> guard(stateLock_);
        *state = state_;
        return S_OK;
    }
    STDMETHODIMP SetSyncSource(IReferenceClock*) override { return S_OK; }
    STDMETHODIMP GetSyncSource(IReferenceClock** clock) override { return clock ? (*clock = nullptr, S_OK) : E_POINTER; }
    STDMETHODIMP EnumPins(IEnumPins** pins) override { return NewPinEnumerator({ComPtr<IPin>(&pin_)}, pins); }
    STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override { return FindOnlyPin(&pin_, kPinName, id, pin); }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override { return FillFilterInfo(name_, graph_, info); }
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override {
        graph_ = graph;
        if (name) name_ = name;
        return S_OK;
    }
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    // IFileSourceFilter: reads the fault movie's instructions.
    STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) override {
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
    STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* mt) override {
        if (!fileName) return E_POINTER;
        if (mt) *mt = AM_MEDIA_TYPE{MEDIATYPE_Stream};
        return CoTaskMemString(fileName_.c_str(), fileName);
    }

private:
    void* Interface(REFIID riid) override {
        if (riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) return static_cast<IBaseFilter*>(this);
        return riid == IID_IFileSourceFilter ? static_cast<IFileSourceFilter*>(this) : nullptr;
    }
    LONGLONG ReportedDuration() const {
        return script_.reportedDurationMs >= 0 ? script_.reportedDurationMs * 10000 : kDuration;
    }
    // Whether a seek or stream crash happens for a seek to this position.
    bool CrashNow(const char* point, LONGLONG position) const {
        if (script_.crash != point || !(script_.crashAtMs.empty() || InRanges(script_.crashAtMs, position / 10000)))
            return false;
        return !script_.crashOnce || !g_crashed.exchange(true);
    }

    HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) {
        if (!receivePin) return E_POINTER;
        if (script_.crash == "connect") Crash();
        if (script_.refuseTypes) return VFW_E_NO_ACCEPTABLE_TYPES;
        std::lock_guard<std::mutex> guard(stateLock_);
        if (connected_) return VFW_E_ALREADY_CONNECTED;
        if (mt && pin_.QueryAccept(mt) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
        HRESULT hr = receivePin->ReceiveConnection(&pin_, &type_.get());
        if (FAILED(hr)) return hr;
        ComPtr<IMemInputPin> input;
        ComPtr<IMemAllocator> allocator;
        hr = receivePin->QueryInterface(IID_PPV_ARGS(&input));
        if (SUCCEEDED(hr) && FAILED(input->GetAllocator(&allocator)))
            hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&allocator));
        ALLOCATOR_PROPERTIES wanted{1, static_cast<long>(kFrameBytes), 1, 0}, actual{};
        if (SUCCEEDED(hr)) hr = allocator->SetProperties(&wanted, &actual);
        if (SUCCEEDED(hr)) hr = input->NotifyAllocator(allocator.Get(), FALSE);
        if (FAILED(hr)) {
            receivePin->Disconnect();
            return hr;
        }
        connected_ = receivePin;
        input_ = input;
        allocator_ = allocator;
        return S_OK;
    }

    HRESULT Start(FILTER_STATE state) {
        std::lock_guard<std::mutex> guard(stateLock_);
        if (state_ == State_Stopped) StartStreaming(false);
        state_ = state;
        return S_OK;
    }

    void StartStreaming(bool afterSeek) {  // stateLock_ held by the caller
        if (!input_ || thread_.joinable()) return;
        allocator_->Commit();
        std::lock_guard<std::mutex> guard(streamLock_);
        stopStream_ = false;
        if (!afterSeek) seekBegun_ = false;
        if (firstStartTick_ == 0) firstStartTick_ = GetTickCount64();
        thread_ = std::thread([this, start = position_, afterSeek] { Stream(start, afterSeek); });
    }

    void StopStreaming() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> guard(streamLock_);
            stopStream_ = true;
        }
        streamChanged_.notify_all();
        if (allocator_) allocator_->Decommit();  // a GetBuffer in progress returns
        thread_.join();
    }

    HRESULT Seek(LONGLONG position) {
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
        if (CrashNow("seek", position)) Crash();
        return S_OK;
    }

    // Waits while the frame at this movie time is held back; false when told to stop.
    bool WaitUntilDeliverable(int64_t movieMs, ULONGLONG minimumWaitMs) {
        const ULONGLONG heldSince = GetTickCount64();
        std::unique_lock<std::mutex> lock(streamLock_);
        for (;;) {
            if (stopStream_) return false;
            const ULONGLONG now = GetTickCount64();
            bool held = now - heldSince < minimumWaitMs ||
                        now - firstStartTick_ < static_cast<ULONGLONG>(script_.firstFrameDelayMs);
            if (!held && InRanges(script_.stallMs, movieMs)) {
                const bool timeUp = script_.stallForMs >= 0 && now - heldSince >= static_cast<ULONGLONG>(script_.stallForMs);
                const bool released = !script_.releaseFile.empty() &&
                                      GetFileAttributesW(script_.releaseFile.c_str()) != INVALID_FILE_ATTRIBUTES;
                held = !timeUp && !released;
            }
            if (!held) return true;
            streamChanged_.wait_for(lock, std::chrono::milliseconds(20));
        }
    }

    void Stream(LONGLONG start, bool afterSeek) {
        if (!(afterSeek && script_.noNewSegment)) connected_->NewSegment(start, kDuration, 1.0);
        for (int64_t index = start / kFrameTime; index * kFrameTime < kDuration; ++index) {
            const bool first = index == start / kFrameTime;
            const bool lateSample = first && afterSeek && script_.crash == "seek" &&
                                    (script_.crashAtMs.empty() || InRanges(script_.crashAtMs, start / 10000));
            if (!WaitUntilDeliverable(index * kFrameTime / 10000, lateSample ? kLateSampleMs : 0)) return;
            if (first && afterSeek && CrashNow("stream", start)) Crash();
            ComPtr<IMediaSample> sample;
            BYTE* data = nullptr;
            if (FAILED(allocator_->GetBuffer(&sample, nullptr, nullptr, 0)) || FAILED(sample->GetPointer(&data)) ||
                static_cast<size_t>(sample->GetSize()) < kFrameBytes)
                return;
            for (size_t i = 0; i < kFrameBytes; i += 2) {
                data[i] = static_cast<BYTE>(LumaOfFrame(index));
                data[i + 1] = 128;
            }
            sample->SetActualDataLength(static_cast<long>(kFrameBytes));
            REFERENCE_TIME begin = index * kFrameTime - start, end = begin + kFrameTime;
            sample->SetTime(&begin, &end);
            sample->SetSyncPoint(TRUE);
            if (!script_.lateCueFile.empty() && !afterSeek) sample = AdoptComRef<IMediaSample>(new LateSample(sample, *this));
            if (input_->Receive(sample.Get()) != S_OK) return;  // flushing or stopping; a seek starts us again
        }
        connected_->EndOfStream();
    }

    OutPin pin_{*this};
    FaultScript script_;
    OwnedMediaType type_ = Yuy2Type();
    std::wstring fileName_, name_ = L"Fault Source";

    std::mutex stateLock_;  // state changes and seeks, one at a time
    FILTER_STATE state_ = State_Stopped;
    IFilterGraph* graph_ = nullptr;  // not held: the graph holds us
    ComPtr<IPin> connected_;
    ComPtr<IMemInputPin> input_;
    ComPtr<IMemAllocator> allocator_;

    std::mutex streamLock_;
    std::condition_variable streamChanged_;
    bool stopStream_ = false;
    bool seekBegun_ = false;  // since the stream was started by a state change
    LONGLONG position_ = 0;
    ULONGLONG firstStartTick_ = 0;
    std::thread thread_;
};

}  // namespace

int GreyOfFrame(int64_t index) { return std::min(255, (298 * (LumaOfFrame(index) - 16) + 128) >> 8); }

IBaseFilter* NewFaultSource() { return new (std::nothrow) FaultSource(); }

}  // namespace fault_codec
