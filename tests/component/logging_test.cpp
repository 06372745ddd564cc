// Log files, the settings file and the mutex wrapper, on the real file system.
#include <gtest/gtest.h>

#include <thread>

#include "common/inifile.h"
#include "common/log.h"
#include "common/mutex.h"
#include "testing/support/test_support.h"

using namespace testing_support;

namespace {

bool IsTimestamp(const std::wstring& line) {
    // "YYYY/MM/DD hh:mm:ss.mmm : "
    if (line.size() < 26) return false;
    const std::wstring pattern = L"dddd/dd/dd dd:dd:dd.ddd : ";
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == L'd' ? !iswdigit(line[i]) : line[i] != pattern[i]) return false;
    }
    return true;
}

// UTF-16 with one byte-order mark, a timestamp and CR LF per line; a message's own line
// feed is kept, an overlong one cut; a missing folder or path loses the line quietly.
TEST(WriteLog, LinesAreTimestampedUtf16WithCrLf) {
    ScratchFolder folder(L"log-format");
    LogFile log;
    log.path = folder.file(L"a.txt");
    WriteLog(log, L"first %d %s %S %lld", 42, L"wide", "narrow", -5000000000LL);
    WriteLog(log, L"二行目\n");
    const std::string bytes = ReadFileBytes(log.path);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE", 2));
    EXPECT_EQ(bytes.find(std::string("\xFF\xFE", 2), 2), std::string::npos);
    EXPECT_EQ(bytes.substr(bytes.size() - 6), std::string("\n\0\r\0\n\0", 6));
    const auto lines = ReadLogLines(log.path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(IsTimestamp(lines[0])) << std::string(lines[0].begin(), lines[0].end());
    EXPECT_EQ(lines[0].substr(26), L"first 42 wide narrow -5000000000");
    EXPECT_EQ(lines[1].substr(26), L"二行目\n");
    // Exactly: BOM + 2 lines of (26 + text + CR LF) UTF-16 units.
    EXPECT_EQ(bytes.size(), 2 + 2 * (26 + 32 + 2) + 2 * (26 + 4 + 2));
    // An overlong message is cut to fit, and its line kept.
    WriteLog(log, L"%s", std::wstring(5000, L'z').c_str());
    WriteLog(log, L"after");
    const auto messages = ReadLogMessages(log.path);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[2], std::wstring(1039, L'z'));
    EXPECT_EQ(messages[3], L"after");

    LogFile lost;
    lost.path = L"Z:\\no\\such\\folder\\log.txt";
    WriteLog(lost, L"lost");
    EXPECT_FALSE(FileExists(lost.path));
    LogFile unnamed;
    WriteLog(unnamed, L"no path: lost too");
}

TEST(WriteLog, RestartsOnlyWhenLargerThanTheLimit) {
    ScratchFolder folder(L"log-limit");
    LogFile log;
    log.path = folder.file(L"a.txt");
    EXPECT_EQ(log.maxBytes, 33554432);

    // Exactly at the limit: appended to.
    std::string content(static_cast<size_t>(MAX_LOG_BYTES), 'x');
    content[0] = '\xFF';
    content[1] = '\xFE';
    ASSERT_TRUE(WriteFileBytes(log.path, content));
    WriteLog(log, L"kept");
    EXPECT_EQ(ReadFileBytes(log.path).size(), MAX_LOG_BYTES + 2 * (26 + 4 + 2));

    // One byte over: emptied, then the line stands alone after a fresh BOM.
    content.push_back('x');
    ASSERT_TRUE(WriteFileBytes(log.path, content));
    WriteLog(log, L"alone");
    const std::string bytes = ReadFileBytes(log.path);
    EXPECT_EQ(bytes.size(), 2 + 2 * (26 + 5 + 2));
    EXPECT_EQ(ReadLogMessages(log.path), std::vector<std::wstring>{L"alone"});
}

TEST(WriteLog, ConcurrentWritersNeverInterleaveLines) {
    ScratchFolder folder(L"log-threads");
    LogFile log;
    log.path = folder.file(L"a.txt");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 50; ++i) WriteLog(log, L"thread %d line %d", t, i);
        });
    for (auto& th : threads) th.join();
    const auto messages = ReadLogMessages(log.path);
    ASSERT_EQ(messages.size(), 200u);
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 50; ++i)
            EXPECT_EQ(Count(messages, L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i)), 1u);
}

TEST(Inifile, SetPathCreatesAUnicodeFileAndLeavesAnExistingOneAlone) {
    ScratchFolder folder(L"ini");
    Inifile_CL ini;
    const std::wstring path = folder.file(L"Thumbnail.ini");
    ini.SetPath(path);
    EXPECT_EQ(ReadFileBytes(path), std::string("\xFF\xFE", 2));

    ini.SetInt(L"THUMBNAIL", L"run_decode", -12);
    ini.SetString(L"THUMBNAIL", L"名前", L"値 with blanks");
    const std::string before = ReadFileBytes(path);
    Inifile_CL again;
    again.SetPath(path);
    EXPECT_EQ(ReadFileBytes(path), before);
    EXPECT_EQ(again.GetInt(L"THUMBNAIL", L"run_decode", 0), -12);
    EXPECT_EQ(again.GetString(L"THUMBNAIL", L"名前", L""), L"値 with blanks");
    EXPECT_EQ(again.GetInt(L"THUMBNAIL", L"missing", 77), 77);
    EXPECT_EQ(again.GetString(L"OTHER", L"missing", L"def"), L"def");
    // Stored as UTF-16: the BOM is still the first two bytes.
    EXPECT_EQ(before.substr(0, 2), std::string("\xFF\xFE", 2));
}

// A lock holds the mutex for its scope; a mutex abandoned by a thread that ended is
// owned by the next lock and released with it.
TEST(MutexLock, HeldForItsScopeAndAbandonedOnesAreTakenOver) {
    Mutex_CL mutex(CreateMutexW(nullptr, FALSE, nullptr));
    const auto tryFromAnotherThread = [&] {
        DWORD result = WAIT_FAILED;
        std::thread([&] {
            result = WaitForSingleObject(mutex.handle, 0);
            if (result == WAIT_OBJECT_0) ReleaseMutex(mutex.handle);
        }).join();
        return result;
    };
    {
        Lock_CL lock(mutex.handle);
        EXPECT_EQ(lock.waitResult, static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_EQ(tryFromAnotherThread(), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    std::thread([&] { WaitForSingleObject(mutex.handle, INFINITE); }).join();  // ends owning it
    {
        Lock_CL lock(mutex.handle);
        EXPECT_EQ(lock.waitResult, static_cast<DWORD>(WAIT_ABANDONED));
    }
    EXPECT_EQ(tryFromAnotherThread(), static_cast<DWORD>(WAIT_OBJECT_0));
}

}  // namespace
