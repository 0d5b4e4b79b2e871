// -a --access-rate and --touch end to end: the command lines refused, and
// the warm event that says the rate achieved, for every kind of hold.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "json_output.h"
#include "run_output.h"

namespace {
TEST(Warm, RefusedCommandLines) {
    Folder folder;
    const std::string script = folder.write("s.evk", "EVKScript\nallocate 1\n");
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::vector<const char*> said;  // each in the error
    } cases[] = {
        {"touch, lazy", {"--hold", "1M", "--touch", "--lazy"}, {"--touch and --lazy"}},
        {"rate, lazy", {"--hold", "1M", "-a", "--access-rate", "1G/s", "--lazy"}, {"--access-rate and --lazy"}},
        {"rate without -a", {"--hold", "1M", "--access-rate", "1G/s"}, {"--access-rate", "add -a"}},
        {"-a with touch", {"--hold", "1M", "-a", "--touch"}, {"-a and --touch"}},
        {"touch in a script", {"--yes", "--touch", script}, {"--touch goes with", "script"}},
        {"rate in a script", {"--yes", "-a", "--access-rate", "1G/s", script}, {"--access-rate goes with"}},
        {"interval alone", {"--hold", "1M", "--touch-interval", "1s"}, {"--touch-interval goes with --touch"}},
        {"interval too short", {"--hold", "1M", "--touch", "--touch-interval", "1ms"}, {"--touch-interval", "10ms"}},
        {"no rate", {"--hold", "1M", "-a", "--access-rate", "2G"}, {"\"2G\"", "/s is missing", "1G/s"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const RunResult r = runToEnd(ChildSetup{c.args});
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        for (const char* part : c.said) EXPECT_NE(r.err.find(part), std::string::npos) << part << " in " << r.err;
    }
}

// Each way says at the end what it achieved, in every mode that holds; the
// rate written never passes the rate asked.
TEST(Warm, TheLogSaysTheRateAchieved) {
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* code;
        std::optional<double> asked;
    } cases[] = {
        {"touch", {"--hold", "32M", "--touch", "--touch-interval", "100ms", "--for", "1s"}, "touch-rate", {}},
        {"touch, page cache", {"--hold", "32M", "--kind", "file", "--touch", "--touch-interval", "100ms", "--for", "1s"},
         "touch-rate", {}},
        {"rate", {"--hold", "32M", "-a", "--access-rate", "16M/s", "--for", "1s"}, "access-rate", 16.0 * (1 << 20)},
        {"passes", {"--hold", "32M", "-a", "--for", "1s"}, "access-rate", {}},
        {"stages", {"--stages", "0:32M,1s:32M", "--touch", "--touch-interval", "100ms"}, "touch-rate", {}},
        {"keep-available", {"--keep-available", "all-64M", "--max", "32M", "-a", "--access-rate", "16M/s", "--for", "1s"},
         "access-rate", 16.0 * (1 << 20)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--json");
        const RunResult r = runToEnd(ChildSetup{args});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const auto warm = ofEvent(jsonEvents(r.out), "warm");
        ASSERT_EQ(warm.size(), 1u) << r.out;  // the end's; the early one comes five seconds in
        EXPECT_EQ(warm[0]["code"], c.code);
        ASSERT_TRUE(warm[0]["rate"].is_number()) << warm[0];
        EXPECT_GT(warm[0]["rate"].get<double>(), 0);
        EXPECT_TRUE(warm[0]["busy"].is_number()) << warm[0];
        if (c.asked) {
            EXPECT_EQ(warm[0]["rate_asked"].get<double>(), *c.asked);
            EXPECT_LE(warm[0]["rate"].get<double>(), *c.asked * 1.01) << "written faster than asked";
        } else {
            EXPECT_TRUE(warm[0]["rate_asked"].is_null());
        }
        // Said before the memory is given back, while the figures are the hold's.
        EXPECT_LT(r.out.find("\"event\":\"warm\""), r.out.find("\"event\":\"release\"")) << r.out;
        EXPECT_GT(warm[0]["held"].get<std::uint64_t>(), 0u);
    }
}
}  // namespace
