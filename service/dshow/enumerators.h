// IEnumPins and IEnumMediaTypes over fixed lists, for filters of our own, and the
// IPin/IBaseFilter answers that every such filter gives alike.
#pragma once
#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>
#include <string>
#include <vector>

#include "service/dshow/com_object.h"
#include "service/dshow/media_type.h"

// Walks a snapshot of a filter's pins. Holding the pins keeps their filter alive.
class PinEnumerator : public ComObject<IEnumPins> {
public:
    explicit PinEnumerator(std::vector<Microsoft::WRL::ComPtr<IPin>> pins, size_t position = 0);

    STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumPins** clone) override;

private:
    void* Interface(REFIID riid) override { return riid == IID_IEnumPins ? static_cast<IEnumPins*>(this) : nullptr; }
    std::vector<Microsoft::WRL::ComPtr<IPin>> pins_;
    size_t position_;
};

// Walks a list of media types; Next hands out CoTaskMemAlloc'd copies.
class MediaTypeEnumerator : public ComObject<IEnumMediaTypes> {
public:
    explicit MediaTypeEnumerator(std::vector<OwnedMediaType> types, size_t position = 0);

    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMediaTypes** clone) override;

private:
    void* Interface(REFIID riid) override {
        return riid == IID_IEnumMediaTypes ? static_cast<IEnumMediaTypes*>(this) : nullptr;
    }
    std::vector<OwnedMediaType> types_;
    size_t position_;
};

// A new enumerator in *out (E_POINTER without out, E_OUTOFMEMORY when none is made).
HRESULT NewPinEnumerator(std::vector<Microsoft::WRL::ComPtr<IPin>> pins, IEnumPins** out);
HRESULT NewMediaTypeEnumerator(std::vector<OwnedMediaType> types, IEnumMediaTypes** out);

// A CoTaskMemAlloc'd copy of text, as IPin::QueryId hands out.
HRESULT CoTaskMemString(const wchar_t* text, LPWSTR* out);
// IBaseFilter::FindPin of a filter with the one pin `pin`, called `pinName`.
HRESULT FindOnlyPin(IPin* pin, const wchar_t* pinName, LPCWSTR id, IPin** out);
// IPin::QueryPinInfo: the filter (AddRef'd), the direction and the name.
HRESULT FillPinInfo(IBaseFilter* filter, PIN_DIRECTION dir, const wchar_t* name, PIN_INFO* info);
// IBaseFilter::QueryFilterInfo: the name (cut to fit) and the graph (AddRef'd), if any.
HRESULT FillFilterInfo(const std::wstring& name, IFilterGraph* graph, FILTER_INFO* info);
