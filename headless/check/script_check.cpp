#include "headless/check/script_check.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "script/script_keywords.h"

namespace {
// The one table of findings: code, name, severity, and the words for each.
// {s} stands for the subject, {d} for the detail, both escaped.
struct Rule {
    CheckCode code;
    const char* name;
    Severity severity;
    const char* action;
    const char* fix;
};

constexpr Rule kRules[] = {
    {CheckCode::KeywordWithoutSpace, "keyword-without-space", Severity::Fault,
     "\"{s}\" has no space after it, so the line end sticks to it and the runner skips the line",
     "write \"{d}\", with a space right after the keyword"},
    {CheckCode::TabInCommand, "tab-in-command", Severity::Fault,
     "\"{s}\" holds a tab, which does not separate words, so the runner skips the line",
     "put spaces where the tabs are: \"{d}\""},
    {CheckCode::UnknownKeyword, "unknown-keyword", Severity::Fault,
     "\"{s}\" is no keyword, so the runner skips the line without a word",
     "start the line with a keyword ({d}), or with \"# \" for a comment"},
    {CheckCode::KeywordCase, "keyword-case", Severity::Note,
     "\"{s}\" is taken as \"{d}\", since letter case is ignored; the runner acts on it",
     "nothing needed; \"{d}\" reads the same everywhere"},
    {CheckCode::NumberCut, "number-cut", Severity::Fault,
     "\"{s}\" is read only up to its first non-digit, as {d}",
     "write only digits in the number (whole units); put any unit or note after a space"},
    {CheckCode::NumberClamped, "number-clamped", Severity::Fault,
     "\"{s}\" is beyond the numbers the runner reads and is taken as {d}",
     "write a number from -2147483648 to 2147483647"},
    {CheckCode::NumberMissing, "number-missing", Severity::Fault,
     "\"{s}\" is given no number, so the runner reads 0",
     "write the number after a space, e.g. \"{d}\""},
    // A note, not a fault: a staircase holds every step on purpose; a release
    // that was skipped by mistake is a fault of its own.
    {CheckCode::SecondAllocation, "second-allocation", Severity::Note,
     "\"{s}\" takes a new block while the one from line {d} is still held: that one stays held until the run "
     "ends, and a release gives back only the new one",
     "put \"release \" before this line, unless both blocks are meant to stay"},
    {CheckCode::NothingToRelease, "nothing-to-release", Severity::Fault,
     "\"{s}\" comes while this run holds no block, so the runner stops here with \"Cannot free unallocated "
     "memory block.\"",
     "remove the line, or allocate before it"},
    {CheckCode::PopupCut, "popup-cut", Severity::Fault,
     "the pop-up shows only \"{s}\": its text ends at the first space",
     "join the words without spaces, e.g. \"{d}\""},
    {CheckCode::RunCut, "run-cut", Severity::Fault,
     "the runner starts only \"{s}\": the command ends at the first space",
     "put the command with its arguments in a batch file or shell script beside the script, and run that"},
    {CheckCode::LineSplit, "line-split", Severity::Fault,
     "the line is longer than 1,023 bytes; the runner reads the bytes past them as a command of their own, "
     "\"{s}\"",
     "keep every line under 1,023 bytes"},
    {CheckCode::CrLineEnds, "cr-line-ends", Severity::Fault,
     "the line holds a CR that no LF follows; the runner takes no line end there, so the text on both sides "
     "reads as one line",
     "save the file with LF or CR LF line ends"},
    {CheckCode::MagicLine, "magic-line", Severity::Fault,
     "the first line, \"{s}\", is not exactly \"EVKScript\"{d}, so the runner refuses the file (\"This is not "
     "an EVK file.\") and runs nothing",
     "make the first line \"EVKScript\" with the line end right after it"},
    {CheckCode::Unreachable, "unreachable", Severity::Note,
     "the run ends at line {d}, so this line and every one after it never run",
     "move the lines before the end, or remove them"},
};

const Rule& ruleOf(CheckCode code) {
    for (const Rule& rule : kRules) {
        if (rule.code == code) return rule;
    }
    return kRules[0];  // every code has its row; not reached
}

std::string fill(const char* pattern, const std::string& subject, const std::string& detail) {
    std::string text;
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '{' && (p[1] == 's' || p[1] == 'd') && p[2] == '}') {
            text += p[1] == 's' ? subject : detail;
            p += 2;
        } else {
            text += *p;
        }
    }
    return text;
}

constexpr std::string_view kMagic = "EVKScript\n";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string withoutLineEnd(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string foldCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return text;
}

// Why a first line is not the magic one, where a plain reason can be given.
std::string magicReason(const std::string& header, bool any) {
    if (!any) return " (the file is empty)";
    if (header.rfind("\xEF\xBB\xBF", 0) == 0) return " (it starts with a byte-order mark)";
    if (header == kMagic.substr(0, kMagic.size() - 1)) return " (the file ends before its line end)";
    if (foldCase(header) == foldCase(std::string(kMagic))) return " (the letter case differs)";
    if (header.rfind(kMagic.substr(0, kMagic.size() - 1), 0) == 0) return " (something follows it on the line)";
    return {};
}

// The bytes after the argument token, when a space ended it: what the runner drops.
std::vector<std::string> droppedWords(const std::string& text, const char* split, const char* argument) {
    std::vector<std::string> words;
    const std::size_t end = static_cast<std::size_t>(argument - split) + std::strlen(argument);
    if (end >= text.size()) return words;
    std::string word;
    for (std::size_t i = end + 1; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : ' ';
        if (c == ' ' || (c == '\n' && i + 1 == text.size())) {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

struct NumberReading {
    bool digits = false;
    bool clamped = false;
    bool cut = false;  // something other than blanks follows the digits
};

// The same walk as parseNumber, noting what it passes over.
NumberReading readNumber(const char* text) {
    NumberReading reading;
    const char* p = text;
    while (isBlank(*p)) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    while (*p == '0' && p[1] >= '0' && p[1] <= '9') ++p;
    const char* first = p;
    while (*p >= '0' && *p <= '9') ++p;
    const std::string digits(first, p);
    reading.digits = !digits.empty();
    const std::string limit = negative ? "2147483648" : "2147483647";
    reading.clamped = digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit);
    for (; *p; ++p) {
        if (!isBlank(*p)) reading.cut = true;
    }
    return reading;
}

std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string keywordList() {
    std::string list;
    for (const ScriptKeyword& keyword : kScriptKeywords) {
        if (keyword.act == ScriptAct::Comment) continue;
        if (!list.empty()) list += ", ";
        list += keyword.name;
    }
    return list;
}
}  // namespace

const char* codeName(CheckCode code) { return ruleOf(code).name; }

Severity severityOf(CheckCode code) { return ruleOf(code).severity; }

const char* severityName(Severity severity) { return severity == Severity::Fault ? "fault" : "note"; }

FindingWords describe(const CheckFinding& finding, const std::function<std::string(const std::string&)>& escape) {
    const Rule& rule = ruleOf(finding.code);
    const std::string subject = escape(finding.subject);
    const std::string detail = escape(finding.detail);
    return {fill(rule.action, subject, detail), fill(rule.fix, subject, detail)};
}

const char* nearestKeyword(const std::string& word) {
    // Tokens are at most a line long, so the distance stays cheap; a word
    // far longer than any keyword is no slip.
    if (word.size() > 20) return nullptr;
    const std::string folded = foldCase(word);
    const ScriptKeyword* best = nullptr;
    std::size_t bestDistance = 0;
    for (const ScriptKeyword& keyword : kScriptKeywords) {
        if (keyword.act == ScriptAct::Comment) continue;
        const std::size_t distance = editDistance(folded, keyword.name);
        const std::size_t slack = std::max<std::size_t>(1, std::strlen(keyword.name) / 3);
        if (distance <= slack && (!best || distance < bestDistance)) {
            best = &keyword;
            bestDistance = distance;
        }
    }
    return best ? best->name : nullptr;
}

std::optional<CheckCode> skipCode(const std::string& token) {
    const std::string bare = withoutLineEnd(token);
    if (bare.empty() || bare[0] == '#') return std::nullopt;
    if (bare.size() < token.size() && scriptKeywordOf(bare.c_str())) return CheckCode::KeywordWithoutSpace;
    if (bare.find('\t') != std::string::npos) return CheckCode::TabInCommand;
    return CheckCode::UnknownKeyword;
}

CheckSummary checkScript(ScriptReader& reader, const std::function<void(const CheckFinding&)>& report,
                         const std::function<bool()>& stopped) {
    CheckSummary summary;
    unsigned line = 0;
    std::string text;
    auto emit = [&](CheckCode code, const std::string& subject, const std::string& detail = {}) {
        ++(severityOf(code) == Severity::Fault ? summary.faults : summary.notes);
        report(CheckFinding{line, code, text, subject, detail});
    };
    auto lookForCr = [&] {
        // CR LF has become LF by now: a CR left is one alone.
        if (text.find('\r') != std::string::npos) emit(CheckCode::CrLineEnds, text);
    };

    // The magic line, read as readMagicLine reads it, so that the reason can be told.
    char header[ScriptReader::kHeaderLimit];
    const bool any = reader.readPiece(header, sizeof header);
    if (reader.failed()) {
        summary.readFailed = true;
        return summary;
    }
    line = reader.lineNumber();
    text = any ? header : "";
    if (text != kMagic) emit(CheckCode::MagicLine, text, magicReason(text, any));
    lookForCr();

    char piece[ScriptReader::kLineLimit];
    char split[ScriptReader::kLineLimit];
    unsigned previousLine = reader.lineNumber();
    unsigned endedAt = 0;  // the line of the end or asktoquit that ends the run
    bool unreachableTold = false;
    unsigned heldSince = 0;  // the line whose block this run holds; 0: none
    for (;;) {
        if (stopped && stopped()) break;
        if (!reader.readPiece(piece, sizeof piece)) {
            summary.readFailed = reader.failed();
            break;
        }
        line = reader.lineNumber();
        const bool continuation = line == previousLine;  // a piece past 1,023 bytes
        previousLine = line;
        text = piece;
        std::memcpy(split, text.c_str(), text.size() + 1);
        const ScriptLine tokens = splitLine(split);
        if (!tokens.keyword) continue;
        const std::string keyword = tokens.keyword;
        const std::string bare = withoutLineEnd(keyword);
        if (bare.empty()) continue;  // a blank line
        const ScriptKeyword* matched = scriptKeywordOf(tokens.keyword);

        if (endedAt != 0) {
            // Comments and blank lines after the end are no loss.
            if (!unreachableTold && bare[0] != '#') {
                emit(CheckCode::Unreachable, bare, std::to_string(endedAt));
                unreachableTold = true;
            }
            continue;
        }
        if (!continuation) lookForCr();

        if (continuation) {
            // The rest of a long line is skipped unless it starts with a keyword.
            if (!matched || matched->act == ScriptAct::Comment) continue;
            emit(CheckCode::LineSplit, withoutLineEnd(text));
        }
        if (!matched) {
            if (bare[0] == '#') continue;  // a comment all the same: skipped either way
            if (const ScriptKeyword* stuck = bare.size() < keyword.size() ? scriptKeywordOf(bare.c_str()) : nullptr) {
                emit(CheckCode::KeywordWithoutSpace, bare, stuck->example);
            } else if (bare.find('\t') != std::string::npos) {
                std::string spaced = withoutLineEnd(text);
                std::replace(spaced.begin(), spaced.end(), '\t', ' ');
                emit(CheckCode::TabInCommand, bare, spaced);
            } else {
                const char* nearest = nearestKeyword(bare);
                emit(CheckCode::UnknownKeyword, bare,
                     nearest ? "\"" + std::string(nearest) + "\" is the closest" : keywordList());
            }
            continue;
        }
        if (keyword != matched->name) emit(CheckCode::KeywordCase, keyword, matched->name);

        const char* argument = tokens.argument;
        switch (matched->act) {
        case ScriptAct::Run:
        case ScriptAct::Popup: {
            if (!argument) break;
            const std::vector<std::string> dropped = droppedWords(text, split, argument);
            if (dropped.empty()) break;
            const std::string shown = withoutLineEnd(argument);
            if (matched->act == ScriptAct::Run) {
                emit(CheckCode::RunCut, shown);
            } else {
                std::string joined = keyword + " " + shown;
                for (const std::string& word : dropped) joined += "_" + word;
                emit(CheckCode::PopupCut, shown, joined);
            }
            break;
        }
        case ScriptAct::Sleep:
        case ScriptAct::Allocate: {
            const NumberReading number = argument ? readNumber(argument) : NumberReading{};
            if (!number.digits) {
                emit(CheckCode::NumberMissing, keyword, matched->example);
            } else if (number.clamped) {
                emit(CheckCode::NumberClamped, withoutLineEnd(argument), std::to_string(parseNumber(argument)));
            } else if (number.cut) {
                emit(CheckCode::NumberCut, withoutLineEnd(argument), std::to_string(parseNumber(argument)));
            }
            if (matched->act == ScriptAct::Allocate) {
                if (heldSince != 0) emit(CheckCode::SecondAllocation, keyword, std::to_string(heldSince));
                heldSince = line;
            }
            break;
        }
        case ScriptAct::Release:
            if (heldSince == 0) emit(CheckCode::NothingToRelease, keyword);
            // The run would stop here; the lines after are checked as if it went on.
            heldSince = 0;
            break;
        case ScriptAct::End:
        case ScriptAct::AskToQuit: endedAt = line; break;
        case ScriptAct::Comment: break;
        }
    }
    return summary;
}
