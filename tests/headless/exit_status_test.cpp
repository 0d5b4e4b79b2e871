// The exit-status table against what torvane-run returns in each mode: every
// row of the table is reached by at least one run here, and returns the
// table's number.
#include <signal.h>

#include <gtest/gtest.h>

#include <set>

#include "child_process.h"
#include "headless/cli/exit_status.h"
#include "run_output.h"

namespace {
const ExitStatusRow& rowOf(Exit exit) {
    for (unsigned k = 0; k < kExitStatusCount; ++k) {
        if (kExitStatuses[k].exit == exit) return kExitStatuses[k];
    }
    static const ExitStatusRow none{};
    ADD_FAILURE() << "no row for an exit";
    return none;
}

TEST(ExitStatuses, EachRowIsWhatItsModeReturns) {
    Folder folder;
    const std::string clean = folder.write("clean.evk", "EVKScript\nsleep 0\nend \n");
    const std::string faulty = folder.write("faulty.evk", "EVKScript\nmallocate64\n");
    const std::string pause = folder.write("pause.evk", "EVKScript\nsleep 30\n");
    const std::string absent = folder.path() + "/absent.evk";
    const struct {
        const char* what;
        Exit exit;
        std::vector<std::string> args;
        int added = 0;              // the command's status or the signal
        const char* stopAfter = nullptr;  // sent SIGTERM once standard output holds this
    } cases[] = {
        {"script to its end", Exit::Done, {"--yes", clean}},
        {"hold to the end of --for", Exit::Done, {"--hold", "1M", "--for", "100ms"}},
        {"script that cannot be read", Exit::Failed, {"--yes", absent}},
        {"hold larger than any room", Exit::Failed, {"--hold", "1000T"}},
        {"unknown option", Exit::Usage, {"--bogus", clean}},
        {"no terminal to confirm on", Exit::Usage, {clean}},
        {"hold with two modes", Exit::Usage, {"--hold", "1M", "--keep-available", "1M"}},
        {"hold a guard ended at the start", Exit::Guarded, {"--hold", "1M", "--stop-if-room-below", "1000T"}},
        {"script a guard ended", Exit::Guarded, {"--yes", "--stop-if-room-below", "1000T", pause}},
        {"script past its deadline", Exit::TimedOut, {"--yes", "--timeout", "200ms", pause}},
        {"hold past its deadline", Exit::TimedOut, {"--timeout", "200ms", "--hold", "1M"}},
        {"command that cannot start", Exit::NotStarted, {"--hold", "1M", "--", folder.path() + "/no-such-program"}},
        {"command's own status", Exit::CommandStatus, {"--hold", "1M", "--", "sh", "-c", "exit 3"}, 3},
        {"script stopped", Exit::Stopped, {"--yes", pause}, SIGTERM, "status   Pause"},
        {"hold with --for stopped", Exit::Stopped, {"--hold", "1M", "--for", "30s"}, SIGTERM, "hold     reached"},
        {"check: clean", Exit::CheckClean, {"--check", clean}},
        {"check: faults", Exit::CheckFaults, {"--check", faulty}},
        {"check: unreadable", Exit::CheckUnreadable, {"--check", absent}},
    };
    std::set<Exit> reached;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int status;
        if (c.stopAfter) {
            Child child{ChildSetup{c.args}};
            ASSERT_TRUE(child.waitForOutput(c.stopAfter)) << child.out << child.err;
            kill(child.pid(), SIGTERM);
            status = child.finish();
        } else {
            status = runToEnd(ChildSetup{c.args}).status;
        }
        EXPECT_EQ(status, rowOf(c.exit).code + c.added);
        reached.insert(c.exit);
    }
    for (unsigned k = 0; k < kExitStatusCount; ++k) {
        EXPECT_TRUE(reached.count(kExitStatuses[k].exit)) << "no run here returns \"" << kExitStatuses[k].name << "\"";
    }
}
}  // namespace
