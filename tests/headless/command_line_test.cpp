#include "headless/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(CommandLine, ParsesOptionsAndOneScript) {
    const struct {
        std::vector<const char*> args;
        Parsed outcome;
        std::string script;
        bool yes, physical, accessLoad, waitPopups;
    } cases[] = {
        {{"a.evk"}, Parsed::Run, "a.evk", false, false, false, false},
        {{"-y", "--physical", "a.evk", "--access-load", "-w"}, Parsed::Run, "a.evk", true, true, true, true},
        {{"--yes", "-p", "-a", "--wait-popups", "--", "-odd.evk"}, Parsed::Run, "-odd.evk", true, true, true, true},
        {{"-", "-y"}, Parsed::Run, "-", true, false, false, false},
        {{"a.evk", "--help"}, Parsed::Help, "", false, false, false, false},
        {{}, Parsed::UsageError, "", false, false, false, false},
        {{"-y"}, Parsed::UsageError, "", false, false, false, false},
        {{"a.evk", "b.evk"}, Parsed::UsageError, "", false, false, false, false},
        {{"--yes=1", "a.evk"}, Parsed::UsageError, "", false, false, false, false},
        {{""}, Parsed::UsageError, "", false, false, false, false},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"torvane-run"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ParsedCommandLine parsed = parseCommandLine(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(parsed.outcome, c.outcome);
        EXPECT_EQ(parsed.outcome == Parsed::UsageError, !parsed.error.empty());
        if (c.outcome != Parsed::Run) continue;
        EXPECT_EQ(parsed.options.script, c.script);
        EXPECT_EQ(parsed.options.yes, c.yes);
        EXPECT_EQ(parsed.options.physical, c.physical);
        EXPECT_EQ(parsed.options.accessLoad, c.accessLoad);
        EXPECT_EQ(parsed.options.waitPopups, c.waitPopups);
    }
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
