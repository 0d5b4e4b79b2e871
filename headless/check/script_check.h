// A script read with the runner's exact rules, nothing run: every line the
// runner would skip, misread or act on unexpectedly, with what it will do and
// the fix. Scripts fail silently (a skipped line says nothing), so this is
// the only place those traps are put into words.
#pragma once
#include <functional>
#include <optional>
#include <string>

#include "script/script_reader.h"

enum class CheckCode {
    KeywordWithoutSpace,
    TabInCommand,
    UnknownKeyword,
    KeywordCase,
    NumberCut,
    NumberClamped,
    NumberMissing,
    SecondAllocation,
    NothingToRelease,
    PopupCut,
    RunCut,
    LineSplit,
    CrLineEnds,
    MagicLine,
    Unreachable,
};

// A fault surprises (the check fails); a note only tells.
enum class Severity { Fault, Note };

struct CheckFinding {
    unsigned line = 0;   // the line of the file (the magic line is 1)
    CheckCode code = CheckCode::MagicLine;
    std::string text;     // the script's piece as read, up to its first NUL
    std::string subject;  // the bytes in question: a token, a number, a piece
    std::string detail;   // what the finding's words need besides: a keyword, a number, a line
};

struct CheckSummary {
    unsigned faults = 0;
    unsigned notes = 0;
    bool readFailed = false;  // the source failed; the findings so far stand, the rest is unknown
};

// Reads the whole script from `reader` (open, at its start) and reports each
// finding as it is met, in line order. Memory stays fixed however long the file.
// `stopped`, when given, is asked before each piece: true ends the check there.
CheckSummary checkScript(ScriptReader& reader, const std::function<void(const CheckFinding&)>& report,
                         const std::function<bool()>& stopped = {});

// The fixed, locale-free name of a code ("keyword-without-space").
const char* codeName(CheckCode code);
Severity severityOf(CheckCode code);
const char* severityName(Severity severity);  // "fault", "note"

// What the runner will do and the fix, in words; every byte from the script
// passes through `escape` first.
struct FindingWords {
    std::string action, fix;
};
FindingWords describe(const CheckFinding& finding, const std::function<std::string(const std::string&)>& escape);

// Why the runner skips a line whose first token is `token` (no keyword):
// the code --check gives it (KeywordWithoutSpace, TabInCommand,
// UnknownKeyword); nothing for a comment, which is skipped on purpose.
std::optional<CheckCode> skipCode(const std::string& token);

// The keyword nearest to `word` by edit distance, letter case aside, when
// it is close enough to be a slip; null otherwise.
const char* nearestKeyword(const std::string& word);
