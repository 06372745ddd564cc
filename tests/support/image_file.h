// Reading an image file's pixels for tests (through GDI+, from a copy in memory so
// that the file is never held open).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct Rgb {
    int r = 0, g = 0, b = 0;
};

struct ImagePixels {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> argb;  // row by row, top row first
    Rgb At(int x, int y) const;
    // Average colour of the rectangle's inner half (away from scaled edges).
    Rgb Average(int x, int y, int w, int h) const;
};

// Needs GDI+ started. False when the file is missing or not an image.
bool LoadImagePixels(const std::wstring& path, ImagePixels& image);

bool Near(const Rgb& a, const Rgb& b, int tolerance);
Rgb FromHex(uint32_t rgb);
std::string Describe(const Rgb& c);

// Colour of second `s` in the "seconds_" test movies.
Rgb SecondsMovieColour(int64_t position100ns);

}  // namespace testing_support
