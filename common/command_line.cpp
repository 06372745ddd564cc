#include "common/command_line.h"

std::wstring QuoteArgumentIfNeeded(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    return QuoteArgument(argument);
}

std::wstring QuoteArgument(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count double only before a quote; the quote itself is escaped.
        const size_t copies = c == L'"' ? 2 * backslashes + 1 : backslashes;
        quoted.append(copies, L'\\');
        quoted.push_back(c);
        backslashes = 0;
    }
    // The closing quote follows: backslashes before it are doubled too.
    quoted.append(2 * backslashes, L'\\');
    quoted.push_back(L'"');
    return quoted;
}
