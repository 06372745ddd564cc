// The entry of every test program: GoogleTest's usual main, except how the process ends.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    // Under Wine, GStreamer threads left behind by Media Foundation now and then fault
    // while a process unloads its DLLs on the way out, after every result was printed
    // (exit code 139). Ending here skips that unloading; the results and the exit code
    // stay as they are.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
