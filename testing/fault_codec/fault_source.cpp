#include "testing/fault_codec/fault_source.h"

#include <uuids.h>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <thread>

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

std::atomic<bool> g_crashed{false};  // crash_once: this process has crashed once

// A real access violation (a write through a null pointer the compiler cannot see).
void Crash() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

int LumaOfFrame(int64_t index) { return 16 + static_cast<int>((index * 7) % 220); }

// The one media type of the pin. Its format block is static: nothing frees it.
VIDEOINFOHEADER g_format{{0, 0, kWidth, kHeight}, {0, 0, kWidth, kHeight}, 0, 0, kFrameTime,
                         {sizeof(BITMAPINFOHEADER), kWidth, kHeight, 1, 16, MAKEFOURCC('Y', 'U', 'Y', '2'), kFrameBytes}};
const AM_MEDIA_TYPE kYuy2{MEDIATYPE_Video, MEDIASUBTYPE_YUY2, TRUE, FALSE, kFrameBytes, FORMAT_VideoInfo, nullptr,
                          sizeof g_format, reinterpret_cast<BYTE*>(&g_format)};

// The filter is also its only pin and that pin's IMediaSeeking: one object, one count.
// What the graph never asks of a source pin under Wine answers E_NOTIMPL.
class FaultSource : public ComObject<IBaseFilter, IFileSourceFilter, IPin, IMediaSeeking> {
public:
    ~FaultSource() override { StopStreaming(); }

    // IBaseFilter
    STDMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP Stop() override {
        if (script_.crash == "stop") Crash();
        std::lock_guard<std::mutex> guard(lock_);
        StopStreaming();
        state_ = State_Stopped;
        return S_OK;
    }
    STDMETHODIMP Pause() override { return Start(State_Paused); }
    STDMETHODIMP Run(REFERENCE_TIME) override { return Start(State_Running); }
    STDMETHODIMP GetState(DWORD, FILTER_STATE* state) override {
        std::lock_guard<std::mutex> guard(lock_);
        return state ? (*state = state_, S_OK) : E_POINTER;
    }
    STDMETHODIMP SetSyncSource(IReferenceClock*) override { return S_OK; }
    STDMETHODIMP GetSyncSource(IReferenceClock**) override { return E_NOTIMPL; }
    STDMETHODIMP EnumPins(IEnumPins** pins) override { return NewPinEnumerator({ComPtr<IPin>(this)}, pins); }
    STDMETHODIMP FindPin(LPCWSTR, IPin**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override { return FillFilterInfo(name_, graph_, info); }
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override {
        graph_ = graph;
        name_ = name ? name : L"";
        return S_OK;
    }
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    // IFileSourceFilter: reads the fault movie's instructions.
    STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) override {
        FaultScript script;
        if (!fileName || !LoadFaultScript(fileName, script)) return VFW_E_INVALID_FILE_FORMAT;
        while (script.hangInLoad) Sleep(INFINITE);
        std::lock_guard<std::mutex> guard(lock_);
        script_ = script;
        return S_OK;
    }
    STDMETHODIMP GetCurFile(LPOLESTR*, AM_MEDIA_TYPE*) override { return E_NOTIMPL; }

    // IPin: an output pin of one type, on an allocator of its own with one buffer.
    STDMETHODIMP Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) override {
        if (script_.crash == "connect") Crash();
        if (!receivePin) return E_POINTER;
        if (script_.refuseTypes || (mt && mt->subtype != GUID_NULL && mt->subtype != MEDIASUBTYPE_YUY2))
            return VFW_E_NO_ACCEPTABLE_TYPES;
        std::lock_guard<std::mutex> guard(lock_);
        if (connected_) return VFW_E_ALREADY_CONNECTED;
        ComPtr<IMemInputPin> input;
        ComPtr<IMemAllocator> allocator;
        ALLOCATOR_PROPERTIES wanted{1, static_cast<long>(kFrameBytes), 1, 0}, actual{};
        HRESULT hr = receivePin->ReceiveConnection(this, &kYuy2);
        if (SUCCEEDED(hr)) hr = receivePin->QueryInterface(IID_PPV_ARGS(&input));
        if (SUCCEEDED(hr)) hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&allocator));
        if (SUCCEEDED(hr)) hr = allocator->SetProperties(&wanted, &actual);
        if (SUCCEEDED(hr)) hr = input->NotifyAllocator(allocator.Get(), FALSE);
        if (FAILED(hr)) return receivePin->Disconnect(), hr;
        connected_ = receivePin;
        input_ = input;
        allocator_ = allocator;
        return S_OK;
    }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    STDMETHODIMP Disconnect() override {
        std::lock_guard<std::mutex> guard(lock_);
        if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
        const bool was = connected_ != nullptr;
        connected_.Reset(), input_.Reset(), allocator_.Reset();
        return was ? S_OK : S_FALSE;
    }
    STDMETHODIMP ConnectedTo(IPin** pin) override {
        if (!pin) return E_POINTER;
        *pin = connected_.Get();  // no lock: a receiving pin may ask while Connect holds it
        return *pin ? ((*pin)->AddRef(), S_OK) : VFW_E_NOT_CONNECTED;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override { return FillPinInfo(this, PINDIR_OUTPUT, kPinName, info); }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* dir) override { return dir ? (*dir = PINDIR_OUTPUT, S_OK) : E_POINTER; }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override { return NewMediaTypeEnumerator({OwnedMediaType(kYuy2)}, types); }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
    STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return E_UNEXPECTED; }

    // IMediaSeeking: absolute seeks in media time, at rate 1.
    STDMETHODIMP GetCapabilities(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP CheckCapabilities(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP IsFormatSupported(const GUID* format) override {
        return format && *format == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
    }
    STDMETHODIMP QueryPreferredFormat(GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTimeFormat(GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP IsUsingTimeFormat(const GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP SetTimeFormat(const GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDuration(LONGLONG* duration) override {
        const LONGLONG reported = script_.reportedDurationMs >= 0 ? script_.reportedDurationMs * 10000 : kDuration;
        return duration ? (*duration = reported, S_OK) : E_POINTER;
    }
    STDMETHODIMP GetStopPosition(LONGLONG* stop) override { return GetDuration(stop); }
    STDMETHODIMP GetCurrentPosition(LONGLONG*) override { return E_NOTIMPL; }
    STDMETHODIMP ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPositions(LONGLONG* current, DWORD flags, LONGLONG*, DWORD) override {
        if ((flags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_AbsolutePositioning) return S_OK;
        return current ? Seek(*current) : E_POINTER;
    }
    STDMETHODIMP GetPositions(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetAvailable(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
    STDMETHODIMP SetRate(double) override { return E_NOTIMPL; }
    STDMETHODIMP GetRate(double*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPreroll(LONGLONG*) override { return E_NOTIMPL; }

private:
    void* Interface(REFIID riid) override {
        if (riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) return static_cast<IBaseFilter*>(this);
        if (riid == IID_IFileSourceFilter) return static_cast<IFileSourceFilter*>(this);
        if (riid == IID_IPin) return static_cast<IPin*>(this);
        return riid == IID_IMediaSeeking ? static_cast<IMediaSeeking*>(this) : nullptr;
    }
    // Whether the script crashes at this point for a seek to this position.
    bool CrashesAt(const char* point, LONGLONG position) const {
        return script_.crash == point && InRanges(script_.crashAtMs, position / 10000);
    }
    void CrashIfDue(const char* point, LONGLONG position) {
        if (CrashesAt(point, position) && !(script_.crashOnce && g_crashed.exchange(true))) Crash();
    }

    HRESULT Start(FILTER_STATE state) {
        std::lock_guard<std::mutex> guard(lock_);
        if (state_ == State_Stopped) StartStreaming(false);
        state_ = state;
        return S_OK;
    }
    void StartStreaming(bool afterSeek) {  // lock_ held by the caller
        if (!input_ || thread_.joinable()) return;
        allocator_->Commit();
        stop_ = false;
        if (firstStartTick_ == 0) firstStartTick_ = GetTickCount64();
        thread_ = std::thread([this, start = position_, afterSeek] { Stream(start, afterSeek); });
    }
    void StopStreaming() {
        if (!thread_.joinable()) return;
        stop_ = true;
        if (allocator_) allocator_->Decommit();  // a GetBuffer in progress returns
        thread_.join();
    }
    HRESULT Seek(LONGLONG position) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            const bool streaming = thread_.joinable();
            if (streaming) connected_->BeginFlush();
            StopStreaming();
            if (streaming) connected_->EndFlush();
            position_ = std::max<LONGLONG>(position, 0);
            if (streaming) StartStreaming(true);
        }
        CrashIfDue("seek", position);  // the stream goes on and delivers this seek's frame after the caller is gone
        return S_OK;
    }

    // Waits while the frame at this movie time is held back; false when told to stop.
    bool WaitUntilDeliverable(int64_t movieMs, ULONGLONG minimumWaitMs) {
        for (const ULONGLONG heldSince = GetTickCount64(); !stop_; Sleep(20)) {
            const ULONGLONG now = GetTickCount64();
            if (now - heldSince < minimumWaitMs || now - firstStartTick_ < static_cast<ULONGLONG>(script_.firstFrameDelayMs))
                continue;
            const bool timeUp = script_.stallForMs >= 0 && now - heldSince >= static_cast<ULONGLONG>(script_.stallForMs);
            const bool released = !script_.releaseFile.empty() &&
                                  GetFileAttributesW(script_.releaseFile.c_str()) != INVALID_FILE_ATTRIBUTES;
            if (!InRanges(script_.stallMs, movieMs) || timeUp || released) return true;
        }
        return false;
    }

    void Stream(LONGLONG start, bool afterSeek) {
        if (!(afterSeek && script_.noNewSegment)) connected_->NewSegment(start, kDuration, 1.0);
        for (int64_t index = start / kFrameTime; index * kFrameTime < kDuration; ++index) {
            const bool first = afterSeek && index == start / kFrameTime;
            const bool late = first && CrashesAt("seek", start);
            if (!WaitUntilDeliverable(index * kFrameTime / 10000, late ? kLateSampleMs : 0)) return;
            if (first) CrashIfDue("stream", start);
            ComPtr<IMediaSample> sample;
            BYTE* data = nullptr;
            if (FAILED(allocator_->GetBuffer(&sample, nullptr, nullptr, 0)) || FAILED(sample->GetPointer(&data)) ||
                static_cast<size_t>(sample->GetSize()) < kFrameBytes)
                return;
            for (size_t i = 0; i < kFrameBytes; ++i) data[i] = i % 2 ? 128 : static_cast<BYTE>(LumaOfFrame(index));
            sample->SetActualDataLength(static_cast<long>(kFrameBytes));
            REFERENCE_TIME begin = index * kFrameTime - start, end = begin + kFrameTime;
            sample->SetTime(&begin, &end);
            sample->SetSyncPoint(TRUE);
            if (input_->Receive(sample.Get()) != S_OK) return;  // flushing or stopping; a seek starts us again
        }
        connected_->EndOfStream();
    }

    FaultScript script_;
    std::wstring name_;
    std::mutex lock_;  // state changes, connections and seeks, one at a time
    FILTER_STATE state_ = State_Stopped;
    IFilterGraph* graph_ = nullptr;  // not held: the graph holds us
    ComPtr<IPin> connected_;
    ComPtr<IMemInputPin> input_;
    ComPtr<IMemAllocator> allocator_;
    std::atomic<bool> stop_{false};
    LONGLONG position_ = 0;
    ULONGLONG firstStartTick_ = 0;
    std::thread thread_;
};

}  // namespace

int GreyOfFrame(int64_t index) { return std::min(255, (298 * (LumaOfFrame(index) - 16) + 128) >> 8); }

IBaseFilter* NewFaultSource() { return new (std::nothrow) FaultSource(); }

}  // namespace fault_codec
