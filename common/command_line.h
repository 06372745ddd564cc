// Building command lines that CommandLineToArgvW splits back into the same arguments.
#pragma once
#include <string>

// The argument in double quotes, with its quotes escaped and the backslashes before
// them (and before the closing quote) doubled, as CommandLineToArgvW reads them.
std::wstring QuoteArgument(const std::wstring& argument);
