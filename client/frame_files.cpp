#include "client/frame_files.h"

namespace snapwick {

std::wstring FrameFileName(const std::wstring& outputPath, size_t index, size_t count) {
    if (count == 1) return outputPath;
    // Windows accepts '/' as a folder separator too; treating it like '\' keeps a path
    // such as C:/out/thumb.jpg a path.
    const size_t slash = outputPath.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"" : outputPath.substr(0, slash);
    std::wstring stem = slash == std::wstring::npos ? outputPath : outputPath.substr(slash + 1);
    const size_t dot = stem.find_last_of(L'.');
    if (dot != std::wstring::npos) stem.resize(dot);
    return folder + L"\\" + stem + L"_" + std::to_wstring(index) + L".jpg";
}

unsigned TileWidth(unsigned stripWidth, size_t count) {
    return count == 0 ? 0 : static_cast<unsigned>(stripWidth / count);
}

int64_t PositionSeconds(int64_t position) { return position / 10000000; }

}  // namespace snapwick
