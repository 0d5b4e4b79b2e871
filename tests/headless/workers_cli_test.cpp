// --workers end to end: the count as a person writes it, and a run whose
// workers outlive a pass still starts its commands and stops on a signal.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "headless/cli/options.h"
#include "headless/runs/parallel_fill.h"
#include "run_output.h"

namespace {

ParsedCommandLine parse(const std::vector<const char*>& args) {
    std::vector<const char*> argv = {"torvane-run"};
    argv.insert(argv.end(), args.begin(), args.end());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

int threadsOf(pid_t pid) {
    int count = 0;
    if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

TEST(Workers, CountIsANumberOrAuto) {
    struct Case {
        const char* value;
        unsigned workers;      // when accepted
        const char* message;   // the start of the error otherwise
    };
    const Case cases[] = {
        {"1", 1, nullptr},
        {"256", 256, nullptr},
        {"auto", autoWorkers(), nullptr},
        {"0", 0, "--workers: \"0\" is not a whole number from 1 to 256"},
        {"257", 0, "--workers: \"257\" is not a whole number from 1 to 256"},
        {"two", 0, "--workers: \"two\" is not a count of threads; use 1 to 256 or auto"},
        {"-1", 0, "--workers: \"-1\" is not a count of threads"},
        {"Auto", 0, "--workers: \"Auto\" is not a count of threads"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const ParsedCommandLine parsed = parse({"--workers", c.value, "a.evk"});
        if (c.message == nullptr) {
            ASSERT_EQ(parsed.outcome, Parsed::Run) << parsed.error;
            EXPECT_EQ(parsed.options.workers, c.workers);
        } else {
            EXPECT_EQ(parsed.outcome, Parsed::UsageError);
            EXPECT_EQ(parsed.error.substr(0, std::string(c.message).size()), c.message);
        }
    }
    EXPECT_GE(autoWorkers(), 1u);
    EXPECT_LE(autoWorkers(), kAutoWorkersCap);
}

TEST(Workers, ARunWithWorkersStartsItsCommandAndStopsOnASignal) {
    // The workers are started by the first pass and kept: the command is
    // started with them alive, and SIGTERM still ends the run at once.
    Folder folder;
    folder.write("hold.sh", "echo > started\nexec sleep 30\n", true);
    ChildSetup setup{{"-y", "-a", "--workers", "2",
                      folder.write("s.evk", "EVKScript\nmallocate 64\nsleep 1\nrun ./hold.sh\nrelease \n")}};
    Child child(setup);
    ASSERT_TRUE(child.waitForOutput("command  ./hold.sh"));
    for (int i = 0; i < 500 && !folder.has("started"); ++i) usleep(10000);
    ASSERT_TRUE(folder.has("started")) << "the command never ran";
    EXPECT_EQ(threadsOf(child.pid()), 2) << "the main thread and one worker";
    kill(child.pid(), SIGTERM);
    EXPECT_EQ(child.finish(5000), 143);
    const std::vector<std::string> lines = events(child.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("stop     SIGTERM", 0), 0u) << lines.back();
}

}  // namespace
