// The fault codec's source filter: one output pin ("Out") of 64x48 YUY2 frames, 25 per second
// for 12 s, whose grey level tells the frame number; seekable; doing what its fault movie
// says (fault_script.h). The codec DLL hands it out as a registered source filter.
#pragma once
#include <windows.h>
#include <dshow.h>
#include <cstdint>

namespace fault_codec {

extern const CLSID CLSID_FaultSource;  // {6A1F3C52-84D9-4E07-B1A3-5C2E9D7F0B18}
constexpr LONGLONG kFrameTime = 400000;
constexpr int kWidth = 64, kHeight = 48;

// The grey that frame `index` converts to.
int GreyOfFrame(int64_t index);
// A new filter, holding one reference for the caller.
IBaseFilter* NewFaultSource();

}  // namespace fault_codec
