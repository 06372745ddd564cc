// Running the outside program "velmar.exe" for one frame file.
#pragma once
#include <cstdint>
#include <string>

namespace snapwick {

// <program> -s 0 <seconds> <frame file>, each path in quotes only when it must be
// (a blank, a tab or a quote in it, or empty).
std::wstring OutsideProgramCommandLine(const std::wstring& program, int64_t seconds,
                                       const std::wstring& frameFile);

// Starts the program directly (no command interpreter, so nothing in a path is run
// as a command) and waits for it to end. Its exit code is not looked at; false when
// it could not be started.
bool RunOutsideProgram(const std::wstring& program, int64_t seconds, const std::wstring& frameFile);

}  // namespace snapwick
