// Small owners for kernel, GDI, COM and GDI+ resources. Each one releases what it
// holds when it goes out of scope, so release order is declaration order.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>
#include <wrl/client.h>
#include <utility>

// A kernel handle (file, event, thread, mutex, pipe). Null and
// INVALID_HANDLE_VALUE both mean "nothing held".
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) reset(std::exchange(o.h_, nullptr));
        return *this;
    }
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

// A GDI object (bitmap, brush, ...) deleted with DeleteObject.
template <typename T>
class GdiObject {
public:
    GdiObject() = default;
    explicit GdiObject(T obj) : obj_(obj) {}
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    ~GdiObject() { reset(); }
    T get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    void reset(T obj = nullptr) {
        if (obj_) DeleteObject(obj_);
        obj_ = obj;
    }
    T* out() { reset(); return &obj_; }

private:
    T obj_ = nullptr;
};

// A window's (or the screen's, with a null window) device context.
class WindowDC {
public:
    explicit WindowDC(HWND hwnd) : hwnd_(hwnd), dc_(GetDC(hwnd)) {}
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;
    ~WindowDC() { if (dc_) ReleaseDC(hwnd_, dc_); }
    HDC get() const { return dc_; }

private:
    HWND hwnd_;
    HDC dc_;
};

// A memory device context from CreateCompatibleDC.
class MemoryDC {
public:
    explicit MemoryDC(HDC compatibleWith) : dc_(CreateCompatibleDC(compatibleWith)) {}
    MemoryDC(const MemoryDC&) = delete;
    MemoryDC& operator=(const MemoryDC&) = delete;
    ~MemoryDC() { if (dc_) DeleteDC(dc_); }
    HDC get() const { return dc_; }

private:
    HDC dc_;
};

// An object selected into a DC; the previous one is put back at scope end.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ obj) : dc_(dc), old_(SelectObject(dc, obj)) {}
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;
    ~SelectedObject() { if (old_ && old_ != HGDI_ERROR) SelectObject(dc_, old_); }
    HGDIOBJ previous() const { return old_; }

private:
    HDC dc_;
    HGDIOBJ old_;
};

// A COM pointer that takes over a reference its caller already owns (a new object,
// an interface that an out parameter handed over). ComPtr::Attach is not used for
// that: mingw-w64's adds a reference of its own, which MSVC's does not.
template <typename T>
Microsoft::WRL::ComPtr<T> AdoptComRef(T* owned) {
    Microsoft::WRL::ComPtr<T> pointer;
    *pointer.GetAddressOf() = owned;
    return pointer;
}

// COM on the current thread (single-threaded apartment).
class ComApartment {
public:
    ComApartment() : hr_(CoInitialize(nullptr)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() { if (SUCCEEDED(hr_)) CoUninitialize(); }
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

// GDI+ for the lifetime of the object.
class GdiplusSession {
public:
    GdiplusSession() {
        Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback
        status_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
    ~GdiplusSession() { if (status_ == Gdiplus::Ok) Gdiplus::GdiplusShutdown(token_); }
    bool ok() const { return status_ == Gdiplus::Ok; }

private:
    ULONG_PTR token_ = 0;
    Gdiplus::Status status_;
};

// Memory from LocalAlloc (CommandLineToArgvW, FormatMessageW).
template <typename T>
class LocalMemory {
public:
    explicit LocalMemory(T p) : p_(p) {}
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    ~LocalMemory() { if (p_) LocalFree(p_); }
    T get() const { return p_; }

private:
    T p_;
};

// A BSTR from SysAllocString, freed with SysFreeString.
class BString {
public:
    explicit BString(const wchar_t* text) : s_(SysAllocString(text)) {}
    BString(const BString&) = delete;
    BString& operator=(const BString&) = delete;
    ~BString() { if (s_) SysFreeString(s_); }
    BSTR get() const { return s_; }

private:
    BSTR s_;
};

// A loaded DLL, freed with FreeLibrary.
class LoadedLibrary {
public:
    explicit LoadedLibrary(const wchar_t* name) : module_(LoadLibraryW(name)) {}
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    ~LoadedLibrary() { if (module_) FreeLibrary(module_); }
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};
