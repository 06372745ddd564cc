// Where the frames of the strip go and what the outside program is told about them.
#pragma once
#include <cstdint>
#include <string>

namespace snapwick {

// The file of frame `index` of `count`: the output path itself for a single frame,
// else "<folder>\<stem>_<index>.jpg" (stem: the file name cut before its last '.').
// An output path without a folder gives a name that starts with a backslash.
std::wstring FrameFileName(const std::wstring& outputPath, size_t index, size_t count);

// Width of one tile when a strip `stripWidth` pixels wide holds `count` tiles.
unsigned TileWidth(unsigned stripWidth, size_t count);

// A movie position (100 ns units) in whole seconds, truncated toward zero.
int64_t PositionSeconds(int64_t position);

}  // namespace snapwick
