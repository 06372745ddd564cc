#include <windows.h>

#include "service/app/app.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    SetUnhandledExceptionFilter(CrashFilter);
    try {
        return ServiceMain(instance);
    } catch (...) {
        // A failure that escapes the main body ends the process without a restart.
        return -1;
    }
}
