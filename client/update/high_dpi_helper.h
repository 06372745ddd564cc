// Whether the process is DPI-aware, and the screen's DPI when it is not (the system
// then scales nothing for it, so the dialog scales its own pixel sizes).
#pragma once

namespace snapwick {

class HighDpiHelper_CL {
public:
    // Measures at construction and prints "Virtual DPI = ON/OFF".
    HighDpiHelper_CL();
    virtual ~HighDpiHelper_CL() = default;

    // Scales a 96-DPI pixel size when the process is not DPI-aware.
    int scaleX(int pixels) const;
    int scaleY(int pixels) const;

    int dpiAware = 1;
    int dpiX = 96;
    int dpiY = 96;
};

}  // namespace snapwick
