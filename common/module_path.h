// Where this process runs from, at any path length: a program folder may be longer
// than MAX_PATH.
#pragma once
#include <windows.h>
#include <string>

// The full path of the module (null: the program); empty when it cannot be had.
std::wstring ModuleFileName(HMODULE module);
// The folder of this program (or of the module), without its last backslash; empty
// when it cannot be had.
std::wstring ProgramFolder(HMODULE module = nullptr);
// The current folder.
std::wstring CurrentFolder();
