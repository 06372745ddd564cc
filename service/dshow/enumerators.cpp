#include "service/dshow/enumerators.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <utility>

using Microsoft::WRL::ComPtr;

PinEnumerator::PinEnumerator(std::vector<ComPtr<IPin>> pins, size_t position)
    : pins_(std::move(pins)), position_(position) {}

STDMETHODIMP PinEnumerator::Next(ULONG count, IPin** pins, ULONG* fetched) {
    if (!pins || (count > 1 && !fetched)) return E_POINTER;
    ULONG done = 0;
    while (done < count && position_ < pins_.size()) {
        pins[done] = pins_[position_].Get();
        pins[done]->AddRef();
        ++done;
        ++position_;
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
}
STDMETHODIMP PinEnumerator::Skip(ULONG count) {
    const size_t left = pins_.size() - position_;
    if (count > left) {
        position_ = pins_.size();
        return S_FALSE;
    }
    position_ += count;
    return S_OK;
}
STDMETHODIMP PinEnumerator::Reset() {
    position_ = 0;
    return S_OK;
}
STDMETHODIMP PinEnumerator::Clone(IEnumPins** clone) {
    if (!clone) return E_POINTER;
    *clone = new (std::nothrow) PinEnumerator(pins_, position_);
    return *clone ? S_OK : E_OUTOFMEMORY;
}

MediaTypeEnumerator::MediaTypeEnumerator(std::vector<OwnedMediaType> types, size_t position)
    : types_(std::move(types)), position_(position) {}

STDMETHODIMP MediaTypeEnumerator::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) {
    if (!types || (count > 1 && !fetched)) return E_POINTER;
    ULONG done = 0;
    while (done < count && position_ < types_.size()) {
        AM_MEDIA_TYPE* copy = CreateMediaType(&types_[position_].get());
        if (!copy) break;
        types[done++] = copy;
        ++position_;
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
}
STDMETHODIMP MediaTypeEnumerator::Skip(ULONG count) {
    const size_t left = types_.size() - position_;
    if (count > left) {
        position_ = types_.size();
        return S_FALSE;
    }
    position_ += count;
    return S_OK;
}
STDMETHODIMP MediaTypeEnumerator::Reset() {
    position_ = 0;
    return S_OK;
}
STDMETHODIMP MediaTypeEnumerator::Clone(IEnumMediaTypes** clone) {
    if (!clone) return E_POINTER;
    *clone = new (std::nothrow) MediaTypeEnumerator(types_, position_);
    return *clone ? S_OK : E_OUTOFMEMORY;
}

HRESULT NewPinEnumerator(std::vector<ComPtr<IPin>> pins, IEnumPins** out) {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) PinEnumerator(std::move(pins));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT NewMediaTypeEnumerator(std::vector<OwnedMediaType> types, IEnumMediaTypes** out) {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) MediaTypeEnumerator(std::move(types));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CoTaskMemString(const wchar_t* text, LPWSTR* out) {
    if (!out) return E_POINTER;
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    *out = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!*out) return E_OUTOFMEMORY;
    memcpy(*out, text, bytes);
    return S_OK;
}

HRESULT FindOnlyPin(IPin* pin, const wchar_t* pinName, LPCWSTR id, IPin** out) {
    if (!id || !out) return E_POINTER;
    if (wcscmp(id, pinName) != 0) {
        *out = nullptr;
        return VFW_E_NOT_FOUND;
    }
    *out = pin;
    pin->AddRef();
    return S_OK;
}

HRESULT FillPinInfo(IBaseFilter* filter, PIN_DIRECTION dir, const wchar_t* name, PIN_INFO* info) {
    if (!info) return E_POINTER;
    info->pFilter = filter;
    filter->AddRef();
    info->dir = dir;
    wcsncpy(info->achName, name, MAX_PIN_NAME - 1);
    info->achName[MAX_PIN_NAME - 1] = L'\0';
    return S_OK;
}

HRESULT FillFilterInfo(const std::wstring& name, IFilterGraph* graph, FILTER_INFO* info) {
    if (!info) return E_POINTER;
    wcsncpy(info->achName, name.c_str(), MAX_FILTER_NAME - 1);
    info->achName[MAX_FILTER_NAME - 1] = L'\0';
    info->pGraph = graph;
    if (graph) graph->AddRef();
    return S_OK;
}
