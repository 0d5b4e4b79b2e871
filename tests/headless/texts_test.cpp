// The portable string table and the one-line form of texts.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "headless/record/one_line.h"
#include "headless/record/run_texts.h"
#include "headless/record/text_line.h"
#include "shell/resource_ids.h"
#include "shell/string_table.h"

namespace {

TEST(StringTable, ChoosesTheLanguageLikeTheLocaleVariables) {
    const struct {
        const char *lcAll, *lcMessages, *lang;
        TextLanguage expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, TextLanguage::English},
        {nullptr, nullptr, "ja_JP.UTF-8", TextLanguage::Japanese},
        {"", "", "ja", TextLanguage::Japanese},
        {"C", nullptr, "ja_JP.UTF-8", TextLanguage::English},
        {nullptr, "en_US.UTF-8", "ja_JP.UTF-8", TextLanguage::English},
        {"ja_JP.eucJP", "C", "C", TextLanguage::Japanese},
        {nullptr, nullptr, "jv_ID", TextLanguage::English},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.lcAll ? c.lcAll : "-") + "/" + (c.lcMessages ? c.lcMessages : "-") + "/" +
                     (c.lang ? c.lang : "-"));
        EXPECT_EQ(languageOfLocale(c.lcAll, c.lcMessages, c.lang), c.expected);
    }
}

TEST(StringTable, GivesEachColumnOfTheSingleSource) {
    EXPECT_STREQ(tableText(IDS_ALLOC_FAILED_DOT, TextLanguage::English), "Allocation failed.");
    EXPECT_STREQ(tableText(IDS_ALLOC_FAILED_DOT, TextLanguage::Japanese), "メモリーを確保できません。");
    // The one entry whose neutral text differs: the English column, not the neutral one.
    EXPECT_STREQ(tableText(IDS_ABOUT_CAPTION, TextLanguage::English), "About the Torvane...");
    EXPECT_STREQ(tableText(IDS_ABOUT_CAPTION, TextLanguage::Japanese), "「Torvane」について");
    EXPECT_STREQ(tableText(37, TextLanguage::English), "");
    for (int id = 1; id <= 55; ++id) {
        if (id == 37) continue;
        EXPECT_STRNE(tableText(id, TextLanguage::English), "") << id;
        EXPECT_STRNE(tableText(id, TextLanguage::Japanese), "") << id;
    }
}

TEST(LogLine, KeepsEachEventOnOneLine) {
    const struct {
        std::string text, expected;
    } cases[] = {
        {"Starting\n", "Starting"},
        {"a\nb\n\n", "a\\nb\\n"},
        {"tab\there\r", "tab\\there\\r"},
        {std::string("x\x01\x7Fy", 4), "x\\x01\\x7Fy"},
        {"情報: 確保", "情報: 確保"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(oneLine(c.text), c.expected);
}

TEST(LogLine, ShowsWhatIsNotValidUtf8AsItsBytes) {
    const struct {
        const char* why;
        std::string text, expected;
    } cases[] = {
        {"C1 NEL and CSI", "a\xC2\x85" "b\xC2\x9B" "31m", "a\\xC2\\x85b\\xC2\\x9B31m"},
        {"first after C1", "\xC2\xA0|\xC2\x80", "\xC2\xA0|\\xC2\\x80"},
        {"two-, three-, four-byte", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"stray continuation", "a\x80" "b\xBF", "a\\x80b\\xBF"},
        {"overlong slash", "\xC0\xAF\xE0\x80\xAF", "\\xC0\\xAF\\xE0\\x80\\xAF"},
        {"overlong four-byte", "\xF0\x8F\xBF\xBF", "\\xF0\\x8F\\xBF\\xBF"},
        {"surrogate D800", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
        {"last before surrogates", "\xED\x9F\xBF", "\xED\x9F\xBF"},
        {"above U+10FFFF", "\xF4\x90\x80\x80|\xF5\xFF", "\\xF4\\x90\\x80\\x80|\\xF5\\xFF"},
        {"cut short, then valid", "\xE6\x83" "\xE6\x83\x85", "\\xE6\\x83\xE6\x83\x85"},
        {"cut short at the end", "ok\xF0\x9F\x98", "ok\\xF0\\x9F\\x98"},
        {"cut short before the line end", "ok\xE6\n", "ok\\xE6"},
        {"lead then control", "\xE6\x1B[0m", "\\xE6\\x1B[0m"},
    };
    for (const auto& c : cases) EXPECT_EQ(oneLine(c.text), c.expected) << c.why;
}

TEST(LogLine, PutsTimeAndFiguresBeforeTheEvent) {
    RunEvent pause = statusEvent("pause", "Pause");
    pause.time = {2025, 6, 1, 4, 3, 7, 12};
    pause.figures.residentBytes = 3 * 1048576 + 104858;
    pause.figures.availableBytes = 0;
    EXPECT_EQ(textLine(pause), "2025-06-01 04:03:07.012  rss=3.1MiB  commit=?  avail=0.0MiB  status   Pause");
}

}  // namespace

namespace {
TEST(RunTexts, FillsPlacesInOrder) {
    const struct {
        const char* pattern;
        std::vector<std::string> parts;
        const char* text;
    } cases[] = {
        {"reached {1} in {2}", {"64.0MiB", "0.10 s"}, "reached 64.0MiB in 0.10 s"},
        {"{2}で{1}に達しました", {"64.0MiB", "0.10 s"}, "0.10 sで64.0MiBに達しました"},
        {"{1} and {1}", {"x"}, "x and x"},
        {"a place with no part stays: {3}", {"x"}, "a place with no part stays: {3}"},
        {"{braces} and {0} are no places", {"x"}, "{braces} and {0} are no places"},
        {"a part holding {1} is not read again", {"{2}", "y"}, "a part holding {2} is not read again"},
    };
    for (const auto& c : cases) {
        std::string text;
        switch (c.parts.size()) {
        case 1: text = fillPlaces(c.pattern, {c.parts[0]}); break;
        default: text = fillPlaces(c.pattern, {c.parts[0], c.parts[1]}); break;
        }
        EXPECT_EQ(text, c.text) << c.pattern;
    }
}

// Every text of torvane-run's own has its Japanese, with the same places.
TEST(RunTexts, EachHasBothLanguagesWithTheSamePlaces) {
    const auto places = [](const std::string& text) {
        std::multiset<std::string> found;
        for (std::size_t at = text.find('{'); at != std::string::npos; at = text.find('{', at + 1)) {
            if (at + 2 < text.size() && text[at + 2] == '}') found.insert(text.substr(at, 3));
        }
        return found;
    };
    int rows = 0;
    for (int id = IDS_RUN_FIRST + 1; *tableText(id, TextLanguage::English); ++id, ++rows) {
        const std::string english = tableText(id, TextLanguage::English);
        const std::string japanese = tableText(id, TextLanguage::Japanese);
        EXPECT_FALSE(japanese.empty()) << english;
        EXPECT_NE(japanese, english) << english;
        EXPECT_EQ(places(japanese), places(english)) << english << " / " << japanese;
    }
    EXPECT_GT(rows, 20);
}
}  // namespace
