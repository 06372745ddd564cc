#include "service/frame_source/sticky_mf.h"

#include <set>

namespace {
std::mutex g_lock;
std::set<std::wstring> g_movies;
}  // namespace

bool OnMediaFoundationRoute(const std::wstring& movie) {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_movies.count(movie) != 0;
}

bool SetMediaFoundationRoute(const std::wstring& movie, bool on) {
    std::lock_guard<std::mutex> guard(g_lock);
    return on ? g_movies.insert(movie).second : g_movies.erase(movie) != 0;
}

std::mutex& MediaFoundationSwitchLock() {
    static std::mutex lock;
    return lock;
}
