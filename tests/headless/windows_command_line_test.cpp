// Windows command lines: each argument must come back whole from the C
// runtime's splitter. The splitter here follows Microsoft's documented
// rules ("Parsing C++ command-line arguments"), written apart from the
// quoting so that one cannot share a mistake with the other.
#include <gtest/gtest.h>

#include "headless/system/windows/command_line.h"

namespace {
std::vector<std::string> splitLikeTheRuntime(const std::string& line) {
    std::vector<std::string> argv;
    std::size_t i = 0;
    // argv[0]: up to the next quote if it starts with one, else to a blank.
    std::string program;
    if (i < line.size() && line[i] == '"') {
        const std::size_t close = line.find('"', i + 1);
        program = line.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1);
        i = close == std::string::npos ? line.size() : close + 1;
    } else {
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') program += line[i++];
    }
    argv.push_back(program);
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string argument;
        bool inQuotes = false;
        while (i < line.size() && (inQuotes || (line[i] != ' ' && line[i] != '\t'))) {
            std::size_t backslashes = 0;
            while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
            if (i < line.size() && line[i] == '"') {
                argument.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    argument += '"';
                } else if (inQuotes && i + 1 < line.size() && line[i + 1] == '"') {
                    argument += '"';  // "" inside quotes: a literal quote
                    ++i;
                } else {
                    inQuotes = !inQuotes;
                }
                ++i;
            } else {
                argument.append(backslashes, '\\');
                if (i < line.size() && (inQuotes || (line[i] != ' ' && line[i] != '\t'))) argument += line[i++];
            }
        }
        argv.push_back(argument);
    }
    return argv;
}

TEST(WindowsCommandLine, QuotesOnlyWhatTheSplitterWouldChange) {
    const struct {
        std::string argument, quoted;
    } cases[] = {
        {"plain", "plain"},
        {"C:\\dir\\file.txt", "C:\\dir\\file.txt"},  // backslashes without a quote stay literal
        {"", "\"\""},
        {"two words", "\"two words\""},
        {"tab\there", "\"tab\there\""},
        {"line\nfeed", "\"line\nfeed\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\"b", "\"a\\\"b\""},
        {"a\\\"b", "\"a\\\\\\\"b\""},                    // a\"b: 1 backslash + quote -> 3 + quote
        {"C:\\some dir\\", "\"C:\\some dir\\\\\""},      // a trailing backslash before the closing quote
        {"C:\\dir\\\\ x\\\\", "\"C:\\dir\\\\ x\\\\\\\\\""},
        {"\\\\server\\share", "\\\\server\\share"},
        {"%PATH%&|<>^", "%PATH%&|<>^"},  // the shell's characters are not the runtime's business
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quoteWindowsArgument(c.argument), c.quoted) << c.argument;
        const std::vector<std::string> back = splitLikeTheRuntime("prog " + quoteWindowsArgument(c.argument));
        EXPECT_EQ(back, (std::vector<std::string>{"prog", c.argument})) << c.argument;
    }
}

TEST(WindowsCommandLine, EveryArgumentComesBackWhole) {
    const std::vector<std::vector<std::string>> lists = {
        {"helper.exe"},
        {"C:\\Program Files\\tool\\tool.exe", "--name", "x y", ""},
        {"tool", "\\", "\\\\", "\"", "\\\"", "\"\"", " ", "\t"},
        {"tool", "end\\", "mid\\dle", "q\"\\", "a b\\\\", "\\\"\\\"\\"},
        {"C:\\dir with space\\p.exe", "", "", "last"},
    };
    for (const auto& argv : lists) {
        const std::string line = windowsCommandLine(argv);
        EXPECT_EQ(splitLikeTheRuntime(line), argv) << line;
    }
}

TEST(WindowsCommandLine, TheProgramNameHasNoBackslashRule) {
    const struct {
        std::string program, quoted;
    } cases[] = {
        {"cmd.exe", "cmd.exe"},
        {"C:\\Windows\\system32\\cmd.exe", "C:\\Windows\\system32\\cmd.exe"},
        {"C:\\Program Files\\x.exe", "\"C:\\Program Files\\x.exe\""},
        {"C:\\odd dir\\", "\"C:\\odd dir\\\""},  // not doubled: argv[0] ends at the next quote
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quoteWindowsProgram(c.program), c.quoted);
        EXPECT_EQ(splitLikeTheRuntime(quoteWindowsProgram(c.program))[0], c.program);
    }
}
}  // namespace
