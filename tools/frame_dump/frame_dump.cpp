// Writes the frames that the service's frame source decodes at given positions as BMP
// files, so that operators see what the service would see.
#include <windows.h>
#include <gdiplus.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/image_encoder.h"
#include "common/scoped.h"
#include "service/frame_source/thumbnail_maker.h"
#include "service/logs.h"

namespace {

const wchar_t kUsage[] =
    L"usage: frame_dump [--keyframe] <movie> <output-folder> <position-ms>...\n"
    L"  Opens <movie> with the service's frame source (DirectShow, and Media Foundation\n"
    L"  when DirectShow fails) and writes the frame at each position, given in\n"
    L"  milliseconds from the start, as <output-folder>\\frame_<position-ms>.bmp.\n"
    L"  --keyframe takes the keyframe at or before each position instead (the\n"
    L"  service's seek_to_keyframe=1). Each line tells the time of the frame shown\n"
    L"  and how long it took to decode.\n"
    L"  The frame source's time limits come from <output-folder>\\Thumbnail.ini\n"
    L"  (section THUMBNAIL) and its log lines go to kestrel_log.txt and\n"
    L"  kestrel_dec_list.txt in <output-folder>.\n"
    L"  Exit code: 0 all frames written, 1 some frame or the movie failed, 2 usage.\n";

const wchar_t* ResultName(DecodeFrameResult r) {
    switch (r) {
        case Success: return L"success";
        case Timeout: return L"timeout";
        case Cancelled: return L"cancelled";
        default: return L"failed";
    }
}

bool ParsePosition(const wchar_t* text, long long* ms) {
    wchar_t* end = nullptr;
    *ms = wcstoll(text, &end, 10);
    return end != text && *end == L'\0' && *ms >= 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool keyframes = argc > 1 && wcscmp(argv[1], L"--keyframe") == 0;
    const int first = keyframes ? 2 : 1;
    if (argc < first + 3) {
        fwprintf(stderr, L"%ls", kUsage);
        return 2;
    }
    const std::wstring movie = argv[first];
    const std::wstring folder = argv[first + 1];
    std::vector<long long> positions;
    for (int i = first + 2; i < argc; ++i) {
        long long ms = 0;
        if (!ParsePosition(argv[i], &ms)) {
            fwprintf(stderr, L"bad position: %ls\n%ls", argv[i], kUsage);
            return 2;
        }
        positions.push_back(ms);
    }
    CreateDirectoryW(folder.c_str(), nullptr);
    mainLog.path = folder + L"\\kestrel_log.txt";
    decodeListLog.path = folder + L"\\kestrel_dec_list.txt";

    ComApartment com;
    GdiplusSession gdiplus;
    if (FAILED(com.result()) || !gdiplus.ok()) {
        fwprintf(stderr, L"COM or GDI+ did not start\n");
        return 1;
    }
    CLSID bmp;
    if (!FindImageEncoder(L"image/bmp", &bmp)) {
        fwprintf(stderr, L"no BMP encoder\n");
        return 1;
    }

    // Never signalled: the tool is not cancelled, only timed out.
    UniqueHandle cancel(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    DShowThumbnailMaker_CL source(folder, cancel.get());
    source.SetSeekToKeyframe(keyframes);
    const ULONGLONG openStart = GetTickCount64();
    if (source.SetContent(movie) != S_OK) {
        fwprintf(stderr, L"cannot open %ls (see %ls)\n", movie.c_str(), mainLog.path.c_str());
        return 1;
    }
    wprintf(L"%ls: duration %lld ms, opened in %llu ms\n", movie.c_str(),
            static_cast<long long>(source.GetDuration() / 10000), GetTickCount64() - openStart);

    int failures = 0;
    for (long long ms : positions) {
        DecodeFrameResult result = Failed;
        int64_t shownAt = 0;
        const ULONGLONG start = GetTickCount64();
        Gdiplus::Bitmap* frame = source.DecodeFrame(ms * 10000, &result, &shownAt);
        const ULONGLONG took = GetTickCount64() - start;
        const std::wstring out = folder + L"\\frame_" + std::to_wstring(ms) + L".bmp";
        if (!frame) {
            wprintf(L"%lld ms: %ls\n", ms, ResultName(result));
            ++failures;
            continue;
        }
        if (frame->Save(out.c_str(), &bmp, nullptr) != Gdiplus::Ok) {
            wprintf(L"%lld ms: cannot write %ls\n", ms, out.c_str());
            ++failures;
            continue;
        }
        wprintf(L"%lld ms: %ux%u, shows %lld.%04lld ms, %llu ms -> %ls\n", ms, frame->GetWidth(), frame->GetHeight(),
                static_cast<long long>(shownAt / 10000), static_cast<long long>(shownAt % 10000), took, out.c_str());
    }
    return failures == 0 ? 0 : 1;
}
