// Lines of text for a person at the console: UTF-16 on a console, UTF-8 when the
// output goes to a file or a pipe, so that Japanese text survives either way.
#pragma once
#include <string>

void WriteStdoutLine(const std::wstring& text);
void WriteStderrLine(const std::wstring& text);

// UTF-16 text as UTF-8 bytes.
std::string ToUtf8(const std::wstring& text);
