// The service's entry: start-up, message loop, shutdown, and the crash filter.
#pragma once
#include <windows.h>

// The main body: returns the process exit code.
int ServiceMain(HINSTANCE instance);

// Top-level filter for faults that no handler of their thread took.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info);
