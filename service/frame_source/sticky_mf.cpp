#include "service/frame_source/sticky_mf.h"

LockedPathSet StickyMfFileSet;
LockedPathSet StickyMfBypassLogSet;

size_t LockedPathSet::count(const std::wstring& path) const {
    std::lock_guard<std::mutex> guard(lock_);
    return paths_.count(path);
}

bool LockedPathSet::insert(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(lock_);
    return paths_.insert(path).second;
}

void LockedPathSet::erase(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(lock_);
    paths_.erase(path);
}

std::mutex& MediaFoundationSwitchLock() {
    static std::mutex lock;
    return lock;
}
