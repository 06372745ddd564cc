// Movies that needed the switch from DirectShow to Media Foundation stay on that route
// for the life of the process. Read and written by every frame source of a job, each
// on its own thread.
#pragma once
#include <mutex>
#include <string>

// Whether the movie takes the Media Foundation route.
bool OnMediaFoundationRoute(const std::wstring& movie);
// Puts the movie on that route, or (off) takes it off. True when that changed it.
bool SetMediaFoundationRoute(const std::wstring& movie, bool on);

// Held by a frame source while it switches a movie to Media Foundation, so that the
// sources of one job switch it once: a source that waited here finds the movie
// switched and takes the Media Foundation route without a switch of its own.
std::mutex& MediaFoundationSwitchLock();
