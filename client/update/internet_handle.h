// The owner of a WinINet handle.
#pragma once
#include <windows.h>
#include <wininet.h>

namespace snapwick {

// A WinINet handle (session, connection or request), closed with InternetCloseHandle.
class InternetHandle {
public:
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET h) : h_(h) {}
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    ~InternetHandle() { reset(); }
    HINTERNET get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(HINTERNET h = nullptr) {
        if (h_) InternetCloseHandle(h_);
        h_ = h;
    }

private:
    HINTERNET h_ = nullptr;
};

}  // namespace snapwick
