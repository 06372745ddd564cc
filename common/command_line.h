// Building command lines that CommandLineToArgvW splits back into the same arguments.
#pragma once
#include <string>

// The argument in double quotes, with its quotes escaped and the backslashes before
// them (and before the closing quote) doubled, as CommandLineToArgvW reads them.
std::wstring QuoteArgument(const std::wstring& argument);

// The argument as it is when CommandLineToArgvW reads it back whole (no blank, tab or
// quote in it, not empty), else quoted as above.
std::wstring QuoteArgumentIfNeeded(const std::wstring& argument);
