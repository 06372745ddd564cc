// The restart command line read back by CommandLineToArgvW, as the new process reads it.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include "common/scoped.h"
#include "service/process_state.h"

namespace {

std::vector<std::wstring> Split(const std::wstring& commandLine) {
    int argc = 0;
    LocalMemory<LPWSTR*> argv(CommandLineToArgvW(commandLine.c_str(), &argc));
    std::vector<std::wstring> args;
    for (int i = 0; argv.get() && i < argc; ++i) args.push_back(argv.get()[i]);
    return args;
}

TEST(RestartCommandLine, ClientNameAndWorkFolderComeBackUnchanged) {
    const std::wstring values[] = {
        L"D:\\", L"C:\\Users\\名前\\Documents\\Snapwick", L"with blanks\\", L"\\\\server\\share\\",
        L"a\"b", L"a\\\"b", L"ends with quote\"", L"\\", L"\\\\\\", L"\"", L"", L"tab\there", L"-restart"};
    for (const std::wstring& name : values) {
        for (const std::wstring& folder : values) {
            const auto args = Split(L"Tessaloom.exe " + RestartParameters(name, folder));
            ASSERT_EQ(args.size(), 4u) << "[" << std::string(name.begin(), name.end()) << "] ["
                                       << std::string(folder.begin(), folder.end()) << "]";
            EXPECT_EQ(args[1], name);
            EXPECT_EQ(args[2], folder);
            EXPECT_EQ(args[3], L"-restart");
        }
    }
}

}  // namespace
