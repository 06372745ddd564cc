// Writes the frames that the service's frame source decodes at given positions as BMP
// files, so that operators see what the service would see.
#include <windows.h>
#include <gdiplus.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/image_encoder.h"
#include "common/log.h"
#include "common/scoped.h"
#include "service/frame_source/thumbnail_maker.h"

namespace {

const wchar_t kUsage[] =
    L"usage: frame_dump <movie> <output-folder> <position-ms>...\n"
    L"  Opens <movie> with the service's frame source (DirectShow, and Media Foundation\n"
    L"  when DirectShow fails) and writes the frame at each position, given in\n"
    L"  milliseconds from the start, as <output-folder>\\frame_<position-ms>.bmp.\n"
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
    if (argc < 4) {
        fwprintf(stderr, L"%ls", kUsage);
        return 2;
    }
    const std::wstring movie = argv[1];
    const std::wstring folder = argv[2];
    std::vector<long long> positions;
    for (int i = 3; i < argc; ++i) {
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
    if (source.SetContent(movie) != S_OK) {
        fwprintf(stderr, L"cannot open %ls (see %ls)\n", movie.c_str(), mainLog.path.c_str());
        return 1;
    }
    wprintf(L"%ls: duration %lld ms\n", movie.c_str(), static_cast<long long>(source.GetDuration() / 10000));

    int failures = 0;
    for (long long ms : positions) {
        DecodeFrameResult result = Failed;
        Gdiplus::Bitmap* frame = source.DecodeFrame(ms * 10000, &result);
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
        wprintf(L"%lld ms: %ux%u -> %ls\n", ms, frame->GetWidth(), frame->GetHeight(), out.c_str());
    }
    return failures == 0 ? 0 : 1;
}
