// The crash filter in a real process: a fault on a secondary thread logs the restart and
// starts a new process with the same arguments (read back as the new process reads them: a
// name with quotes, a folder with blanks and a trailing backslash), and marks the job's movie
// only when a job was running. A service its client closed is marked the same way but not
// started again; one whose watchdog already started a new process starts no second one.
#include <gtest/gtest.h>

#include "common/command_line.h"
#include "common/console.h"
#include "common/inifile.h"
#include "testing/support/test_support.h"

using namespace testing_support;

namespace {

TEST(CrashFilter, FaultRestartsWithQuotedArgumentsUnlessClosedAndMarksTheMovieOnlyDuringAJob) {
    const struct {
        int runDecode;
        const wchar_t* mode;
    } cases[] = {{1, L""}, {0, L""}, {1, L"-close"}, {0, L"-handover"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.runDecode << ToUtf8(c.mode));
        ScratchFolder folder(L"crash " + std::to_wstring(c.runDecode) + c.mode);
        Inifile_CL ini;
        ini.SetPath(folder.file(L"Thumbnail.ini"));
        ini.SetInt(L"THUMBNAIL", L"run_decode", c.runDecode);
        // A folder given with its trailing backslash, as "D:\" would be. The probe faults under the
        // crash filter; started again with the restart marker, it writes "restarted.txt".
        const std::wstring folderArgument = folder.path() + L"\\";
        const std::wstring arguments = QuoteArgument(L"client \"name\"") + L" " + QuoteArgument(folderArgument);
        ChildProcess probe;
        ASSERT_TRUE(probe.Start(ProgramFolder() + L"\\crash_probe.exe", arguments + L" " + c.mode));
        DWORD code = 0;
        ASSERT_TRUE(probe.Wait(30000, &code));
        EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)) << std::hex << code;
        EXPECT_EQ(ini.GetInt(L"THUMBNAIL", L"exception", -7), c.runDecode ? 1 : -7);
        if (c.mode == std::wstring(L"-close")) {
            EXPECT_TRUE(Contains(ReadLogMessages(folder.file(L"kestrel_dec_list.txt")),
                                 L"例外発生(終了要求済みのため再起動しない)"));
            EXPECT_FALSE(Contains(ReadLogMessages(folder.file(L"kestrel_seq.txt")), L"AppRestart_START"));
            continue;
        }
        const std::wstring marker = folder.file(L"restarted.txt");
        ASSERT_TRUE(WaitFor([&] { return !ReadFileBytes(marker).empty(); }));
        const std::string bytes = ReadFileBytes(marker);
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2),
                  L"[client \"name\"][" + folderArgument + L"][-restart]");
        // Exactly one new process: after a hand-over, the watchdog's.
        const auto list = ReadLogMessages(folder.file(L"kestrel_dec_list.txt"));
        EXPECT_EQ(Count(list, L"例外発生による再起動\n"), *c.mode ? 0u : 1u);
        EXPECT_EQ(Count(list, L"無応答による再起動"), *c.mode ? 1u : 0u);
        EXPECT_EQ(Count(ReadLogMessages(folder.file(L"kestrel_seq.txt")), L"AppRestart_START"), 1u);
    }
}

}  // namespace
