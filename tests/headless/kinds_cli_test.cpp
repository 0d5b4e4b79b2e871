// --kind end to end: page cache that the kernel shows as the group's cache
// and that no limit turns into an OOM kill, nothing left on disk after
// SIGKILL, shared memory that counts as Shmem and against the room, and the
// command lines that are refused.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "json_output.h"
#include "run_output.h"
#include "throwaway_group.h"

namespace {
constexpr std::uint64_t kMiB = 1ull << 20;

#define GROUP_OR_SKIP(name, limit)                \
    ThrowawayMemoryGroup name(limit);             \
    if (!name.usable()) GTEST_SKIP() << "no memory group here: " << name.why()

// A figure of the group's memory.stat (v1 and v2 name shmem alike; the
// page cache is v1's "cache", v2's "file").
std::uint64_t statOf(const ThrowawayMemoryGroup& group, const std::vector<std::string>& names) {
    const std::string procs = group.procs();
    std::istringstream in(fileText(procs.substr(0, procs.rfind('/')) + "/memory.stat"));
    for (std::string name; in >> name;) {
        std::uint64_t value = 0;
        in >> value;
        for (const std::string& wanted : names) {
            if (name == wanted) return value;
        }
    }
    return 0;
}

TEST(Kinds, RefusedCommandLines) {
    Folder folder;
    const std::string script = folder.write("s.evk", "EVKScript\nallocate 1\n");
    const struct {
        const char* what;
        std::vector<std::string> args;
        int status;
        std::vector<const char*> said;  // each in the error
    } cases[] = {
        {"with a script", {"--yes", "--kind", "shmem", script}, 2, {"--kind", "script"}},
        {"no such kind", {"--hold", "1M", "--kind", "swap"}, 2, {"--kind", "\"swap\"", "file:DIR"}},
        {"file: without a folder", {"--hold", "1M", "--kind", "file:"}, 2, {"--kind"}},
        {"lazy page cache", {"--hold", "1M", "--kind", "file", "--lazy"}, 2, {"--lazy", "--kind file"}},
        {"lazy shared memory", {"--hold", "1M", "--kind", "shmem", "--lazy"}, 2, {"--lazy", "--kind shmem"}},
        {"a folder on tmpfs", {"--hold", "1M", "--kind", "file:/dev/shm"}, 2, {"/dev/shm", "use --kind shmem"}},
        {"no such folder", {"--hold", "1M", "--kind", "file:/no/such/folder"}, 2, {"/no/such/folder"}},
        {"more than the disk", {"--hold", "1000000G", "--kind", "file:" + folder.path()}, 1, {"free space"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const RunResult r = runToEnd(ChildSetup{c.args});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        for (const char* part : c.said) EXPECT_NE(r.err.find(part), std::string::npos) << part << " in " << r.err;
    }
}

// $TMPDIR on tmpfs is passed over for /var/tmp, as the log says.
TEST(Kinds, FileSkipsATmpdirInMemory) {
    const RunResult r = runToEnd(ChildSetup{{"--hold", "4M", "--kind", "file", "--for", "0"}, {"TMPDIR=/dev/shm"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("as page cache in /var/tmp"), std::string::npos) << r.out;
}

// In a group whose limit is under the size, page cache is still had: the
// kernel reclaims it rather than killing, and what stays resident is
// measured, not asked. Shared memory of the same size is refused before
// it is taken, as anonymous memory is.
TEST(Kinds, PageCacheIsReclaimableSharedMemoryIsCharged) {
    GROUP_OR_SKIP(group, 256 * kMiB);
    Folder folder;
    ChildSetup file{{"--json", "--hold", "384M", "--kind", "file:" + folder.path(), "--for", "0.5s"}};
    file.cgroupProcs = group.procs();
    RunResult r = runToEnd(file);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    auto reached = ofEvent(jsonEvents(r.out), "hold-reached");
    ASSERT_EQ(reached.size(), 1u) << r.out;
    EXPECT_EQ(reached[0]["kind"], "file");
    EXPECT_LE(reached[0]["kind_resident"].get<std::uint64_t>(), 256 * kMiB) << "resident past the limit: asked, not measured";
    EXPECT_EQ(group.oomKills(), 0);

    ChildSetup shmem{{"--json", "--hold", "384M", "--kind", "shmem", "--for", "0.5s"}};
    shmem.cgroupProcs = group.procs();
    r = runToEnd(shmem);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(ofEvent(jsonEvents(r.out), "hold-reached").empty());
    EXPECT_EQ(group.oomKills(), 0);
}

// The take's page cache is clean when it is reached, and content written
// over it after its take is flushed too: reclaimable without a wait for the
// disk.
TEST(Kinds, PageCacheStaysClean) {
    const struct {
        const char* what;
        std::vector<std::string> content;
    } cases[] = {{"as taken", {}}, {"with content written after", {"--content", "random"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        GROUP_OR_SKIP(group, 1024 * kMiB);
        Folder folder;
        ChildSetup setup{{"--json", "--hold", "128M", "--kind", "file:" + folder.path()}};
        setup.args.insert(setup.args.end(), c.content.begin(), c.content.end());
        setup.cgroupProcs = group.procs();
        Child run(setup);
        ASSERT_TRUE(run.waitForOutput("\"hold-reached\"")) << run.out << run.err;
        EXPECT_GE(statOf(group, {"cache", "file"}), 128 * kMiB);
        // v1's "dirty", v2's "file_dirty"; the kernel writes back only after
        // 30 s, so without the flush all 128 MiB would be here, and pages
        // still being written are not clean yet either.
        EXPECT_LT(statOf(group, {"dirty", "file_dirty"}), 8 * kMiB);
        EXPECT_LT(statOf(group, {"writeback", "file_writeback"}), 8 * kMiB);
    }
}

// While held: the group's page cache (or shmem) holds it and the run says
// so; the file has no name in its folder, before SIGKILL or after.
TEST(Kinds, HeldAsTheGroupShowsIt) {
    GROUP_OR_SKIP(group, 1024 * kMiB);
    Folder folder;
    const struct {
        const char* kind;
        std::vector<std::string> stat;
    } cases[] = {
        {"file", {"cache", "file"}},
        {"shmem", {"shmem"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        const std::string kind = std::string(c.kind) == "file" ? "file:" + folder.path() : c.kind;
        ChildSetup setup{{"--json", "--hold", "128M", "--kind", kind}};
        setup.cgroupProcs = group.procs();
        Child run(setup);
        ASSERT_TRUE(run.waitForOutput("\"hold-reached\"")) << run.out << run.err;
        EXPECT_GE(statOf(group, c.stat), 128 * kMiB);
        const auto reached = ofEvent(jsonEvents(run.out.substr(0, run.out.rfind('\n') + 1)), "hold-reached");
        ASSERT_EQ(reached.size(), 1u);
        EXPECT_EQ(reached[0]["kind"], c.kind);
        EXPECT_GE(reached[0]["kind_resident"].get<std::uint64_t>(), 127 * kMiB);
        if (kind != c.kind) {
            // The open file is in the folder, by no name.
            bool inFolder = false;
            for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(run.pid()) + "/fd")) {
                std::error_code error;
                const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
                if (target.rfind(folder.path() + "/", 0) == 0) inFolder = true;
            }
            EXPECT_TRUE(inFolder) << "no open file in " << folder.path();
            EXPECT_TRUE(std::filesystem::is_empty(folder.path())) << "a name left in the folder";
        } else {
            EXPECT_GE(procStatusKiB(run.pid(), "RssShmem"), 128 * 1024);
            EXPECT_LE(statOf(group, c.stat), 136 * kMiB) << "the memfd holds more than was asked";
        }
        kill(run.pid(), SIGKILL);
        EXPECT_EQ(run.finish(), 128 + SIGKILL);
        EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
        EXPECT_TRUE(within(5000, [&] { return statOf(group, c.stat) < 8 * kMiB; })) << "the pages outlived the run";
    }
}

}  // namespace
