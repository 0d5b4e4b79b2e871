#include "headless/system/windows/command_line.h"

std::string quoteWindowsArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them; before one,
        // 2n stand for n, and 2n+1 for n and a literal quote.
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\');  // before the closing quote
    quoted += '"';
    return quoted;
}

std::string quoteWindowsProgram(const std::string& program) {
    if (!program.empty() && program.find_first_of(" \t") == std::string::npos) return program;
    return "\"" + program + "\"";
}

std::string windowsCommandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) line += ' ';
        line += i == 0 ? quoteWindowsProgram(argv[i]) : quoteWindowsArgument(argv[i]);
    }
    return line;
}
