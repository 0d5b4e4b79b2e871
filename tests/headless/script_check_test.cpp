// The script check over bytes in memory: each trap found on its line, clean
// scripts left alone, and the examples as shipped.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "headless/check/script_check.h"

namespace {
struct Expected {
    unsigned line;
    CheckCode code;
    std::string subject;
    std::string detail;
    bool operator==(const Expected&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Expected& e) {
    return out << e.line << " " << codeName(e.code) << " [" << e.subject << "] [" << e.detail << "]";
}

std::vector<Expected> check(const std::string& bytes, std::size_t chunk = ScriptReader::kChunkBytes,
                            CheckSummary* summary = nullptr) {
    ScriptReader reader(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), chunk);
    std::vector<Expected> found;
    const CheckSummary result = checkScript(reader, [&](const CheckFinding& f) {
        found.push_back({f.line, f.code, f.subject, f.detail});
    });
    if (summary) *summary = result;
    return found;
}

using C = CheckCode;
const std::string kLong = "# " + std::string(1021, 'x');  // a piece of exactly 1,023 bytes

TEST(ScriptCheck, FindsEachTrapOnItsLine) {
    const struct {
        const char* what;
        std::string bytes;
        std::vector<Expected> expected;
    } cases[] = {
        {"clean", "EVKScript\nmallocate 64\nsleep 1\nrelease \npopup Done\nrun x.bat\nend \n", {}},
        {"comments and blank lines", "EVKScript\n#\n#x\n# y z\n\n   \n\r\n", {}},
        {"last line without a line end", "EVKScript\nmallocate 1\nrelease", {}},
        {"keywords without their space", "EVKScript\nmallocate 64\nrelease\nend\n",
         {{3, C::KeywordWithoutSpace, "release", "release "}, {4, C::KeywordWithoutSpace, "end", "end "}}},
        {"CR LF is a line end too", "EVKScript\r\nfree\r\nasktoquit\r\n",
         {{2, C::KeywordWithoutSpace, "free", "free "}, {3, C::KeywordWithoutSpace, "asktoquit", "asktoquit "}}},
        {"a keyword given no argument", "EVKScript\nsleep\nMallocate\n",
         {{2, C::KeywordWithoutSpace, "sleep", "sleep 5"}, {3, C::KeywordWithoutSpace, "Mallocate", "mallocate 64"}}},
        {"tabs", "EVKScript\nsleep\t1\n\tmallocate 2\n",
         {{2, C::TabInCommand, "sleep\t1", "sleep 1"}, {3, C::TabInCommand, "\tmallocate", " mallocate 2"}}},
        {"unknown words", "EVKScript\nmallocat 64\nHello world\n",
         {{2, C::UnknownKeyword, "mallocat", "\"mallocate\" is the closest"},
          {3, C::UnknownKeyword, "Hello",
           "run, sleep, popup, allocate, kallocate, mallocate, release, free, end, asktoquit"}}},
        {"letter case", "EVKScript\nSLEEP 1\nsleep 1\nPopUp x\n",
         {{2, C::KeywordCase, "SLEEP", "sleep"}, {4, C::KeywordCase, "PopUp", "popup"}}},
        {"numbers cut", "EVKScript\nsleep 2.5\nmallocate 10MB\nsleep 5\t\nmallocate 10 MB\n",
         {{2, C::NumberCut, "2.5", "2"},
          {3, C::NumberCut, "10MB", "10"},
          {5, C::SecondAllocation, "mallocate", "3"}}},
        {"numbers clamped",
         "EVKScript\nsleep 2147483647\nsleep 2147483648\nsleep -2147483648\nsleep -99999999999\nsleep "
         "00000000002147483647\n",
         {{3, C::NumberClamped, "2147483648", "2147483647"}, {5, C::NumberClamped, "-99999999999", "-2147483648"}}},
        {"numbers missing", "EVKScript\nsleep \nsleep x\nkallocate -\nsleep",
         {{2, C::NumberMissing, "sleep", "sleep 5"},
          {3, C::NumberMissing, "sleep", "sleep 5"},
          {4, C::NumberMissing, "kallocate", "kallocate 1024"},
          {5, C::NumberMissing, "sleep", "sleep 5"}}},
        {"a second allocation", "EVKScript\nmallocate 1\nkallocate 1\nrelease \nallocate 1\n",
         {{3, C::SecondAllocation, "kallocate", "2"}}},
        {"nothing to release", "EVKScript\nrelease \nmallocate 1\nfree \nfree \n",
         {{2, C::NothingToRelease, "release", ""}, {5, C::NothingToRelease, "free", ""}}},
        {"pop-up and command cut", "EVKScript\npopup Hello big  world\npopup Hello \nrun a.exe b.txt\n",
         {{2, C::PopupCut, "Hello", "popup Hello_big_world"}, {4, C::RunCut, "a.exe", ""}}},
        {"a long line's rest read as a command", "EVKScript\n" + kLong + "release \n",
         {{2, C::LineSplit, "release ", ""}, {2, C::NothingToRelease, "release", ""}}},
        {"a long comment's rest is only text", "EVKScript\n" + kLong + "more words\n" + kLong + "\nend \n", {}},
        {"CR alone", "EVKScript\nmallocate 1\rrelease \r",
         {{2, C::CrLineEnds, "mallocate 1\rrelease \r", ""}, {2, C::NumberCut, "1\rrelease", "1"}}},
        {"a CR-only file", "EVKScript\rsleep 1\r",
         {{1, C::MagicLine, "EVKScript\rsleep 1\r", " (something follows it on the line)"},
          {1, C::CrLineEnds, "EVKScript\rsleep 1\r", ""}}},
        {"empty file", "", {{1, C::MagicLine, "", " (the file is empty)"}}},
        {"magic in another case, and the lines after it",
         "evkscript\nrelease\n",
         {{1, C::MagicLine, "evkscript\n", " (the letter case differs)"},
          {2, C::KeywordWithoutSpace, "release", "release "}}},
        {"magic after a byte-order mark", "\xEF\xBB\xBF" "EVKScript\n",
         {{1, C::MagicLine, "\xEF\xBB\xBF" "EVKScript\n", " (it starts with a byte-order mark)"}}},
        {"magic with a space", "EVKScript \n", {{1, C::MagicLine, "EVKScript \n", " (something follows it on the line)"}}},
        {"magic alone, no line end", "EVKScript", {{1, C::MagicLine, "EVKScript", " (the file ends before its line end)"}}},
        {"no magic at all", "sleep 1\n", {{1, C::MagicLine, "sleep 1\n", ""}}},
        {"after the end", "EVKScript\nend \n# bye\n\npopup never\nsleep 1\n", {{5, C::Unreachable, "popup", "2"}}},
        {"only comments after the end", "EVKScript\nasktoquit \n# bye\n", {}},
        {"an end that is skipped, then one that is not", "EVKScript\nend\r\nkallocate 1\r\nEND \r\npopup never\r\n",
         {{2, C::KeywordWithoutSpace, "end", "end "}, {4, C::KeywordCase, "END", "end"}, {5, C::Unreachable, "popup", "4"}}},
        {"nothing behind Ctrl-Z is read", "EVKScript\nsleep 1\n\x1Arelease\n", {}},
        {"a line's text ends at its first NUL", std::string("EVKScript\npopup Hi") + '\0' + " there\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(check(c.bytes), c.expected);
        // However the bytes arrive, the findings are the same.
        EXPECT_EQ(check(c.bytes, 1), c.expected);
    }
}

TEST(ScriptCheck, CountsFaultsAndNotesApart) {
    CheckSummary summary;
    check("EVKScript\nSLEEP 1\nrelease\nend \npopup x\n", ScriptReader::kChunkBytes, &summary);
    EXPECT_EQ(summary.faults, 1u);
    EXPECT_EQ(summary.notes, 2u);
    EXPECT_FALSE(summary.readFailed);
}

TEST(ScriptCheck, StopsAtAFailedReadWithWhatItFound) {
    struct Failing final : ScriptSource {
        int calls = 0;
        long read(unsigned char* into, std::size_t max) override {
            if (calls++ > 0) return -1;
            const std::string bytes = "EVKScript\nrelease\n";
            std::copy(bytes.begin(), bytes.end(), into);
            return static_cast<long>(std::min(max, bytes.size()));
        }
    };
    ScriptReader reader(std::make_unique<Failing>());
    std::vector<CheckCode> codes;
    const CheckSummary summary = checkScript(reader, [&](const CheckFinding& f) { codes.push_back(f.code); });
    EXPECT_TRUE(summary.readFailed);
    EXPECT_EQ(codes, std::vector<CheckCode>{CheckCode::KeywordWithoutSpace});
}

TEST(ScriptCheck, SuggestsOnlyCloseKeywords) {
    const struct {
        const char* word;
        const char* nearest;
    } cases[] = {
        {"mallocat", "mallocate"}, {"SLEP", "sleep"}, {"relase", "release"}, {"malloc", "mallocate"},
        {"runn", "run"}, {"xyz", nullptr}, {"ned", nullptr}, {"#", nullptr},
        {"allocateallocateallocate", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        const char* nearest = nearestKeyword(c.word);
        EXPECT_EQ(nearest ? std::string(nearest) : "-", c.nearest ? std::string(c.nearest) : "-");
    }
}

TEST(ScriptCheck, EveryCodeHasItsOwnNameAndWords) {
    std::vector<std::string> names;
    for (int i = 0; i <= static_cast<int>(CheckCode::Unreachable); ++i) {
        const auto code = static_cast<CheckCode>(i);
        SCOPED_TRACE(i);
        const std::string name = codeName(code);
        EXPECT_EQ(std::count(names.begin(), names.end(), name), 0) << name;
        names.push_back(name);
        const FindingWords words = describe(CheckFinding{2, code, "t", "s", "d"}, [](const std::string& s) { return s; });
        EXPECT_EQ(words.action.find('{'), std::string::npos) << words.action;
        EXPECT_EQ(words.fix.find('{'), std::string::npos) << words.fix;
        EXPECT_EQ(severityOf(code) == Severity::Note, code == CheckCode::KeywordCase || code == CheckCode::Unreachable ||
                                                          code == CheckCode::SecondAllocation);
    }
}

TEST(ScriptCheck, PutsTheScriptsBytesThroughTheEscape) {
    const FindingWords words = describe(CheckFinding{3, CheckCode::KeywordWithoutSpace, "release\n", "release", "release "},
                                        [](const std::string& s) { return "<" + s + ">"; });
    EXPECT_EQ(words.action,
              "\"<release>\" has no space after it, so the line end sticks to it and the runner skips the line");
    EXPECT_EQ(words.fix, "write \"<release >\", with a space right after the keyword");
}

TEST(ScriptCheck, ExamplesCheckAsShipped) {
    const struct {
        const char* file;
        std::vector<Expected> expected;
    } cases[] = {
        {"hold-64mb.evk", {}},
        {"command-under-load.evk", {}},
        // Holding each step on purpose: the check notes it, and passes.
        {"staircase.evk",
         {{6, C::SecondAllocation, "mallocate", "4"},
          {8, C::SecondAllocation, "mallocate", "6"},
          {10, C::SecondAllocation, "mallocate", "8"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::ifstream in(std::string(TORVANE_EXAMPLES) + "/" + c.file, std::ios::binary);
        ASSERT_TRUE(in) << "cannot open the example";
        std::ostringstream bytes;
        bytes << in.rdbuf();
        EXPECT_EQ(check(bytes.str()), c.expected);
    }
}
}  // namespace
