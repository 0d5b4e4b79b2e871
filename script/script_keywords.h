// A script's keywords and what each does: the one table that the runner acts
// from and that torvane-run's check reads scripts with, so that the two can
// never disagree on which lines run.
#pragma once

enum class ScriptAct { Run, Sleep, Comment, Popup, Allocate, Release, End, AskToQuit };

// What an allocation's number counts.
enum class SizeUnit { Bytes, Kilobytes, Megabytes };

struct ScriptKeyword {
    const char* name;     // as written in lower case; matched by keywordEquals
    ScriptAct act;
    SizeUnit unit;        // Allocate: what its number counts
    int statusId;         // Allocate: the status shown while it takes the block
    int failureId;        // Allocate: the error box when the block cannot be had
    const char* example;  // the command written right, as a fix shows it
};

// The eleven a script has; a twelfth would be a change to the format.
constexpr unsigned kScriptKeywordCount = 11;
extern const ScriptKeyword kScriptKeywords[kScriptKeywordCount];

// The keyword a first token is, as the runner matches it (whole token, ASCII
// letters folded); null for anything the runner skips.
const ScriptKeyword* scriptKeywordOf(const char* token);
