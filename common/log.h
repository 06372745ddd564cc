// Timestamped UTF-16LE log files that start over past a size limit.
#pragma once
#include <string>

constexpr int MAX_LOG_BYTES = 0x2000000;  // 32 MiB

struct LogFile {
    int maxBytes = MAX_LOG_BYTES;
    std::wstring path;
};

// Appends "YYYY/MM/DD hh:mm:ss.mmm : " + the formatted message + CR LF.
// printf-style wide format: "%s" wide string, "%S" narrow string.
// A message too long for the line buffer is cut to fit.
void WriteLog(LogFile& log, const wchar_t* format, ...);
