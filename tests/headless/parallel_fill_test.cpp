// --workers: a pass split across threads writes every byte of the block, and
// nothing outside it, whatever the block's size and alignment.
#include "headless/runs/parallel_fill.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "headless/system/part_thread.h"
#include "load/access_load.h"
#include "load/block_store.h"

namespace {
constexpr std::uint64_t kPage = 4096;

struct SizeCase {
    const char* what;
    std::uint64_t offset;  // from a page boundary
    std::uint64_t bytes;
};
constexpr SizeCase kSizes[] = {
    {"empty", 0, 0},
    {"one byte", 0, 1},
    {"under a page, off a page boundary", 100, 3000},
    {"one page", 0, kPage},
    {"across a page boundary", 4000, 200},
    {"seven pages and a bit", 0, 7 * kPage + 5},
    {"uneven, off a page boundary", 123, 10 * kPage + 4001},
    {"many pages", 17, 300 * kPage + 1},
};
constexpr unsigned kWorkers[] = {0, 1, 2, 3, 7};

TEST(ParallelFill, PartsCoverTheBlockOnceOnPageBoundaries) {
    for (const SizeCase& c : kSizes) {
        for (const unsigned workers : kWorkers) {
            const std::uintptr_t address = 64 * kPage + c.offset;
            const std::vector<std::uintptr_t> ends = fillPartEnds(address, c.bytes, workers);
            ASSERT_EQ(ends.size(), workers == 0 ? 1u : workers) << c.what << ", " << workers;
            std::uintptr_t from = address;
            std::uint64_t largest = 0;
            for (std::size_t k = 0; k < ends.size(); ++k) {
                ASSERT_GE(ends[k], from) << c.what << ", " << workers << ": part " << k << " runs backwards";
                if (k + 1 < ends.size() && ends[k] != address + c.bytes) {
                    EXPECT_EQ(ends[k] % kPage, 0u) << c.what << ", " << workers << ": part " << k;
                }
                largest = std::max<std::uint64_t>(largest, ends[k] - from);
                from = ends[k];
            }
            EXPECT_EQ(ends.back(), address + c.bytes) << c.what << ", " << workers;
            // Near-equal: no part more than a page over an even share.
            const unsigned n = workers == 0 ? 1 : workers;
            EXPECT_LE(largest, (c.bytes + n - 1) / n + kPage) << c.what << ", " << workers;
        }
    }
}

TEST(ParallelFill, WritesEveryByteOfTheBlockAndNoOther) {
    for (const SizeCase& c : kSizes) {
        for (const unsigned workers : kWorkers) {
            // Guard pages either side; the block placed at its offset from a
            // page boundary of the address space.
            std::vector<unsigned char> memory(c.bytes + 4 * kPage, 0xAA);
            const auto base = reinterpret_cast<std::uintptr_t>(memory.data());
            const std::uintptr_t aligned = (base + kPage - 1) / kPage * kPage + kPage;
            unsigned char* const start = memory.data() + (aligned - base) + c.offset % kPage;
            fillInParts(start, c.bytes, 0x5C, workers);
            for (std::size_t i = 0; i < memory.size(); ++i) {
                const bool inside = memory.data() + i >= start && memory.data() + i < start + c.bytes;
                ASSERT_EQ(memory[i], inside ? 0x5C : 0xAA)
                    << c.what << ", " << workers << " workers: byte " << i - (start - memory.data());
            }
        }
    }
}

TEST(ParallelFill, AccessLoadPassWithAnotherFillKeepsTheGuardAndTheCycle) {
    std::vector<unsigned char> bytes(5 * kPage + 7, 0);
    LoadBlock load;
    load.block = bytes.data();
    load.size = bytes.size();
    load.allocated = 1;
    AccessLoad access;
    access.fillByte = 64;
    const auto split = [](unsigned char* p, std::uint64_t n, unsigned char v) { fillInParts(p, n, v, 3); };
    ASSERT_TRUE(accessLoadIfHeld(load, access, split));
    EXPECT_EQ(std::vector<unsigned char>(bytes.size(), 64), bytes);
    EXPECT_EQ(access.fillByte, 1) << "64 wraps to 1";
    EXPECT_EQ(load.busy, 0);

    int calls = 0;
    const auto counted = [&calls](unsigned char*, std::uint64_t, unsigned char) { ++calls; };
    load.busy = 1;  // a pass already running
    EXPECT_FALSE(accessLoadIfHeld(load, access, counted));
    load.busy = 0;
    load.allocated = 0;  // released
    EXPECT_FALSE(accessLoadIfHeld(load, access, counted));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(access.fillByte, 1) << "no pass, no advance";
}

// The threads of this process other than the calling one, by task id, in
// the order the kernel lists them.
std::vector<std::string> otherTasks() {
    std::vector<std::string> tasks;
    const std::string self = std::to_string(gettid());
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != self) tasks.push_back(name);
        }
        closedir(dir);
    }
    return tasks;
}

// One field of /proc/self/task/TID/status ("SigBlk", "Cpus_allowed_list").
std::string taskStatus(const std::string& task, const std::string& field) {
    std::ifstream status("/proc/self/task/" + task + "/status");
    std::string line;
    const std::string key = field + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        const std::size_t value = line.find_first_not_of(" \t", key.size());
        return value == std::string::npos ? std::string() : line.substr(value);
    }
    return "";
}

// The threads started since `before` was listed.
std::vector<std::string> tasksSince(const std::vector<std::string>& before) {
    std::vector<std::string> added;
    for (const std::string& task : otherTasks())
        if (std::find(before.begin(), before.end(), task) == before.end()) added.push_back(task);
    return added;
}

TEST(FillWorkers, OneSetOfThreadsWritesPassAfterPassOfAnySize) {
    // The same threads for every pass; blocks of different sizes and
    // alignments, each written whole and nothing beside it.
    FillWorkers workers(3);
    ASSERT_EQ(workers.threadsStarted(), 2u);
    const std::vector<std::string> threads = otherTasks();
    for (int pass = 0; pass < 40; ++pass) {
        const SizeCase& c = kSizes[pass % std::size(kSizes)];
        std::vector<unsigned char> memory(c.bytes + 4 * kPage, 0xAA);
        const auto base = reinterpret_cast<std::uintptr_t>(memory.data());
        unsigned char* const start = memory.data() + ((base + kPage - 1) / kPage * kPage + kPage - base) + c.offset;
        const auto value = static_cast<unsigned char>(pass + 1);
        workers.fill(start, c.bytes, value);
        for (std::size_t i = 0; i < memory.size(); ++i) {
            const bool inside = memory.data() + i >= start && memory.data() + i < start + c.bytes;
            ASSERT_EQ(memory[i], inside ? value : 0xAA) << c.what << ", pass " << pass << ": byte " << i;
        }
    }
    EXPECT_EQ(otherTasks(), threads) << "no thread started or ended between passes";
}

// The passes of the second way timed are the fast ones; all others take
// ten times as long; the passes after the steps (in the way chosen) are
// fast too. Each read is counted, whichever thread reads.
std::atomic<std::uint64_t> clockReads{0};
std::uint64_t secondWayFast() {
    const std::uint64_t read = clockReads++;
    const int step = timedStepNumber(static_cast<int>(read / 2));
    const bool fast = step < 0 || calibrationStep(step).way == kCalibratedWays[1];
    return read / 2 * 1000 + (read % 2 == 0 ? 0 : fast ? 10 : 100);
}

TEST(FillWorkers, ALargeBlockSplitAcrossThreadsIsTimedWhole) {
    // Blocks timed from 1 MiB; this one is 3 MiB and a bit. The clock is
    // read at each timed pass's start and end only, by the caller: the pass
    // is as fast as its slowest part, so it is timed whole, not part by part.
    clockReads = 0;
    setStoreClockForTesting(&secondWayFast);
    constexpr std::uint64_t kBytes = (3ull << 20) + 5;
    std::vector<unsigned char> memory(kBytes + 2 * kPage, 0xAA);
    unsigned char* const start = memory.data() + kPage + 3;
    StorePlan plan = processStorePlan();
    plan.calibrateFrom = 1ull << 20;
    FillWorkers workers(3, plan);
    ASSERT_EQ(workers.threadsStarted(), 2u);
    const int passes = 1 + kCalibrationStepCount + 2;
    for (int pass = 1; pass <= passes; ++pass) {
        const auto value = static_cast<unsigned char>(pass);
        workers.fill(start, kBytes, value);
        const auto wrong = [&](unsigned char b) { return b != value; };
        ASSERT_EQ(std::find_if(start, start + kBytes, wrong), start + kBytes) << "pass " << pass;
        ASSERT_TRUE(std::all_of(memory.data(), start, [](unsigned char b) { return b == 0xAA; })) << pass;
        ASSERT_TRUE(std::all_of(start + kBytes, memory.data() + memory.size(),
                                [](unsigned char b) { return b == 0xAA; }))
            << pass;
    }
    StoreWay way;
    ASSERT_TRUE(calibratedWay(start, kBytes, way, 3));
    EXPECT_EQ(way, kCalibratedWays[1]);
    EXPECT_FALSE(calibratedWay(start, kBytes, way)) << "timed as one thread's block";
    EXPECT_EQ(clockReads.load(), 2u * (16 + 2)) << "two reads a timed pass: sixteen steps, two passes watched";
    setStoreClockForTesting(nullptr);
}

TEST(FillWorkers, ThreadsBlockTheStopSignalsAndEndWithTheirWorkers) {
    const std::vector<std::string> before = otherTasks();
    {
        FillWorkers workers(2);
        const std::vector<std::string> threads = tasksSince(before);
        ASSERT_EQ(threads.size(), 1u);
        // SigBlk is a hexadecimal mask, bit (n - 1) for signal n.
        const unsigned long long blocked = std::stoull(taskStatus(threads[0], "SigBlk"), nullptr, 16);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP})
            EXPECT_TRUE(blocked >> (signal - 1) & 1) << "signal " << signal << " reaches a worker";
        sigset_t mine;
        pthread_sigmask(SIG_SETMASK, nullptr, &mine);
        EXPECT_FALSE(sigismember(&mine, SIGTERM)) << "the caller's own mask is given back";
    }
    EXPECT_TRUE(tasksSince(before).empty()) << "the threads were joined";
}

// Not pinned: a helper pinned beside the unpinned caller shared its core
// for whole passes (parallel_fill.h).
TEST(FillWorkers, ThreadsMayRunOnEveryProcessorTheCallerMay) {
    const std::vector<int> cpus = allowedCpus();
    if (cpus.size() < 2) GTEST_SKIP() << "one processor: a pin could not be told apart";
    const std::vector<std::string> before = otherTasks();
    FillWorkers workers(3);
    const std::vector<std::string> threads = tasksSince(before);
    ASSERT_EQ(threads.size(), 2u);
    const std::string mine = taskStatus(std::to_string(gettid()), "Cpus_allowed_list");
    for (const std::string& thread : threads) EXPECT_EQ(taskStatus(thread, "Cpus_allowed_list"), mine) << thread;
}

TEST(FillWorkers, AutoCountFollowsTheAffinityOfTheCaller) {
    const std::vector<int> cpus = allowedCpus();
    ASSERT_FALSE(cpus.empty());
    EXPECT_EQ(autoWorkers(), autoWorkerCount(cpus.size(), cpuQuota()));
    // A thread of our own narrowed to one processor sees only that one.
    std::vector<int> seen;
    unsigned count = 0;
    std::thread narrowed([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpus[0], &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) return;
        seen = allowedCpus();
        count = autoWorkers();
    });
    narrowed.join();
    EXPECT_EQ(seen, std::vector<int>{cpus[0]});
    EXPECT_EQ(count, 1u);
}

TEST(FillWorkers, AutoCountIsTheSmallestOfProcessorsQuotaAndCap) {
    struct Case {
        const char* what;
        std::size_t cpus;
        double quota;
        unsigned expected;
    };
    const Case cases[] = {
        {"affinity alone", 2, 0, 2},
        {"a quota of one and a half processors", 4, 1.5, 1},
        {"a quota under one processor still runs one", 4, 0.25, 1},
        {"a quota above the processors", 2, 16, 2},
        {"the cap", 128, 0, kAutoWorkersCap},
        {"the system does not say", 0, 0, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(autoWorkerCount(c.cpus, c.quota), c.expected) << c.what;
}

TEST(FillWorkers, QuotaReadsBothCgroupVersions) {
    struct Case {
        const char* what;
        std::string cpuMax;
        double expected;
    };
    const Case v2[] = {
        {"no limit", "max 100000\n", 0},
        {"two processors", "200000 100000\n", 2},
        {"half of one", "50000 100000", 0.5},
        {"empty (not readable)", "", 0},
        {"garbage", "x y", 0},
    };
    for (const Case& c : v2) EXPECT_DOUBLE_EQ(cpuQuotaOfCpuMax(c.cpuMax), c.expected) << c.what;
    EXPECT_DOUBLE_EQ(cpuQuotaOfCfs("-1\n", "100000\n"), 0) << "v1 without a limit";
    EXPECT_DOUBLE_EQ(cpuQuotaOfCfs("150000\n", "100000\n"), 1.5);
    EXPECT_DOUBLE_EQ(cpuQuotaOfCfs("150000", ""), 0) << "no period";
}

TEST(FillWorkers, CgroupPathsComeFromTheirOwnLines) {
    const CgroupPaths hybrid = cgroupPathsOf(
        "9:name=systemd:/\n4:memory:/jobs/a\n2:cpu,cpuacct:/jobs/b\n1:cpuset:/\n0::/jobs/c\n");
    EXPECT_EQ(hybrid.unified, std::optional<std::string>("/jobs/c"));
    EXPECT_EQ(hybrid.cpu, std::optional<std::string>("/jobs/b")) << "cpu, not cpuset or cpuacct alone";
    const CgroupPaths v2 = cgroupPathsOf("0::/\n");
    EXPECT_EQ(v2.unified, std::optional<std::string>("/"));
    EXPECT_FALSE(v2.cpu.has_value());
    const CgroupPaths v1 = cgroupPathsOf("3:cpuacct:/x\n2:cpuset:/y\n");
    EXPECT_FALSE(v1.unified.has_value());
    EXPECT_FALSE(v1.cpu.has_value()) << "no hierarchy with the cpu controller";
}
}  // namespace
