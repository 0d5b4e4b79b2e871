// A command given as one text (--stop-if-probe-fails 'curl -sf URL') taken
// apart into its program and arguments as sh takes a simple command apart,
// but with nothing expanded: quotes and backslashes only. The command then
// runs without a shell, as a hold's command does, so a probe means the same
// on every machine whatever its shell. Portable.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Words end at unquoted spaces, tabs and line ends. '...' keeps everything
// up to the next ' as it is; "..." keeps everything but a backslash before
// $ ` " \ or a line end, which stands for that character (a line end: for
// nothing); an unquoted backslash keeps the next character as it is (before
// a line end: nothing). $, `, *, ~ and the like are plain characters. The
// error (no words, an open quote, a backslash at the end) names what is
// wrong; the words are then empty.
struct CommandWords {
    std::vector<std::string> words;
    std::string error;
};
CommandWords splitCommandWords(std::string_view text);
