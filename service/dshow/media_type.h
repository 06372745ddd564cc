// AM_MEDIA_TYPE copies and their owner.
#pragma once
#include <windows.h>
#include <dshow.h>

// Deep copy of src into dst (format block and pUnk included). dst must hold nothing.
HRESULT CopyMediaType(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE* src);
// Frees what the structure points to (format block, pUnk) and clears those fields.
void FreeMediaType(AM_MEDIA_TYPE& mt);
// A CoTaskMemAlloc'd deep copy, as IEnumMediaTypes::Next hands out; null when out of memory.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* src);
// Frees a structure made by CreateMediaType together with its contents.
void DeleteMediaType(AM_MEDIA_TYPE* mt);

// Owns the contents of one AM_MEDIA_TYPE (its format block and pUnk).
class OwnedMediaType {
public:
    OwnedMediaType();
    explicit OwnedMediaType(const AM_MEDIA_TYPE& src);
    OwnedMediaType(const OwnedMediaType& other);
    OwnedMediaType& operator=(const OwnedMediaType& other);
    OwnedMediaType(OwnedMediaType&& other) noexcept;
    OwnedMediaType& operator=(OwnedMediaType&& other) noexcept;
    ~OwnedMediaType();

    const AM_MEDIA_TYPE& get() const { return mt_; }
    AM_MEDIA_TYPE& get() { return mt_; }
    // Empties this owner and returns a structure for an API to fill (e.g. GetConnectedMediaType).
    AM_MEDIA_TYPE* out();
    void reset();
    // A format block of at least `size` bytes, or null.
    const BYTE* format(size_t size) const;

private:
    AM_MEDIA_TYPE mt_;
};

// The BITMAPINFOHEADER inside a FORMAT_VideoInfo (at least 88 bytes) or
// FORMAT_VideoInfo2 (at least 112 bytes) format block; null for anything else.
const BITMAPINFOHEADER* VideoBitmapHeader(const AM_MEDIA_TYPE& mt);
