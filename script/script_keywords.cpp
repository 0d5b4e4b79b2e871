#include "script_keywords.h"

#include "script_reader.h"
#include "shell/resource_ids.h"

const ScriptKeyword kScriptKeywords[kScriptKeywordCount] = {
    {"run", ScriptAct::Run, SizeUnit::Bytes, 0, 0, "run cleanup.bat"},
    {"sleep", ScriptAct::Sleep, SizeUnit::Bytes, 0, 0, "sleep 5"},
    {"#", ScriptAct::Comment, SizeUnit::Bytes, 0, 0, "# "},
    {"popup", ScriptAct::Popup, SizeUnit::Bytes, 0, 0, "popup Hello"},
    {"allocate", ScriptAct::Allocate, SizeUnit::Bytes, IDS_MEMORY_ALLOCATING, IDS_ALLOC_FAILED_DOT,
     "allocate 1048576"},
    {"kallocate", ScriptAct::Allocate, SizeUnit::Kilobytes, IDS_ALLOCATING, IDS_ALLOC_FAILED, "kallocate 1024"},
    {"mallocate", ScriptAct::Allocate, SizeUnit::Megabytes, IDS_ALLOCATING, IDS_ALLOC_FAILED, "mallocate 64"},
    {"release", ScriptAct::Release, SizeUnit::Bytes, 0, 0, "release "},
    {"free", ScriptAct::Release, SizeUnit::Bytes, 0, 0, "free "},
    {"end", ScriptAct::End, SizeUnit::Bytes, 0, 0, "end "},
    {"asktoquit", ScriptAct::AskToQuit, SizeUnit::Bytes, 0, 0, "asktoquit "},
};

const ScriptKeyword* scriptKeywordOf(const char* token) {
    for (const ScriptKeyword& keyword : kScriptKeywords) {
        if (keywordEquals(token, keyword.name)) return &keyword;
    }
    return nullptr;
}
