// torvane-run's own processes and streams under what the systems it runs on
// do to them: signals a command's group is sent, orphans that come to a
// container's first process, a standard output left non-blocking, and
// standard input that never ends. Each test drives the real program.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <fstream>
#include <string>

#include "child_process.h"
#include "run_output.h"
#include "throwaway_group.h"

namespace {
pid_t pidInFile(const std::string& path) {
    pid_t pid = 0;
    std::ifstream(path) >> pid;
    return pid;
}

}  // namespace

// A signal sent to a command's process group is the command's business: a
// command that catches it runs on to its own end, and the run reports the
// status it ended with.
TEST(CommandGroup, SignalsToTheGroupLeaveTheCommandRunning) {
    for (const int signal : {SIGUSR1, SIGUSR2, SIGALRM}) {
        SCOPED_TRACE(strsignal(signal));
        Folder folder;
        const std::string command = folder.write("command.sh",
                                                 "cd " + folder.path() +
                                                     "\ntrap 'echo caught >> caught' USR1 USR2 ALRM\n"
                                                     "echo $$ > command.pid\n"
                                                     "while [ ! -e finish ]; do sleep 0.05; done\n"
                                                     "echo done > finished\n",
                                                 true);
        Child child(ChildSetup{{"--hold", "1M", "--", command}});
        pid_t pid = 0;
        ASSERT_TRUE(within(5000, [&] { return (pid = pidInFile(folder.path() + "/command.pid")) > 0; }));
        const pid_t group = getpgid(pid);
        ASSERT_GT(group, 0);
        ASSERT_NE(group, getpgrp());
        kill(-group, signal);
        EXPECT_TRUE(within(5000, [&] { return folder.has("caught"); }));
        folder.write("finish", "");
        EXPECT_EQ(child.finish(5000), 0) << child.err;
        EXPECT_TRUE(folder.has("finished"));
    }
}
