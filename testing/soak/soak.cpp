// Soak run (not a test): many requests of mixed good, failing, stalling, hanging and
// crashing movies through the pipe into one service, which restarts itself as it
// must. Afterwards every request must have had its final response or its logged
// failure, and the service must still serve. Prints the counts.
//   soak <work-folder> <movies-folder> [requests=200] [seed=1]
// Needs the fault codec registered in the Wine prefix (testing/soak.sh does it).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/inifile.h"
#include "testing/support/response_listener.h"
#include "testing/support/service_fixture.h"
#include "testing/support/test_support.h"

using namespace testing_support;

namespace {

enum Kind { Good, Failing, Stalling, Hanging, CrashStream, CrashJob, kKinds };
const char* const kKindNames[kKinds] = {"good", "failing", "stalling", "hanging", "crash-stream", "crash-job"};
// Out of 100 requests.
const int kKindShare[kKinds] = {58, 10, 14, 4, 7, 7};

struct Sent {
    Kind kind;
    std::wstring movie;
};

uint32_t g_seed = 1;
uint32_t Random() {
    g_seed = g_seed * 1103515245u + 12345u;
    return (g_seed >> 16) & 0x7FFF;
}

Kind PickKind() {
    int r = static_cast<int>(Random() % 100);
    for (int k = 0; k < kKinds; ++k) {
        if (r < kKindShare[k]) return static_cast<Kind>(k);
        r -= kKindShare[k];
    }
    return Good;
}

std::wstring MovieFor(Kind kind, int id, const std::wstring& work, const std::wstring& movies) {
    const std::wstring fault = work + L"\\movie" + std::to_wstring(id) + L".fault";
    switch (kind) {
        case Good:
            if (id % 3 == 0) return movies + L"\\seconds_640x360_noaudio.mp4";
            if (id % 3 == 1) return movies + L"\\seconds_640x360_mjpeg_pcm.avi";
            return WriteFaultMovie(fault, "");
        case Failing:
            return id % 2 ? movies + L"\\not_a_movie.mp4" : work + L"\\missing" + std::to_wstring(id) + L".mp4";
        case Stalling: return WriteFaultMovie(fault, "stall=1500-");
        case Hanging: return WriteFaultMovie(fault, "hang=render");
        case CrashStream: return WriteFaultMovie(fault, "crash=stream");
        default: return WriteFaultMovie(fault, "crash=seek");
    }
}

// Milliseconds of the day of a log line ("YYYY/MM/DD hh:mm:ss.mmm : ...").
long long LineTime(const std::wstring& line) {
    int h = 0, m = 0, s = 0, ms = 0;
    if (line.size() < 23 || swscanf(line.c_str() + 11, L"%d:%d:%d.%d", &h, &m, &s, &ms) != 4) return -1;
    return ((h * 60LL + m) * 60 + s) * 1000 + ms;
}

bool StartsWith(const std::wstring& s, size_t at, const std::wstring& prefix) {
    return s.size() >= at + prefix.size() && s.compare(at, prefix.size(), prefix) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: soak <work-folder> <movies-folder> [requests=200] [seed=1]\n");
        return 2;
    }
    const std::wstring work = argv[1], movies = argv[2];
    const int total = argc > 3 ? _wtoi(argv[3]) : 200;
    g_seed = argc > 4 ? static_cast<uint32_t>(_wtoi(argv[4])) : 1;
    CreateDirectoryW(work.c_str(), nullptr);
    Inifile_CL ini(work + L"\\Thumbnail.ini");
    ini.SetInt(L"THUMBNAIL", L"decode_frame_timeout_ms", 500);
    ini.SetInt(L"THUMBNAIL", L"decode_first_frame_timeout_ms", 1000);
    ini.SetInt(L"THUMBNAIL", L"decode_periodic_restart_count", 25);

    GdiplusSession gdiplus;
    const std::wstring client = UniqueName(L"soak");
    ResponseListener listener(client, false);
    ServiceProcess service(client, work);
    if (!listener.Started() || !service.Start() || !service.WaitWindow()) {
        std::fwprintf(stderr, L"soak: the service did not start\n");
        return 1;
    }
    const auto began = std::chrono::steady_clock::now();
    std::map<int32_t, Sent> sent;
    std::set<int32_t> hangsTimed;  // hanging requests whose watchdog was set off
    int kindCount[kKinds] = {};
    const auto finals = [&] {
        std::map<int32_t, int> n;
        for (const auto& r : listener.Responses())
            if (r.decode_count == 0) ++n[r.request_id];
        return n;
    };
    const auto settled = [&](int32_t id, const std::map<int32_t, int>& done, const std::vector<std::wstring>& errors) {
        return done.count(id) != 0 ||
               (sent[id].kind == CrashJob && std::count(errors.begin(), errors.end(), sent[id].movie) != 0);
    };
    // Up to 8 requests in the queue at once; hung jobs get the watchdog's timer (instead
    // of waiting its five minutes) once they have hung for two seconds.
    std::map<int32_t, std::chrono::steady_clock::time_point> hangSeen;
    int32_t next = 1;
    int lastOpen = -1, lastDone = -1;
    auto lastProgress = began;
    for (;;) {
        const auto done = finals();
        const auto errors = ReadLogMessages(work + L"\\kestrel_err_list.txt");
        const auto mainLines = ReadLogMessages(work + L"\\kestrel_log.txt");
        int open = 0;
        for (const auto& s : sent)
            if (!settled(s.first, done, errors)) ++open;
        if (next > total && open == 0) break;
        if (open != lastOpen || static_cast<int>(done.size()) != lastDone) {
            lastOpen = open;
            lastDone = static_cast<int>(done.size());
            lastProgress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastProgress > std::chrono::minutes(2)) {
            std::fwprintf(stderr, L"soak: no progress for two minutes\n");
            break;
        }
        for (const auto& s : sent) {
            if (s.second.kind != Hanging || hangsTimed.count(s.first) || done.count(s.first)) continue;
            if (std::find(mainLines.begin(), mainLines.end(), L"(file)" + s.second.movie) == mainLines.end()) continue;
            const auto now = std::chrono::steady_clock::now();
            if (!hangSeen.count(s.first)) hangSeen[s.first] = now;
            if (now - hangSeen[s.first] < std::chrono::seconds(2)) continue;
            if (HWND hwnd = FindServiceWindow(client)) {
                PostMessageW(hwnd, WM_TIMER, 0x10001, 0);
                hangsTimed.insert(s.first);
            }
        }
        if (next <= total && open < 8) {
            const Kind kind = PickKind();
            const std::wstring movie = MovieFor(kind, next, work, movies);
            const std::wstring output = work + L"\\out" + std::to_wstring(next) + L".bmp";
            if (!SendRequest(client, MakeRequest({MakeItem(next, movie, output, {15000000, 45000000})}, 32, 24))) {
                std::fwprintf(stderr, L"soak: request %d could not be delivered\n", next);
                break;
            }
            sent[next] = {kind, movie};
            ++kindCount[kind];
            ++next;
            continue;
        }
        Sleep(100);
    }

    // The service still serves: one more good request is answered.
    const int32_t ping = total + 1;
    const bool answered =
        SendRequest(client, MakeRequest({MakeItem(ping, WriteFaultMovie(work + L"\\ping.fault", ""),
                                                  work + L"\\ping.bmp", {15000000})}, 32, 24)) &&
        WaitFor([&] { return finals().count(ping) != 0; }, std::chrono::seconds(60));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    const auto done = finals();
    const auto errors = ReadLogMessages(work + L"\\kestrel_err_list.txt");
    int finished = 0, listed = 0, lost = 0, twice = 0;
    for (const auto& s : sent) {
        const auto d = done.find(s.first);
        if (d != done.end()) {
            ++finished;
            if (d->second > 1) ++twice;
        } else if (settled(s.first, done, errors)) {
            ++listed;
        } else {
            ++lost;
            std::fwprintf(stderr, L"soak: request %d (%S) has no final response nor logged failure\n", s.first,
                          kKindNames[s.second.kind]);
        }
    }
    const auto list = ReadLogMessages(work + L"\\kestrel_dec_list.txt");
    const auto count = [&](const std::wstring& line) { return std::count(list.begin(), list.end(), line); };
    long periodic = 0;
    for (const auto& l : list) periodic += StartsWith(l, 0, L"定期デコードによる再起動(");
    // Pipe hand-over: from the old process closing its pipe to the new one owning it.
    std::vector<long long> handover;
    long long stoppedAt = -1;
    for (const auto& line : ReadLogLines(work + L"\\kestrel_log.txt")) {
        if (StartsWith(line, 26, L"[LOG_LINE] (pipe) server stopped for restart")) stoppedAt = LineTime(line);
        if (StartsWith(line, 26, L"[LOG_LINE] (pipe) server started") && stoppedAt >= 0) {
            handover.push_back(LineTime(line) - stoppedAt);
            stoppedAt = -1;
        }
    }
    std::sort(handover.begin(), handover.end());
    const auto starts = std::count_if(list.begin(), list.end(), [](const std::wstring& l) { return StartsWith(l, 0, L"(exe-info) pid="); });

    std::printf("requests sent: %d in %.0f s (", static_cast<int>(sent.size()), seconds);
    for (int k = 0; k < kKinds; ++k) std::printf("%s%s %d", k ? ", " : "", kKindNames[k], kindCount[k]);
    std::printf(")\n");
    std::printf("final responses: %d (more than one for the same request: %d)\n", finished, twice);
    std::printf("logged failures without a response (given up after 3 job faults): %d\n", listed);
    std::printf("requests lost: %d\n", lost);
    std::printf("service processes: %ld; restarts: crash %ld, watchdog %ld, periodic %ld\n", static_cast<long>(starts),
                static_cast<long>(count(L"例外発生による再起動\n")), static_cast<long>(count(L"無応答による再起動")), periodic);
    if (!handover.empty())
        std::printf("pipe hand-over (old closes -> new owns): %zu, min %lld ms, median %lld ms, max %lld ms\n",
                    handover.size(), handover.front(), handover[handover.size() / 2], handover.back());
    std::printf("service still serving: %s\n", answered ? "yes" : "NO");
    service.Close();
    return lost == 0 && twice == 0 && answered && next > total ? 0 : 1;
}
