#include "service/dshow/media_type.h"

#include <dvdmedia.h>
#include <uuids.h>
#include <cstring>
#include <utility>

HRESULT CopyMediaType(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE* src) {
    if (!dst || !src) return E_POINTER;
    *dst = *src;
    if (src->cbFormat != 0 && src->pbFormat) {
        dst->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(src->cbFormat));
        if (!dst->pbFormat) {
            dst->cbFormat = 0;
            dst->pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        std::memcpy(dst->pbFormat, src->pbFormat, src->cbFormat);
    } else {
        dst->pbFormat = nullptr;
        dst->cbFormat = 0;
    }
    if (dst->pUnk) dst->pUnk->AddRef();
    return S_OK;
}

void FreeMediaType(AM_MEDIA_TYPE& mt) {
    if (mt.pbFormat) CoTaskMemFree(mt.pbFormat);
    mt.pbFormat = nullptr;
    mt.cbFormat = 0;
    if (mt.pUnk) mt.pUnk->Release();
    mt.pUnk = nullptr;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* src) {
    auto* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!mt) return nullptr;
    if (FAILED(CopyMediaType(mt, src))) {
        CoTaskMemFree(mt);
        return nullptr;
    }
    return mt;
}

void DeleteMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt) return;
    FreeMediaType(*mt);
    CoTaskMemFree(mt);
}

OwnedMediaType::OwnedMediaType() : mt_() {}
OwnedMediaType::OwnedMediaType(const AM_MEDIA_TYPE& src) : mt_() { CopyMediaType(&mt_, &src); }
OwnedMediaType::OwnedMediaType(const OwnedMediaType& other) : mt_() { CopyMediaType(&mt_, &other.mt_); }
OwnedMediaType& OwnedMediaType::operator=(const OwnedMediaType& other) {
    if (this != &other) {
        reset();
        CopyMediaType(&mt_, &other.mt_);
    }
    return *this;
}
OwnedMediaType::OwnedMediaType(OwnedMediaType&& other) noexcept : mt_(std::exchange(other.mt_, AM_MEDIA_TYPE{})) {}
OwnedMediaType& OwnedMediaType::operator=(OwnedMediaType&& other) noexcept {
    if (this != &other) {
        reset();
        mt_ = std::exchange(other.mt_, AM_MEDIA_TYPE{});
    }
    return *this;
}
OwnedMediaType::~OwnedMediaType() { FreeMediaType(mt_); }

AM_MEDIA_TYPE* OwnedMediaType::out() {
    reset();
    return &mt_;
}

void OwnedMediaType::reset() {
    FreeMediaType(mt_);
    mt_ = AM_MEDIA_TYPE{};
}

const BYTE* OwnedMediaType::format(size_t size) const {
    return mt_.pbFormat && mt_.cbFormat >= size ? mt_.pbFormat : nullptr;
}

const BITMAPINFOHEADER* VideoBitmapHeader(const AM_MEDIA_TYPE& mt) {
    if (!mt.pbFormat) return nullptr;
    if (mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER))
        return &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
    if (mt.formattype == FORMAT_VideoInfo2 && mt.cbFormat >= sizeof(VIDEOINFOHEADER2))
        return &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->bmiHeader;
    return nullptr;
}
