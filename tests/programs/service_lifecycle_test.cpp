// The real Tessaloom.exe started as its client starts it, and ended by WM_CLOSE.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

std::wstring Exe() { return ProgramFolder() + L"\\Tessaloom.exe"; }

TEST(ServiceLifecycle, FewerThanTwoArgumentsReturnsMinusOneAndCreatesNothing) {
    ScratchFolder folder(L"args");
    for (const std::wstring& arguments : {std::wstring(L""), L"\"" + folder.path() + L"\""}) {
        ChildProcess service;
        ASSERT_TRUE(service.Start(Exe(), arguments));
        DWORD code = 0;
        ASSERT_TRUE(service.Wait(20000, &code));
        EXPECT_EQ(code, static_cast<DWORD>(-1));
    }
    EXPECT_FALSE(FileExists(folder.file(L"Thumbnail.ini")));
    EXPECT_FALSE(FileExists(folder.file(L"kestrel_log.txt")));
    EXPECT_FALSE(FileExists(folder.file(L"kestrel_dec_list.txt")));
}

TEST(ServiceLifecycle, StartsWithItsWindowAndLogsAndEndsOnClose) {
    ScratchFolder folder(L"start");
    const std::wstring client = UniqueName(L"start");
    ServiceProcess service(client, folder.path());
    ASSERT_TRUE(service.Start());
    HWND hwnd = service.WaitWindow();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_FALSE(IsWindowVisible(hwnd));
    wchar_t title[256] = {};
    GetWindowTextW(hwnd, title, 256);
    EXPECT_EQ(std::wstring(title), client);

    EXPECT_EQ(ReadFileBytes(folder.file(L"Thumbnail.ini")).substr(0, 2), std::string("\xFF\xFE", 2));
    const auto main = ReadLogMessages(folder.file(L"kestrel_log.txt"));
    ASSERT_GE(main.size(), 2u);
    EXPECT_EQ(main[0], L"★アプリ開始(Tessaloom-" + client + L")");
    EXPECT_EQ(main[1].rfind(L"[LOG_LINE]  exe-info pid=" + std::to_wstring(service.process().Pid()) +
                                L" path(",
                            0),
              0u);
    // The start request posted at creation finds the queue empty.
    ASSERT_TRUE(WaitFor([&] {
        return Contains(ReadLogMessages(folder.file(L"kestrel_dec_list.txt")), L"デーコードするアイテムがなくなりました。");
    }));
    EXPECT_TRUE(Contains(ReadLogMessages(folder.file(L"kestrel_dec_list.txt")), L"デコードアイテムは読み込まない"));
    const auto seq = ReadLogMessages(folder.file(L"kestrel_seq.txt"));
    EXPECT_EQ(seq[0], L"WM_CREATE");

    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    DWORD code = 1;
    ASSERT_TRUE(service.process().Wait(20000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Contains(ReadLogMessages(folder.file(L"kestrel_seq.txt")), L"WM_DECODE_CANCEL"));
    EXPECT_TRUE(Contains(ReadLogMessages(folder.file(L"kestrel_dec_list.txt")),
                         L"デコードキャンセルにより終了しました。"));
    // Idle close writes no queue file.
    EXPECT_FALSE(FileExists(folder.file(L"TessaloomDataList.dat")));
}

TEST(ServiceLifecycle, WatchdogTimerRestartsWithTheSavedQueueAndOtherTimersDoNothing) {
    ScratchFolder folder(L"restart folder with blanks");
    const std::wstring client = UniqueName(L"restart");
    ServiceProcess service(client, folder.path());
    ASSERT_TRUE(service.Start());
    HWND hwnd = service.WaitWindow();
    ASSERT_NE(hwnd, nullptr);
    const DWORD firstPid = service.process().Pid();

    const auto seqCount = [&](const wchar_t* line) {
        return Count(ReadLogMessages(folder.file(L"kestrel_seq.txt")), line);
    };
    ASSERT_TRUE(WaitFor([&] { return seqCount(L"WM_DECODE_START") == 1; }));
    PostMessageW(hwnd, WM_TIMER, 0x10002, 0);
    PostMessageW(hwnd, WM_TIMER, 1, 0);
    // Posted messages are handled in order: once this start request is logged, the
    // foreign timers have been handled, and they restarted nothing.
    PostMessageW(hwnd, 0x8412, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return seqCount(L"WM_DECODE_START") == 2; }));
    EXPECT_TRUE(service.process().Running());
    EXPECT_EQ(seqCount(L"AppRestart_START"), 0u);

    PostMessageW(hwnd, WM_TIMER, 0x10001, 0);
    ASSERT_TRUE(service.process().Wait(20000));
    // The new process announces itself and loads the queue.
    ASSERT_TRUE(WaitFor([&] {
        return Count(ReadLogMessages(folder.file(L"kestrel_dec_list.txt")),
                     L"デコードアイテムの読み込み") == 1;
    }));
    const auto seq = ReadLogMessages(folder.file(L"kestrel_seq.txt"));
    EXPECT_TRUE(Contains(seq, L"無応答による再起動"));
    EXPECT_TRUE(Contains(seq, L"AppRestart_END"));
    HWND second = service.WaitWindow();
    ASSERT_NE(second, nullptr);
    DWORD secondPid = 0;
    GetWindowThreadProcessId(second, &secondPid);
    EXPECT_NE(secondPid, firstPid);
    EXPECT_EQ(Count(ReadLogMessages(folder.file(L"kestrel_log.txt")),
                    L"★アプリ開始(Tessaloom-" + client + L")"),
              2u);
    EXPECT_TRUE(service.Close());
}

}  // namespace
