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

std::wstring GuidTraceName(const GUID& g) {
    // Formatted by hand: the DirectShow headers deprecate the printf family.
    auto hex = [](unsigned long value, int digits) {
        static const wchar_t kDigits[] = L"0123456789abcdef";
        std::wstring out(static_cast<size_t>(digits), L'0');
        for (int i = digits - 1; i >= 0; --i, value >>= 4) out[static_cast<size_t>(i)] = kDigits[value & 0xF];
        return out;
    };
    std::wstring text = hex(g.Data1, 8) + L"-" + hex(g.Data2, 4) + L"-" + hex(g.Data3, 4) + L"-" +
                        hex(g.Data4[0], 2) + hex(g.Data4[1], 2) + L"-";
    for (int i = 2; i < 8; ++i) text += hex(g.Data4[i], 2);
    struct Known {
        const GUID* guid;
        const wchar_t* name;
    };
    static const Known known[] = {
        {&FORMAT_None, L"FORMAT_None"},
        {&FORMAT_DvInfo, L"FORMAT_DvInfo"},
        {&FORMAT_MPEGVideo, L"FORMAT_MPEGVideo"},
        {&FORMAT_MPEG2Video, L"FORMAT_MPEG2Video"},
        {&FORMAT_VideoInfo, L"FORMAT_VideoInfo"},
        {&FORMAT_VideoInfo2, L"FORMAT_VideoInfo2"},
        {&GUID_NULL, L"GUID_NULL"},
        {&MEDIASUBTYPE_RGB1, L"MEDIASUBTYPE_RGB1"},
        {&MEDIASUBTYPE_RGB4, L"MEDIASUBTYPE_RGB4"},
        {&MEDIASUBTYPE_RGB8, L"MEDIASUBTYPE_RGB8"},
        {&MEDIASUBTYPE_RGB555, L"MEDIASUBTYPE_RGB555"},
        {&MEDIASUBTYPE_RGB565, L"MEDIASUBTYPE_RGB565"},
        {&MEDIASUBTYPE_RGB24, L"MEDIASUBTYPE_RGB24"},
        {&MEDIASUBTYPE_RGB32, L"MEDIASUBTYPE_RGB32"},
        {&MEDIASUBTYPE_ARGB32, L"MEDIASUBTYPE_ARGB32"},
        {&MEDIASUBTYPE_AYUV, L"MEDIASUBTYPE_AYUV"},
        {&MEDIASUBTYPE_UYVY, L"MEDIASUBTYPE_UYVY"},
        {&MEDIASUBTYPE_Y411, L"MEDIASUBTYPE_Y411"},
        {&MEDIASUBTYPE_Y41P, L"MEDIASUBTYPE_Y41P"},
        {&MEDIASUBTYPE_Y211, L"MEDIASUBTYPE_Y211"},
        {&MEDIASUBTYPE_YUY2, L"MEDIASUBTYPE_YUY2"},
        {&MEDIASUBTYPE_YVYU, L"MEDIASUBTYPE_YVYU"},
        {&MEDIASUBTYPE_YUYV, L"MEDIASUBTYPE_YUYV"},
        {&MEDIASUBTYPE_IF09, L"MEDIASUBTYPE_IF09"},
        {&MEDIASUBTYPE_IYUV, L"MEDIASUBTYPE_IYUV"},
        {&MEDIASUBTYPE_YV12, L"MEDIASUBTYPE_YV12"},
        {&MEDIASUBTYPE_YVU9, L"MEDIASUBTYPE_YVU9"},
        {&MEDIASUBTYPE_NV12, L"MEDIASUBTYPE_NV12"},
    };
    std::wstring name = text;
    for (const Known& k : known) {
        if (IsEqualGUID(g, *k.guid)) {
            name += L"(";
            name += k.name;
            name += L")";
            break;
        }
    }
    return name;
}

const BITMAPINFOHEADER* VideoBitmapHeader(const AM_MEDIA_TYPE& mt) {
    if (!mt.pbFormat) return nullptr;
    if (mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER))
        return &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
    if (mt.formattype == FORMAT_VideoInfo2 && mt.cbFormat >= sizeof(VIDEOINFOHEADER2))
        return &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->bmiHeader;
    return nullptr;
}
