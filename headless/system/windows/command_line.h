// A Windows command line from an argument list. Windows hands a program one
// string; its C runtime (and CommandLineToArgvW) split it again, so each
// argument is quoted by the rules those splitters undo. Portable, so that it
// is tested natively; the Windows side of torvane-run starts commands with it.
#pragma once
#include <string>
#include <vector>

// One argument after the first, quoted for the C runtime's splitter: as it
// is when it has no space, tab, line feed, vertical tab or quote and is not
// empty; otherwise in quotes, with every backslash run before a quote (its
// own or the closing one) doubled and each quote escaped by a backslash.
std::string quoteWindowsArgument(const std::string& argument);

// The program name, argv[0]: the splitter takes it up to the next quote when
// it starts with one, else up to a space or tab, with no backslash rule, so
// it is only put in quotes when it holds a space or tab. (A quote cannot be
// part of a Windows file name.)
std::string quoteWindowsProgram(const std::string& program);

// The program and its arguments as one command line.
std::string windowsCommandLine(const std::vector<std::string>& argv);
