// Stand-in for the outside program "velmar.exe" that Snapwick runs once per frame file:
// appends its arguments, one per line (UTF-8), to "velmar_calls.txt" beside itself.
#include <windows.h>

#include <string>

#include "common/console.h"
#include "common/module_path.h"
#include "common/scoped.h"

int wmain(int argc, wchar_t** argv) {
    const std::wstring path = ProgramFolder() + L"\\velmar_calls.txt";

    std::wstring lines;
    for (int i = 1; i < argc; ++i) lines += std::wstring(argv[i]) + L"\n";
    const std::string utf8 = ToUtf8(lines);

    // Appends in one write, so that the lines of one call stay together.
    UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr)) return 1;
    return 0;
}
