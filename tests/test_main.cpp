// The entry of every test program: GoogleTest's usual main, except that every program a
// test starts (and the services those start in turn) ends with it, and how it ends.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Its handle stays open until this process ends, which ends everything in the job.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, GetCurrentProcess())) {
        std::fprintf(stderr, "cannot put the test program in a job: %lu\n", GetLastError());
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    std::fflush(nullptr);  // every output stream
    // Under Wine, GStreamer threads left behind by Media Foundation now and then fault while a
    // process unloads its DLLs on the way out, after every result was printed (exit code 139).
    // Ending here skips that unloading; the results and the exit code stay as they are.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
