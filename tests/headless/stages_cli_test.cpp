// torvane-run --stages end to end: the targets passed through, checked
// against the run's own events; a stage that does not fit; a command.
#include <gtest/gtest.h>

#include "child_process.h"
#include "json_output.h"

namespace {
constexpr long long kMiB = 1024 * 1024;

TEST(StagesRun, StepsDownThroughEachTarget) {
    Child child(ChildSetup{{"--json", "--stages", "0:64M,1s:64M,0:16M,1s:16M,0:0"}});
    ASSERT_EQ(child.finish(30000), 0) << child.err;
    const auto objects = jsonEvents(child.out);
    std::vector<long long> held;
    for (const auto& event : ofEvent(objects, "stage")) {
        if (event.value("code", "") == "stage-reached") held.push_back(event["held"].get<long long>());
    }
    EXPECT_EQ(held, (std::vector<long long>{64 * kMiB, 64 * kMiB, 16 * kMiB, 16 * kMiB, 0}));
    EXPECT_EQ(ofEvent(objects, "end").at(0).value("code", ""), "done");
}

// The plan's line names the kind held, as --hold's start line does.
TEST(StagesRun, TheStartLineNamesTheKind) {
    Child child(ChildSetup{{"--json", "--stages", "0:4M,0:0", "--kind", "shmem"}});
    ASSERT_EQ(child.finish(30000), 0) << child.err;
    const auto starts = ofEvent(jsonEvents(child.out), "stage");
    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts[0].value("code", ""), "stages-start");
    EXPECT_NE(starts[0].value("text", "").find("as shared memory"), std::string::npos) << starts[0].dump();
}

TEST(StagesRun, AStageThatDoesNotFitFailsBeforeTaking) {
    Child child(ChildSetup{{"--json", "--stages", "0:16M,1s:100000G,0:0"}});
    EXPECT_EQ(child.finish(30000), 1);
    const auto objects = jsonEvents(child.out + child.err);
    EXPECT_TRUE(ofEvent(objects, "stage").empty()) << child.out;
    bool failed = false;
    for (const auto& event : ofEvent(objects, "error")) failed |= event.value("code", "") == "alloc-failed";
    EXPECT_TRUE(failed) << child.out << child.err;
    for (const auto& event : objects) EXPECT_EQ(event.value("held", 0LL), 0) << event.dump();
}

// A command that ends first ends the run with its status; one that
// outlasts the stages keeps the last size until it ends.
TEST(StagesRun, AroundACommandItsStatusIsTheRuns) {
    const struct {
        const char* stages;
        const char* command;
        int status;
        long long heldAtCommandEnd;
    } cases[] = {
        {"0:32M,60s:32M", "exit 3", 3, 32 * kMiB},
        {"0:8M,0:24M", "sleep 1; exit 5", 5, 24 * kMiB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stages);
        Child child(ChildSetup{{"--json", "--stages", c.stages, "--", "sh", "-c", c.command}});
        ASSERT_EQ(child.finish(30000), c.status) << child.err;
        const auto objects = jsonEvents(child.out);
        const auto ends = ofEvent(objects, "command-end");
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0]["held"].get<long long>(), c.heldAtCommandEnd);
    }
}

TEST(StagesRun, RefusesOptionsOfOtherModes) {
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"--stages", "1s:1M", "--for", "1s"}, "--for does not go with --stages"},
        {{"--stages", "1s:1M", "--ramp", "1M/1s"}, "--ramp does not go with --stages"},
        {{"--stages", "1s:1M", "--lazy"}, "--lazy does not go with --stages"},
        {{"--stages", "1s:1M", "--partial"}, "--partial does not go with --stages"},
        {{"--stages", "1s:1M", "--max", "1M"}, "--max does not go with --stages"},
        {{"--stages", "1s:1M", "--hold", "1M"}, "--stages and --hold: one at a time"},
        {{"--hold", "1M", "--max", "1M"}, "--max goes with --keep-available"},
        {{"--stages", "1s"}, "stage 1 (\"1s\") has no ':'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        Child child(ChildSetup{c.args});
        EXPECT_EQ(child.finish(), 2);
        EXPECT_NE(child.err.find(c.says), std::string::npos) << child.err;
    }
}
}  // namespace
