// Movies that needed the switch from DirectShow to Media Foundation: process-wide, and
// read and written by every frame source of a job, each on its own thread.
#pragma once
#include <cstddef>
#include <mutex>
#include <set>
#include <string>

class LockedPathSet {
public:
    size_t count(const std::wstring& path) const;
    // True when the path was not in the set before.
    bool insert(const std::wstring& path);
    void erase(const std::wstring& path);

private:
    mutable std::mutex lock_;
    std::set<std::wstring> paths_;
};

// Movies that once needed the switch to Media Foundation, for the life of the process.
extern LockedPathSet StickyMfFileSet;
// Movies whose "setcontent-bypass-ds" line has been written.
extern LockedPathSet StickyMfBypassLogSet;

// Held by a frame source while it switches a movie to Media Foundation, so that the
// sources of one job switch it once: a source that waited here finds the movie
// switched and takes the Media Foundation route without a switch of its own.
std::mutex& MediaFoundationSwitchLock();
