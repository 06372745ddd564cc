// Snapwick's command line: the arguments, which of them are options, and the rules
// for the four positional arguments.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace snapwick {

class CommandLine_CL {
public:
    CommandLine_CL() = default;
    virtual ~CommandLine_CL() = default;

    // Splits by the shell's rules and drops the program name; a leading '-' becomes
    // '/'. onArgument is called for every argument kept.
    void parse(const wchar_t* commandLine);
    // The n-th (1-based) argument that is not an option, or an empty string.
    std::wstring getPositional(size_t n) const;
    const std::vector<std::wstring>& arguments() const { return arguments_; }

protected:
    // Echoes the argument as a line on standard output.
    virtual void onArgument(const std::wstring& argument);

private:
    std::vector<std::wstring> arguments_;
};

// Position codes of a request item: every entry asks for an evenly spaced or a
// random position.
constexpr int64_t kEvenlySpaced = -1;
constexpr int64_t kRandom = -2;

struct ClientArguments {
    std::wstring movie;
    std::wstring output;
    int frames = 0;
    int64_t modeCode = kEvenlySpaced;
};

// Applies the rules to positionals 1 to 4: movie and output not empty, frames a
// decimal number from 1 to kMaxFrames, mode "normal" or "random" in any case.
// `problem`, when given, receives a line for the user where the usage line alone
// would not say what is wrong.
bool CheckArguments(const CommandLine_CL& commandLine, ClientArguments& out, std::wstring* problem = nullptr);

// A JPEG strip is at most 65,500 px wide (what the encoders take): more frames would
// leave each less than 16 px.
constexpr int kMaxFrames = 4093;
// Digits only, optional leading '-'; false for anything else or a value out of int range.
bool ParseFrameCount(const std::wstring& text, int& value);

}  // namespace snapwick
