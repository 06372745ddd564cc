// Cutting the service's strip image into one JPEG file per frame.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace snapwick {

// Cuts the strip at stripPath into `count` tiles of equal width, left to right, and
// saves tile i as JPEG to FrameFileName(outputPath, i, count). Returns, per tile,
// whether its file was written. `handOver`, when given, is called on the calling thread
// with each tile whose file was written, in order, as soon as it is. Needs GDI+ started.
std::vector<bool> CutStripIntoFrames(const std::wstring& stripPath, const std::wstring& outputPath, size_t count,
                                     const std::function<void(size_t)>& handOver = nullptr);

}  // namespace snapwick
