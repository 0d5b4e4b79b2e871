#include "script/script_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace {
using Bytes = std::string;  // may hold NUL, CR and Ctrl-Z

std::string tempScript(const Bytes& bytes) {
    static int serial = 0;
    const auto path = std::filesystem::temp_directory_path() /
                      ("torvane_reader_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
}

// The usable text of every piece, from a reader over `bytes`.
std::vector<std::string> pieces(ScriptReader& reader) {
    std::vector<std::string> out;
    char buffer[ScriptReader::kLineLimit];
    while (reader.readPiece(buffer, sizeof buffer)) out.emplace_back(buffer);
    return out;
}

// Every case is read from a file and from memory, fetched 1, 2, 3 and 7 bytes
// at a time and in full chunks, so CR LF falls across every kind of boundary.
template <typename Check>
void forEachSource(const Bytes& bytes, Check check) {
    const std::string path = tempScript(bytes);
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7},
                              ScriptReader::kChunkBytes}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        ScriptReader fromFile(path.c_str(), chunk);
        ASSERT_TRUE(fromFile.isOpen());
        check(fromFile);
        ScriptReader fromMemory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), chunk);
        check(fromMemory);
    }
    std::filesystem::remove(path);
}

TEST(ScriptReader, PiecesFollowTextModeAndFgetsRules) {
    const std::string a1022(1022, 'a'), a1023(1023, 'a');
    const std::string x4095(4095, 'x');
    std::vector<std::string> big(4, std::string(1023, 'x'));
    big.insert(big.end(), {"xxx\n", "y"});
    const struct {
        Bytes input;
        std::vector<std::string> expected;
    } cases[] = {
        {"", {}},
        {"a\r\nb\n", {"a\n", "b\n"}},
        {"a\rb\n", {"a\rb\n"}},              // a lone CR is a byte
        {"a\r", {"a\r"}},                    // CR as the very last byte
        {"a\r\r\nb", {"a\r\n", "b"}},
        {"\r\n\r\n", {"\n", "\n"}},
        {"ab\x1A" "c\n", {"ab"}},            // Ctrl-Z ends the file
        {"a\r\x1A\n", {"a\r"}},
        {"\x1A" "abc", {}},
        {Bytes("x\0yz\nw\n", 7), {"x", "w\n"}},  // NUL ends the usable text only
        {Bytes("\0abc", 4), {""}},
        {a1022 + "\r\n", {a1022 + "\n"}},    // exactly 1,023 with the LF
        {a1023 + "\r\n", {a1023, "\n"}},
        {std::string(1499, 'a') + "\n", {a1023, std::string(476, 'a') + "\n"}},
        {x4095 + "\r\ny", big},              // CR LF across the default chunk
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 40));
        forEachSource(c.input, [&](ScriptReader& r) { EXPECT_EQ(pieces(r), c.expected); });
    }
}

TEST(ScriptReader, MagicLineMustBeExact) {
    const struct {
        Bytes input;
        bool accepted;
    } cases[] = {
        {"EVKScript\n", true},      {"EVKScript\r\nsleep 1\n", true}, {"EVKScript", false},
        {"evkscript\n", false},     {"EVKScript \n", false},          {" EVKScript\n", false},
        {"\xEF\xBB\xBF" "EVKScript\n", false}, {"", false},           {Bytes("EVKScript\0\n", 11), false},
        {"EVKScript\r\r\n", false}, {"EVK\x1AScript\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        forEachSource(c.input, [&](ScriptReader& r) { EXPECT_EQ(r.readMagicLine(), c.accepted); });
    }
}

TEST(ScriptReader, SplitsLikeStrtokOnSpaceOnly) {
    const std::optional<std::string> none;
    const struct {
        const char* text;
        std::optional<std::string> keyword, argument;
    } cases[] = {
        {"sleep 5\n", "sleep", "5\n"},
        {"   sleep   1 extra\n", "sleep", "1"},
        {"end\n", "end\n", none},
        {"end ", "end", none},
        {"popup   ", "popup", none},
        {"run \n", "run", "\n"},
        {"", none, none},
        {"   ", none, none},
        {"\tsleep 5\n", "\tsleep", "5\n"},
        {"sleep\t5\n", "sleep\t5\n", none},
        {"popup Hello world\n", "popup", "Hello"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        const ScriptLine line = splitLine(text.data());
        auto view = [](const char* token) { return token ? std::optional<std::string>(token) : std::nullopt; };
        EXPECT_EQ(view(line.keyword), c.keyword);
        EXPECT_EQ(view(line.argument), c.argument);
    }
}

TEST(ScriptReader, KeywordsFoldOnlyAsciiLetters) {
    const struct {
        const char* token;
        const char* keyword;
        bool equal;
    } cases[] = {
        {"SLEEP", "sleep", true},  {"SlEeP", "sleep", true},   {"#", "#", true},
        {"sleep\n", "sleep", false}, {"slee", "sleep", false}, {"sleeps", "sleep", false},
        {"@", "`", false},         {"[", "{", false},          {"\xC9", "\xE9", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(keywordEquals(c.token, c.keyword), c.equal) << c.token << " vs " << c.keyword;
    }
}

TEST(ScriptReader, NumbersReadLikeAtoiAndSaturate) {
    const struct {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"5\n", 5},          {"2.5", 2},         {"10MB", 10},       {"x", 0},
        {"-", 0},            {"", 0},            {"+7", 7},          {"-7", -7},
        {"--5", 0},          {"+-5", 0},         {"0x10", 0},        {"007", 7},
        {"\t\v\f\r\n 42", 42}, {"\x1F" "5", 0},
        {"2147483647", INT32_MAX},  {"2147483648", INT32_MAX},  {"99999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN}, {"-99999999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases) EXPECT_EQ(parseNumber(c.text), c.value) << c.text;
}
}  // namespace
