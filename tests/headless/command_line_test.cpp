#include "headless/cli/options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "headless/cli/durations.h"

namespace {

ParsedCommandLine parse(const std::vector<const char*>& args) {
    std::vector<const char*> argv = {"torvane-run"};
    argv.insert(argv.end(), args.begin(), args.end());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, ParsesOptionsAndOneScript) {
    const struct {
        std::vector<const char*> args;
        Parsed outcome;
        std::string script;
        bool yes, physical, accessLoad, waitPopups;
        std::uint64_t graceMilliseconds = 5000;
    } cases[] = {
        {{"a.evk"}, Parsed::Run, "a.evk", false, false, false, false},
        {{"-y", "--physical", "a.evk", "--access-load", "-w"}, Parsed::Run, "a.evk", true, true, true, true},
        {{"--yes", "-p", "-a", "--wait-popups", "--", "-odd.evk"}, Parsed::Run, "-odd.evk", true, true, true, true},
        {{"-ypaw", "a.evk"}, Parsed::Run, "a.evk", true, true, true, true},
        {{"-", "-y"}, Parsed::Run, "-", true, false, false, false},
        {{"--grace", "500ms", "a.evk"}, Parsed::Run, "a.evk", false, false, false, false, 500},
        {{"--grace=2", "a.evk"}, Parsed::Run, "a.evk", false, false, false, false, 2000},
        {{"a.evk", "--grace", "1.5S"}, Parsed::Run, "a.evk", false, false, false, false, 1500},
        {{"--grace", "1m", "--grace", "0s", "a.evk"}, Parsed::Run, "a.evk", false, false, false, false, 0},
        {{"a.evk", "--help"}, Parsed::Help, "", false, false, false, false},
        {{}, Parsed::UsageError, "", false, false, false, false},
        {{"-y"}, Parsed::UsageError, "", false, false, false, false},
        {{"a.evk", "b.evk"}, Parsed::UsageError, "", false, false, false, false},
        {{"a.evk", "--", "b.evk"}, Parsed::UsageError, "", false, false, false, false},
        {{"--yes=1", "a.evk"}, Parsed::UsageError, "", false, false, false, false},
        {{"--physical=false", "a.evk"}, Parsed::UsageError, "", false, false, false, false},
        {{""}, Parsed::UsageError, "", false, false, false, false},
        {{"--grace", "5x", "a.evk"}, Parsed::UsageError, "", false, false, false, false},
        {{"a.evk", "--grace"}, Parsed::UsageError, "", false, false, false, false},
        {{"--grace=", "a.evk"}, Parsed::UsageError, "", false, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ParsedCommandLine parsed = parse(c.args);
        EXPECT_EQ(parsed.outcome, c.outcome) << parsed.error;
        EXPECT_EQ(parsed.outcome == Parsed::UsageError, !parsed.error.empty());
        if (c.outcome != Parsed::Run) continue;
        EXPECT_EQ(parsed.options.script, c.script);
        EXPECT_EQ(parsed.options.yes, c.yes);
        EXPECT_EQ(parsed.options.physical, c.physical);
        EXPECT_EQ(parsed.options.accessLoad, c.accessLoad);
        EXPECT_EQ(parsed.options.waitPopups, c.waitPopups);
        EXPECT_EQ(parsed.options.graceMilliseconds, c.graceMilliseconds);
    }
}

// Each message names what was wrong and shows what would be right, and an
// argument in it is escaped like any printed text.
TEST(CommandLine, UsageErrorsSayWhatWasWrongAndWhatIsRight) {
    const struct {
        std::vector<const char*> args;
        std::string message;
    } cases[] = {
        {{}, "no script named; give one, e.g. torvane-run --yes hold.evk"},
        {{""}, "the script's name is empty"},
        {{"a.evk", "b.evk"}, "one script at a time: b.evk is one too many"},
        {{"--bogus", "a.evk"}, "unknown option --bogus; the options are --help, --yes, --physical, --access-load"},
        {{"--yes=1", "a.evk"}, "--yes: takes no value; write -y or --yes alone"},
        {{"--grace", "5x", "a.evk"},
         "--grace: \"5x\" is not a duration; use e.g. 500ms, 30s, 5m, 1h or a number of seconds, up to 100 days"},
        {{"--\x1b[31m", "a.evk"}, "unknown option --\\x1B[31m; the options are"},
        {{"--grace", "\x1b]0;x\x07", "a.evk"}, "--grace: \"\\x1B]0;x\\x07\" is not a duration"},
        {{"a.evk", "b\xC2\x9B" "2J"}, "one script at a time: b\\xC2\\x9B2J is one too many"},
        {{"--hold", "12X"}, "--hold: \"12X\" is not a size; use a size such as"},
        {{"--keep-available", "0%"}, "--keep-available: \"0%\" is nothing; give a share above 0%"},
        {{"--hold", "512"}, "--hold: \"512\" is 512 bytes? write 512B, or 512M"},
        {{"--hold", "1G", "--ramp", "256M"}, "--ramp: \"256M\" is not a ramp step; use"},
        {{"--hold", "1G", "--keep-available", "1G"}, "--hold and --keep-available: one at a time"},
        {{"--hold", "1G", "--for", "5s", "--", "sleep", "9"},
         "--for ends a hold that has no command; to end the command as well, use --timeout"},
        {{"--keep-available", "1G", "--lazy"}, "--lazy goes with --hold, not --keep-available"},
        {{"--ramp", "1G/1s", "a.evk"}, "--ramp goes with --hold"},
        {{"--for", "1s", "a.evk"}, "--for goes with --hold or --keep-available"},
        {{"--hold", "1G", "--check"}, "--check reads a script; it does not go with --hold or --keep-available"},
        {{"--check", "--sample", "1s", "a.evk"}, "--check runs nothing, so there is nothing to sample or report"},
        {{"--workers", "0", "a.evk"}, "--workers: \"0\" is not a whole number from 1 to 256"},
        {{"--keep-available", "1G", "--interval", "5ms"}, "--interval: at least 10ms; e.g. 250ms"},
        {{"hold", "128M"}, "\"hold\" is no script but an option's name: did you mean --hold 128M?"},
        {{"keep-available", "1G", "--", "make"}, "\"keep-available\" is no script but an option's name: did you mean --keep-available 1G?"},
        {{"--yes", "check", "a.evk"}, "\"check\" is no script but an option's name: did you mean --check?"},
        {{"--timeout", "soon", "a.evk"}, "--timeout: \"soon\" is not a duration"},
        {{"--hold", "1G", "--lock", "--lazy"}, "--lock and --lazy: a locked page is resident"},
        {{"--hold", "1G", "--content", "random", "--lazy"}, "--content and --lazy: the content is written"},
        {{"--lock", "a.evk"}, "--lock goes with --hold or --keep-available"},
        {{"--huge", "a.evk"}, "--huge goes with --hold or --keep-available"},
        {{"--content", "zero", "a.evk"}, "--content goes with --hold or --keep-available"},
        {{"--keep-available", "1G", "--huge=hugetlb"}, "--huge=hugetlb and --keep-available: the hugetlb pool"},
        {{"--hold", "1G", "--huge", "hugetlb"}, "--huge hugetlb: write --huge=hugetlb"},
        {{"--hold", "1G", "--huge=2M"}, "--huge: \"2M\" is not a kind of huge page; use --huge alone, or --huge=hugetlb"},
        {{"--hold", "1G", "--content", "compressible:100"}, "--content: \"compressible:100\" is not a content; use"},
        {{"--hold", "1G", "--lock=yes"}, "--lock: takes no value"},
        {{"--hold", "1G", "--lock", "--kind", "file"}, "--lock with --kind file: page cache is held to be reclaimable"},
        {{"--hold", "1G", "--huge", "--kind", "shmem"}, "--huge with --kind shmem: shared memory follows the system's"},
        {{"--hold", "1G", "--huge", "--kind", "file:/var/tmp"}, "--huge with --kind file: page cache is not mapped"},
        {{"--hold", "1G", "--pressure-window", "1s"}, "--pressure-window is the window --pressure or --stop-if-pressure"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ParsedCommandLine parsed = parse(c.args);
        EXPECT_EQ(parsed.outcome, Parsed::UsageError);
        EXPECT_EQ(parsed.error.substr(0, c.message.size()), c.message);
    }
}

TEST(CommandLine, HoldsWithTheirSizesAndCommands) {
    const struct {
        std::vector<const char*> args;
        RunMode mode;
        SizeRequest::Kind kind;
        std::vector<std::string> command;
        bool ramp;
        std::uint64_t forMs, timeoutMs;  // 0: not given
    } cases[] = {
        {{"--hold", "512M"}, RunMode::Hold, SizeRequest::Kind::Bytes, {}, false, 0, 0},
        {{"--hold", "80%", "--for", "10m"}, RunMode::Hold, SizeRequest::Kind::PercentOfTotal, {}, false, 600000, 0},
        {{"--hold", "4G", "--ramp", "256M/5s", "--", "my-tests", "--suite", "x"}, RunMode::Hold,
         SizeRequest::Kind::Bytes, {"my-tests", "--suite", "x"}, true, 0, 0},
        {{"--keep-available", "all-2G", "--timeout", "30m", "--", "sh", "-c", "exit 3"}, RunMode::KeepAvailable,
         SizeRequest::Kind::AllBut, {"sh", "-c", "exit 3"}, false, 0, 1800000},
        {{"--timeout", "1h", "a.evk"}, RunMode::Script, SizeRequest::Kind::Bytes, {}, false, 0, 3600000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ParsedCommandLine parsed = parse(c.args);
        ASSERT_EQ(parsed.outcome, Parsed::Run) << parsed.error;
        EXPECT_EQ(parsed.options.mode, c.mode);
        EXPECT_EQ(parsed.options.command, c.command);
        EXPECT_EQ(parsed.options.ramp.has_value(), c.ramp);
        EXPECT_EQ(parsed.options.forMilliseconds.value_or(0), c.forMs);
        EXPECT_EQ(parsed.options.timeoutMilliseconds.value_or(0), c.timeoutMs);
        if (c.mode != RunMode::Script) EXPECT_EQ(parsed.options.size.kind, c.kind);
    }
}

// The held pages' options, as the hold reads them; "--huge" before "--"
// or another option takes no value from it.
TEST(CommandLine, ReadsTheHeldPagesOptions) {
    const struct {
        std::vector<const char*> args;
        bool lock;
        HugePages huge;
        PageContent::Kind content;
        std::vector<std::string> command;
    } cases[] = {
        {{"--hold", "1G"}, false, HugePages::None, PageContent::Kind::Fill, {}},
        {{"--hold", "1G", "--lock", "--huge", "--", "make"}, true, HugePages::Transparent, PageContent::Kind::Fill,
         {"make"}},
        {{"--huge", "--hold", "1G", "--content", "compressible:4"}, false, HugePages::Transparent,
         PageContent::Kind::Compressible, {}},
        {{"--hold", "1G", "--huge=hugetlb", "--content", "random"}, false, HugePages::Pool,
         PageContent::Kind::Random, {}},
        {{"--keep-available", "2G", "--lock", "--content", "zero"}, true, HugePages::None, PageContent::Kind::Zero,
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ParsedCommandLine parsed = parse(c.args);
        ASSERT_EQ(parsed.outcome, Parsed::Run) << parsed.error;
        EXPECT_EQ(parsed.options.lock, c.lock);
        EXPECT_EQ(parsed.options.huge, c.huge);
        EXPECT_EQ(parsed.options.content.kind, c.content);
        EXPECT_EQ(parsed.options.command, c.command);
    }
}

// A path option never takes the next option as its value: a forgotten
// file name would otherwise swallow --strict, or --timeout and its value.
// A name that starts with '-' is given joined with '='.
TEST(CommandLine, APathOptionNeverTakesTheNextOption) {
    const struct {
        std::vector<const char*> args;
        std::string message;  // empty: parsed, with `report`
        std::string report;
    } cases[] = {
        {{"--yes", "--report", "--strict", "bad.evk"},
         "--report: \"--strict\" is an option, not a file name; give the file (e.g. --report run.html), or write "
         "--report=--strict for a file whose name starts with '-'", ""},
        {{"--hold", "1M", "--report", "--timeout", "30m", "--", "make"}, "--report: \"--timeout\" is an option", ""},
        {{"--hold", "1M", "--report", "-y"}, "--report: \"-y\" is an option", ""},
        {{"--hold", "1M", "--report", "-"}, "--report: \"-\" is an option", ""},
        {{"--hold", "1M", "--report", "--", "make"}, "--report: the file name is missing before --; e.g. --report run.html", ""},
        {{"--hold", "1M", "--report"}, "--report: the file name is missing; e.g. --report run.html", ""},
        {{"--hold", "1M", "--report=", "--for", "1s"}, "--report: the file name after = is missing", ""},
        {{"--report", "--help", "a.evk"}, "--report: \"--help\" is an option", ""},
        {{"--hold", "1M", "--report=-odd.html"}, "", "-odd.html"},
        {{"--hold", "1M", "--report=--strict"}, "", "--strict"},
        {{"--hold", "1M", "--report", "run.html", "--", "--report", "-x"}, "", "run.html"},
        {{"--report", "a b.html", "--yes", "a.evk"}, "", "a b.html"},
        {{"--report", "x.html", "--report", "y.html", "a.evk"}, "", "y.html"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ParsedCommandLine parsed = parse(c.args);
        if (c.message.empty()) {
            ASSERT_EQ(parsed.outcome, Parsed::Run) << parsed.error;
            EXPECT_EQ(parsed.options.report, c.report);
        } else {
            EXPECT_EQ(parsed.outcome, Parsed::UsageError);
            EXPECT_EQ(parsed.error.substr(0, c.message.size()), c.message);
        }
    }
}

TEST(CommandLine, HelpComesFromTheSameTable) {
    for (const char* text : {"Usage: torvane-run [options] SCRIPT", "-y,--yes", "-p,--physical",
                             "-a,--access-load", "-w,--wait-popups", "--grace DURATION", "default 5s", "-h,--help",
                             "Exit status:", "130 SIGINT", "143 SIGTERM"}) {
        EXPECT_NE(kHelpText.find(text), std::string::npos) << text;
    }
    EXPECT_NE(kHelpText.back(), '\n');
}

TEST(Durations, ReadsTheCommonForms) {
    const struct {
        const char* text;
        std::optional<std::uint64_t> milliseconds;
    } cases[] = {
        {"500ms", 500},
        {"30s", 30000},
        {"5m", 300000},
        {"1h", 3600000},
        {"2", 2000},
        {"0", 0},
        {"1.5s", 1500},
        {"0.5H", 1800000},
        {"1.25", 1250},
        {"2.500s", 2500},
        {"0.001s", 1},
        {"5MS", 5},
        {"007s", 7000},
        {"100h", 360000000},
        {"2400h", kMaxDurationMilliseconds},
        // Refused: empty, signed, spaced, unknown or doubled units, junk,
        // a lone or doubled point, finer than a millisecond, over the bound.
        {"", std::nullopt},
        {"-1s", std::nullopt},
        {"+1s", std::nullopt},
        {" 1s", std::nullopt},
        {"1 s", std::nullopt},
        {"1s ", std::nullopt},
        {"5x", std::nullopt},
        {"1d", std::nullopt},
        {"1ss", std::nullopt},
        {"1s5", std::nullopt},
        {"s", std::nullopt},
        {".5s", std::nullopt},
        {"5.s", std::nullopt},
        {"1.2.3s", std::nullopt},
        {"1.5ms", std::nullopt},
        {"0.0001s", std::nullopt},
        {"1e3ms", std::nullopt},
        {"2400.001h", std::nullopt},
        {"2401h", std::nullopt},
        {"8640000001ms", std::nullopt},
        {"99999999999999999999999s", std::nullopt},
        {"0.0000000000000000000001s", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parseDurationMilliseconds(c.text), c.milliseconds) << '"' << c.text << '"';
}

TEST(CommandLine, ExternalCommandsStartInTheScriptsFolder) {
    const struct {
        const char *path, *folder;
    } cases[] = {
        {"a.evk", ""}, {"dir/a.evk", "dir"}, {"/a.evk", "/"}, {"/x/y/a.evk", "/x/y"}, {"./a.evk", "."},
    };
    for (const auto& c : cases) EXPECT_EQ(folderOf(c.path), c.folder) << c.path;
}

}  // namespace
