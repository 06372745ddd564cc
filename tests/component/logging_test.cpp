// Log files and the settings file, byte for byte on the real file system.
#include <gtest/gtest.h>

#include <regex>

#include "common/inifile.h"
#include "common/log.h"
#include "testing/support/test_support.h"

using namespace testing_support;

namespace {

const std::string kBom("\xFF\xFE", 2);

// Logs: UTF-16 with one byte-order mark, a timestamp "YYYY/MM/DD hh:mm:ss.mmm : " and CR LF
// per line; a message's own line feed is kept, an overlong one cut; a missing folder loses
// the line quietly. A log over its limit (not one exactly at it) starts again. SetPath makes
// a new settings file a UTF-16 one (its byte-order mark alone) and leaves an existing one.
TEST(LogAndSettingsFiles, LogLinesAreTimestampedUtf16RestartingOverTheLimitAndANewIniIsUtf16) {
    ScratchFolder folder(L"log-format");
    LogFile log;
    log.path = folder.file(L"a.txt");
    WriteLog(log, L"first %d %s %S %lld", 42, L"wide", "narrow", -5000000000LL);
    WriteLog(log, L"二行目\n");
    WriteLog(log, L"%s", std::wstring(5000, L'z').c_str());
    const std::string bytes = ReadFileBytes(log.path);
    ASSERT_EQ(bytes.size(), 2 + 2 * (26 + 32 + 2) + 2 * (26 + 4 + 2) + 2 * (26 + 1039 + 2));
    EXPECT_EQ(bytes.substr(0, 2) + bytes.substr(2 + 2 * (26 + 32), 4), kBom + std::string("\r\0\n\0", 4));
    EXPECT_NE(bytes.find(std::string("\xEE\x76\n\0\r\0\n\0", 8)), std::string::npos);  // 目, LF, CR LF
    EXPECT_TRUE(std::regex_match(ReadLogLines(log.path).at(0).substr(0, 26),
                                 std::wregex(L"\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} : ")));
    EXPECT_EQ(ReadLogMessages(log.path), (std::vector<std::wstring>{L"first 42 wide narrow -5000000000", L"二行目\n",
                                                                     std::wstring(1039, L'z')}));
    LogFile lost{MAX_LOG_BYTES, L"Z:\\no\\such\\folder\\log.txt"};
    WriteLog(lost, L"lost");
    EXPECT_FALSE(FileExists(lost.path));
    EXPECT_EQ(log.maxBytes, 33554432);
    std::string full = kBom + std::string(static_cast<size_t>(MAX_LOG_BYTES) - 2, 'x');
    ASSERT_TRUE(WriteFileBytes(log.path, full));
    WriteLog(log, L"kept");
    EXPECT_EQ(ReadFileBytes(log.path).size(), MAX_LOG_BYTES + 2 * (26 + 4 + 2));
    ASSERT_TRUE(WriteFileBytes(log.path, full + 'x'));
    WriteLog(log, L"alone");
    EXPECT_EQ(ReadFileBytes(log.path).size(), 2 + 2 * (26 + 5 + 2));
    EXPECT_EQ(ReadLogMessages(log.path), std::vector<std::wstring>{L"alone"});

    const std::wstring path = folder.file(L"Thumbnail.ini");
    Inifile_CL ini, again;
    ini.SetPath(path);
    EXPECT_EQ(ReadFileBytes(path), kBom);
    ini.SetString(L"THUMBNAIL", L"名前", L"値 with blanks");
    const std::string before = ReadFileBytes(path);
    again.SetPath(path);
    EXPECT_EQ(ReadFileBytes(path), before);
    EXPECT_EQ(again.GetString(L"THUMBNAIL", L"名前", L""), L"値 with blanks");
}

}  // namespace
