// Feeds seeded hostile inputs through the service's intake in this process (the pipe
// handler, the WM_COPYDATA handler, Load of the queue file), each from memory that
// ends at a no-access page, and prints how many cases ran, crashed and lost items.
//   intake_fuzz [--cases N] [--seed S] [--first K]
// A case is reproduced alone with --seed S --first K --cases 1.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "testing/intake_fuzz/intake_fuzzer.h"

namespace {

uint64_t g_seed = 1;
uint64_t g_first = 0;
volatile uint64_t g_case = 0;

void PrintSummary(uint64_t cases, uint64_t crashes, uint64_t lost, uint64_t wrong) {
    std::printf("cases: %llu  crashes: %llu  items lost: %llu  wrong outcomes: %llu\n",
                static_cast<unsigned long long>(cases), static_cast<unsigned long long>(crashes),
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(wrong));
    std::fflush(stdout);
}

// A fault in a reader (one that reads past its input hits the no-access page) ends
// the run here, naming the case that caused it.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    const HostileCase input = MakeHostileCase(g_seed, g_case);
    std::printf("crash in case %llu (%s, %s): exception 0x%08lX at %p\n", static_cast<unsigned long long>(g_case),
                TargetName(input.target), input.mutation.c_str(), info->ExceptionRecord->ExceptionCode,
                info->ExceptionRecord->ExceptionAddress);
    PrintSummary(g_case - g_first + 1, 1, 0, 0);
    return EXCEPTION_EXECUTE_HANDLER;
}

void RemoveFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW((folder + L"\\" + data.cFileName).c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    uint64_t cases = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        const uint64_t value = wcstoull(argv[i + 1], nullptr, 10);
        if (option == L"--cases") cases = value;
        else if (option == L"--seed") g_seed = value;
        else if (option == L"--first") g_first = value;
    }
    if (argc % 2 == 0) {
        std::printf("usage: intake_fuzz [--cases N] [--seed S] [--first K]\n");
        return 1;
    }

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    const std::wstring folder = std::wstring(temp) + L"intake_fuzz-" + pid;
    CreateDirectoryW(folder.c_str(), nullptr);

    SetUnhandledExceptionFilter(ReportCrash);
    FuzzTotals totals;
    {
        IntakeFuzzer fuzzer(folder, L"intake-fuzz-" + pid);
        if (!fuzzer.Ready()) {
            std::printf("the service window could not be created\n");
            return 2;
        }
        std::printf("seed %llu, cases %llu to %llu\n", static_cast<unsigned long long>(g_seed),
                    static_cast<unsigned long long>(g_first), static_cast<unsigned long long>(g_first + cases - 1));
        std::fflush(stdout);
        totals = RunHostileCases(fuzzer, g_seed, g_first, cases, [](uint64_t index) { g_case = index; });
    }
    for (int t = 0; t < kIntakeTargetCount; ++t)
        std::printf("  %-17s %7llu cases, %7llu taken\n", TargetName(static_cast<IntakeTarget>(t)),
                    static_cast<unsigned long long>(totals.casesByTarget[t]),
                    static_cast<unsigned long long>(totals.acceptedByTarget[t]));
    for (const std::string& problem : totals.problems) std::printf("  %s\n", problem.c_str());
    PrintSummary(totals.cases, 0, totals.itemsLost, totals.wrong);
    const bool clean = totals.itemsLost == 0 && totals.wrong == 0;
    if (clean) RemoveFolder(folder);
    else std::printf("logs and files in %ls\n", folder.c_str());
    return clean ? 0 : 1;
}
