#include "client/command_line.h"

#include <windows.h>
#include <shellapi.h>
#include <climits>
#include <cwchar>

#include "common/console.h"
#include "common/scoped.h"

namespace snapwick {

void CommandLine_CL::parse(const wchar_t* commandLine) {
    arguments_.clear();
    int argc = 0;
    LocalMemory<LPWSTR*> argv(CommandLineToArgvW(commandLine, &argc));
    if (!argv.get()) return;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv.get()[i];
        if (!argument.empty() && argument[0] == L'-') argument[0] = L'/';
        arguments_.push_back(argument);
    }
    for (const auto& argument : arguments_) onArgument(argument);
}

std::wstring CommandLine_CL::getPositional(size_t n) const {
    size_t seen = 0;
    for (const auto& argument : arguments_) {
        if (!argument.empty() && argument[0] == L'/') continue;
        if (++seen == n) return argument;
    }
    return {};
}

void CommandLine_CL::onArgument(const std::wstring& argument) { WriteStdoutLine(argument); }

bool ParseFrameCount(const std::wstring& text, int& value) {
    size_t i = (!text.empty() && text[0] == L'-') ? 1 : 0;
    if (i == text.size()) return false;
    long long v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        v = v * 10 + (text[i] - L'0');
        if (v > INT_MAX) return false;
    }
    value = static_cast<int>(text[0] == L'-' ? -v : v);
    return true;
}

bool CheckArguments(const CommandLine_CL& commandLine, ClientArguments& out, std::wstring* problem) {
    out.movie = commandLine.getPositional(1);
    out.output = commandLine.getPositional(2);
    const std::wstring mode = commandLine.getPositional(4);
    if (out.movie.empty() || out.output.empty()) return false;
    if (!ParseFrameCount(commandLine.getPositional(3), out.frames) || out.frames <= 0) return false;
    if (out.frames > kMaxFrames) {
        if (problem)
            *problem = L"at most " + std::to_wstring(kMaxFrames) +
                       L" frames: with more, each frame of the strip would be less than 16 px wide";
        return false;
    }
    if (_wcsicmp(mode.c_str(), L"random") == 0) {
        out.modeCode = kRandom;
    } else if (_wcsicmp(mode.c_str(), L"normal") == 0) {
        out.modeCode = kEvenlySpaced;
    } else {
        return false;
    }
    return true;
}

}  // namespace snapwick
