// The crash filter in a real process: a fault on a secondary thread marks the job's
// movie when a job was running, logs the restart and starts a new process.
#include <gtest/gtest.h>

#include "common/command_line.h"
#include "common/inifile.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

struct CrashRun {
    DWORD exitCode = 0;
    bool restarted = false;
    std::wstring restartArguments;
    int exceptionMark = -7;  // THUMBNAIL/exception afterwards; -7 when not written
};

// Runs the probe in `folder` (given on its command line as `folderArgument`) with
// run_decode set as given (1: a job is running).
CrashRun Crash(const ScratchFolder& folder, const std::wstring& client, int runDecode,
               const std::wstring& folderArgument) {
    Inifile_CL ini;
    ini.SetPath(folder.file(L"Thumbnail.ini"));
    ini.SetInt(L"THUMBNAIL", L"run_decode", runDecode);
    CrashRun run;
    ChildProcess probe;
    EXPECT_TRUE(probe.Start(ProgramFolder() + L"\\crash_probe.exe",
                            QuoteArgument(client) + L" " + QuoteArgument(folderArgument)));
    EXPECT_TRUE(probe.Wait(30000, &run.exitCode));
    const std::wstring marker = folder.file(L"restarted.txt");
    run.restarted = WaitFor([&] { return !ReadFileBytes(marker).empty(); });
    const std::string bytes = ReadFileBytes(marker);
    run.restartArguments.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    run.exceptionMark = ini.GetInt(L"THUMBNAIL", L"exception", -7);
    return run;
}

TEST(CrashFilter, FaultDuringAJobMarksTheMovieAndRestartsWithQuotedArguments) {
    ScratchFolder folder(L"crash during job");
    // A folder given with its trailing backslash, as "D:\" would be.
    const std::wstring folderArgument = folder.path() + L"\\";
    const CrashRun run = Crash(folder, L"client \"name\"", 1, folderArgument);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)) << std::hex << run.exitCode;
    EXPECT_EQ(run.exceptionMark, 1);
    EXPECT_EQ(ReadUtf16File(folder.file(L"kestrel_dec_list.txt")).substr(26),
              L"例外発生による再起動\n\r\n");
    ASSERT_TRUE(run.restarted);
    EXPECT_EQ(run.restartArguments, L"[client \"name\"][" + folderArgument + L"][-restart]");
    const auto seq = ReadLogMessages(folder.file(L"kestrel_seq.txt"));
    EXPECT_EQ(seq, (std::vector<std::wstring>{L"AppRestart_START", L"AppRestart_END"}));
}

TEST(CrashFilter, FaultBetweenJobsLeavesTheExceptionMarkAlone) {
    ScratchFolder folder(L"crash idle");
    const CrashRun run = Crash(folder, L"idle", 0, folder.path());
    EXPECT_EQ(run.exceptionMark, -7);
    EXPECT_TRUE(run.restarted);
}

}  // namespace
