// Owners for the Media Foundation decode: the platform's start-up and locked buffers.
#pragma once
#include <windows.h>
#include <mfapi.h>
#include <mfobjects.h>

// Media Foundation for the lifetime of the object (MFStartup / MFShutdown).
class MediaFoundationSession {
public:
    MediaFoundationSession() : hr_(MFStartup(MF_VERSION, MFSTARTUP_FULL)) {}
    MediaFoundationSession(const MediaFoundationSession&) = delete;
    MediaFoundationSession& operator=(const MediaFoundationSession&) = delete;
    ~MediaFoundationSession() { if (SUCCEEDED(hr_)) MFShutdown(); }
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

// A media buffer locked with IMFMediaBuffer::Lock (contiguous bytes), unlocked at scope end.
class LockedMediaBuffer {
public:
    explicit LockedMediaBuffer(IMFMediaBuffer* buffer) : buffer_(buffer) {
        hr_ = buffer_->Lock(&data_, &maxLength_, &currentLength_);
    }
    LockedMediaBuffer(const LockedMediaBuffer&) = delete;
    LockedMediaBuffer& operator=(const LockedMediaBuffer&) = delete;
    ~LockedMediaBuffer() { if (SUCCEEDED(hr_)) buffer_->Unlock(); }
    HRESULT result() const { return hr_; }
    BYTE* data() const { return SUCCEEDED(hr_) ? data_ : nullptr; }
    DWORD currentLength() const { return SUCCEEDED(hr_) ? currentLength_ : 0; }

private:
    IMFMediaBuffer* buffer_;
    HRESULT hr_;
    BYTE* data_ = nullptr;
    DWORD maxLength_ = 0;
    DWORD currentLength_ = 0;
};

// A picture buffer locked for reading with IMF2DBuffer2::Lock2DSize (real pitch and
// bounds), unlocked at scope end.
class Locked2DBuffer {
public:
    explicit Locked2DBuffer(IMF2DBuffer2* buffer) : buffer_(buffer) {
        hr_ = buffer_->Lock2DSize(MF2DBuffer_LockFlags_Read, &scanline0_, &pitch_, &start_, &length_);
    }
    Locked2DBuffer(const Locked2DBuffer&) = delete;
    Locked2DBuffer& operator=(const Locked2DBuffer&) = delete;
    ~Locked2DBuffer() { if (SUCCEEDED(hr_)) buffer_->Unlock2D(); }
    HRESULT result() const { return hr_; }
    BYTE* scanline0() const { return SUCCEEDED(hr_) ? scanline0_ : nullptr; }
    LONG pitch() const { return pitch_; }
    BYTE* start() const { return SUCCEEDED(hr_) ? start_ : nullptr; }
    DWORD length() const { return SUCCEEDED(hr_) ? length_ : 0; }

private:
    IMF2DBuffer2* buffer_;
    HRESULT hr_;
    BYTE* scanline0_ = nullptr;
    LONG pitch_ = 0;
    BYTE* start_ = nullptr;
    DWORD length_ = 0;
};
