// The guards' parts that need no process: the probe's splitter, the last
// line kept of its standard error, the guard options and their refusals,
// and the room guard against rooms made up here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "headless/cli/command_words.h"
#include "headless/cli/options.h"
#include "headless/runs/guards.h"
#include "headless/system/external_command.h"

namespace {
ParsedCommandLine parse(const std::vector<const char*>& args) {
    std::vector<const char*> argv = {"torvane-run"};
    argv.insert(argv.end(), args.begin(), args.end());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandWords, SplitAsShDoesWithNothingExpanded) {
    const struct {
        const char* text;
        std::vector<std::string> words;
    } cases[] = {
        {"curl -sf http://127.0.0.1:8080/healthz", {"curl", "-sf", "http://127.0.0.1:8080/healthz"}},
        {"  a \t b\n c  ", {"a", "b", "c"}},
        {"sh -c 'exit 3'", {"sh", "-c", "exit 3"}},
        {"echo \"a  b\" 'c\"d' \"e'f\"", {"echo", "a  b", "c\"d", "e'f"}},
        {"a''b \"\" ''", {"ab", "", ""}},
        {"a\\ b c\\\\d \\'e", {"a b", "c\\d", "'e"}},
        {"x\\\ny", {"xy"}},
        // In double quotes a backslash keeps its meaning only before $ ` " \ and a line end.
        {"\"\\$HOME \\\" \\\\ \\n \\a\"", {"$HOME \" \\ \\n \\a"}},
        {"'\\n' '$HOME'", {"\\n", "$HOME"}},
        {"echo $HOME `id` * ~ a;b|c", {"echo", "$HOME", "`id`", "*", "~", "a;b|c"}},
        {"a'b c'\"d e\"f", {"ab cd ef"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const CommandWords split = splitCommandWords(c.text);
        EXPECT_EQ(split.error, "");
        EXPECT_EQ(split.words, c.words);
    }
}

TEST(CommandWords, RefusesWhatShWouldNotRun) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"", "there is no command in it"},
        {" \t\n", "there is no command in it"},
        {"sh -c 'exit 3", "a ' is not closed"},
        {"echo \"a", "a \" is not closed"},
        {"echo \"a\\\"", "a \" is not closed"},
        {"echo a\\", "a backslash ends the command; write \\\\ for one"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const CommandWords split = splitCommandWords(c.text);
        EXPECT_EQ(split.error, c.error);
        EXPECT_TRUE(split.words.empty());
    }
}

TEST(LastLine, KeepsTheLastLineWrittenWhateverTheChunks) {
    const struct {
        std::vector<std::string> chunks;
        std::string last;
    } cases[] = {
        {{}, ""},
        {{"one\ntwo\n"}, "two"},
        {{"one\ntw", "o"}, "two"},
        {{"one\n", "\n\n"}, "one"},
        {{"one\r\n"}, "one"},
        {{"first\nsec", "ond\nthi"}, "thi"},
        {{std::string(1000, 'x') + "\n"}, std::string(LastLine::kMost, 'x')},
    };
    for (const auto& c : cases) {
        LastLine line;
        for (const std::string& chunk : c.chunks) line.add(chunk.data(), chunk.size());
        EXPECT_EQ(line.text(), c.last) << testing::PrintToString(c.chunks);
    }
}

TEST(GuardOptions, AreReadWithTheirDefaults) {
    const ParsedCommandLine parsed =
        parse({"--hold", "1G", "--stop-if-room-below", "512M", "--stop-if-room-below", "5%", "--stop-if-probe-fails",
               "true", "--stop-if-probe-fails", "curl -sf x", "--probe-interval", "2s"});
    ASSERT_EQ(parsed.outcome, Parsed::Run) << parsed.error;
    const Options& o = parsed.options;
    ASSERT_EQ(o.roomBelow.size(), 2u);
    EXPECT_EQ(o.roomBelow[0].below.bytes, 512ull << 20);
    EXPECT_EQ(o.roomBelow[0].given, "512M");
    EXPECT_EQ(o.roomBelow[1].below.kind, SizeRequest::Kind::PercentOfTotal);
    EXPECT_EQ(o.probes, (std::vector<std::string>{"true", "curl -sf x"}));
    EXPECT_EQ(o.probeIntervalMilliseconds, 2000u);
    EXPECT_FALSE(o.probeTimeoutMilliseconds.has_value());  // the interval, as guardsFor reads it
    EXPECT_TRUE(o.guarded());
    EXPECT_FALSE(parse({"--hold", "1G"}).options.guarded());
}

TEST(GuardOptions, GoWithEveryRunAndAreRefusedWhereTheyCannotWork) {
    const struct {
        std::vector<const char*> args;
        const char* error;  // null: accepted
    } cases[] = {
        {{"--keep-available", "1G", "--stop-if-room-below", "512M"}, nullptr},
        {{"--keep-available", "1G", "--stop-if-room-below", "1G"}, nullptr},
        {{"--keep-available", "10%", "--stop-if-room-below", "20G"}, nullptr},  // compared once the total is known
        {{"--yes", "--stop-if-probe-fails", "true", "--interval", "100ms", "a.evk"}, nullptr},
        {{"--yes", "--stop-if-room-below", "1G", "a.evk"}, nullptr},
        {{"--hold", "1G", "--stop-if-room-below", "1000T"}, nullptr},  // not bounded by any room
        {{"--hold", "1G", "--stop-if-probe-fails", "x", "--probe-timeout", "5s"}, nullptr},
        {{"--keep-available", "256M", "--stop-if-room-below", "1G"},
         "--keep-available 256M keeps the room below --stop-if-room-below 1G"},
        {{"--keep-available", "5%", "--stop-if-room-below", "8%"},
         "--keep-available 5% keeps the room below --stop-if-room-below 8%"},
        {{"--yes", "--interval", "100ms", "a.evk"},
         "--interval goes with --hold, --keep-available, --pressure or --stages, or with a script that has a guard"},
        {{"--hold", "1G", "--probe-interval", "1s"}, "--probe-interval goes with --stop-if-probe-fails CMD"},
        {{"--hold", "1G", "--probe-timeout", "1s"}, "--probe-timeout goes with --stop-if-probe-fails CMD"},
        {{"--hold", "1G", "--stop-if-probe-fails", "x", "--probe-interval", "5ms"}, "--probe-interval: at least 10ms"},
        {{"--hold", "1G", "--stop-if-probe-fails", "x", "--probe-timeout", "0"}, "--probe-timeout: at least 10ms"},
        {{"--hold", "1G", "--stop-if-room-below", "0"}, "--stop-if-room-below: \"0\" is nothing"},
        {{"--hold", "1G", "--stop-if-room-below", "all-1G"}, "--stop-if-room-below: \"all-1G\" is not an amount"},
        {{"--hold", "1G", "--stop-if-probe-fails", "sh -c 'exit"},
         "--stop-if-probe-fails: a ' is not closed in \"sh -c 'exit\""},
        {{"--hold", "1G", "--stop-if-probe-fails", " "}, "--stop-if-probe-fails: there is no command in it"},
        {{"--check", "--stop-if-room-below", "1G", "a.evk"}, "--check runs nothing, so there is nothing to guard"},
        {{"--hold", "1G", "--stop-if-low-memory"},
         "--stop-if-low-memory: Linux gives no low-memory signal to wait on; use --stop-if-room-below SIZE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ParsedCommandLine parsed = parse(c.args);
        if (!c.error) {
            EXPECT_EQ(parsed.outcome, Parsed::Run) << parsed.error;
            continue;
        }
        EXPECT_EQ(parsed.outcome, Parsed::UsageError);
        EXPECT_EQ(parsed.error.substr(0, std::string(c.error).size()), c.error);
    }
}

TEST(RoomGuard, TripsBelowItsSizeOnlyWhenTheRoomIsKnown) {
    const std::uint64_t MiB = 1ull << 20;
    const struct {
        const char* below;
        bool known;
        std::uint64_t available, total;
        const char* figure;  // null: no trip
    } cases[] = {
        {"512M", true, 600 * MiB, 8192 * MiB, nullptr},
        {"512M", true, 512 * MiB, 8192 * MiB, nullptr},  // at the size is not below it
        {"512M", true, 511 * MiB, 8192 * MiB, "the memory room is 511.0MiB, below 512.0MiB"},
        {"10%", true, 900 * MiB, 8192 * MiB, nullptr},
        {"10%", true, 800 * MiB, 8192 * MiB, "the memory room is 800.0MiB, below 819.2MiB"},
        {"1000T", true, 8192 * MiB, 8192 * MiB, "the memory room is 8192.0MiB, below 1048576000.0MiB"},
        {"1000T", false, 0, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.below) + " " + std::to_string(c.available / MiB));
        MemoryRoom room;
        room.known = c.known;
        room.available = c.available;
        room.total = c.total;
        RoomGuard guard({*parseSize(c.below, SizeUse::Amount), c.below}, [room] { return room; });
        const std::optional<GuardTrip> trip = guard.check(0);
        const bool trips = c.figure != nullptr;
        ASSERT_EQ(trip.has_value(), trips);
        if (!trips) continue;
        EXPECT_EQ(trip->guard, std::string("--stop-if-room-below ") + c.below);
        EXPECT_EQ(trip->figure, c.figure);
    }
}
}  // namespace
