// --lock, --huge and --content end to end: what the kernel says of the held
// pages (VmLck, AnonHugePages, the bytes themselves), and the refusals that
// come before anything is taken.
#include <fcntl.h>
#include <sys/resource.h>
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

#include "child_process.h"
#include "json_output.h"
#include "run_output.h"

namespace {
constexpr std::size_t kPage = 4096;

// A field of a /proc text in KiB, or -1.
long kibOf(const std::string& path, const std::string& field) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

// The start of the process's one read-write mapping of exactly `bytes`: a
// held block (an arena the C library reserves is mostly inaccessible).
std::uintptr_t blockOf(pid_t pid, std::uintptr_t bytes) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t start = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3) continue;
        if (end - start == bytes && std::string(perms).rfind("rw", 0) == 0) return start;
    }
    return 0;
}

// `pages` pages of another process's memory, through /proc/PID/mem.
std::vector<unsigned char> pagesOf(pid_t pid, std::uintptr_t start, std::size_t pages) {
    std::vector<unsigned char> bytes(pages * kPage);
    const int fd = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    const ssize_t got = pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(start));
    close(fd);
    if (got != static_cast<ssize_t>(bytes.size())) return {};
    return bytes;
}

// The largest compression ratio of a page alone (zlib level 6), and the
// ratio of all the pages so compressed.
std::pair<double, double> pageRatios(const std::vector<unsigned char>& bytes) {
    std::vector<unsigned char> out(compressBound(kPage));
    double largest = 0, total = 0;
    const std::size_t pages = bytes.size() / kPage;
    for (std::size_t i = 0; i < pages; ++i) {
        uLongf length = static_cast<uLongf>(out.size());
        compress2(out.data(), &length, bytes.data() + i * kPage, kPage, 6);
        largest = std::max(largest, static_cast<double>(kPage) / length);
        total += length;
    }
    return {largest, static_cast<double>(pages * kPage) / total};
}

// Whether this process has capability `bit` in effect (CapEff).
bool hasCapability(unsigned bit) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("CapEff:", 0) == 0) return (std::strtoull(line.c_str() + 7, nullptr, 16) >> bit) & 1u;
    }
    return false;
}

// Reads the child's output until `needle` has come `count` times; false when
// the deadline passes first.
bool waitForLines(Child& child, const std::string& needle, int count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int seen = 0;
        for (std::size_t at = child.out.find(needle); at != std::string::npos; at = child.out.find(needle, at + 1))
            ++seen;
        if (seen >= count) return true;
        child.waitForOutput("\x01 never printed", 50);  // reads what came, for at most 50 ms
    }
    return false;
}

// Locked pages show in VmLck as the hold; without CAP_IPC_LOCK the soft
// limit bounds them, and a hold past it is refused before it takes a page.
TEST(HeldPages, LocksTheHoldWithinTheLimitOrRefusesFirst) {
    // A lower limit is always allowed; the capability is dropped where the
    // test has it (dropping it from the bounding set needs CAP_SETPCAP).
    constexpr unsigned kSetPcap = 8, kIpcLock = 14;
    const bool ipcLock = hasCapability(kIpcLock);
    if (ipcLock && !hasCapability(kSetPcap)) GTEST_SKIP() << "CAP_IPC_LOCK cannot be dropped here";
    std::vector<std::string> limited{"prlimit", "--memlock=4194304:4194304"};
    if (ipcLock) {
        for (const char* arg : {"setpriv", "--inh-caps=-ipc_lock", "--bounding-set=-ipc_lock"}) limited.push_back(arg);
    }
    rlimit memlock{};
    getrlimit(RLIMIT_MEMLOCK, &memlock);
    const bool mayLock64M = ipcLock || memlock.rlim_cur == RLIM_INFINITY || memlock.rlim_cur >= (64u << 20);
    const struct {
        const char* what;
        std::vector<std::string> prefix;
        const char* size;
        long lockedKiB;  // -1: refused
    } cases[] = {
        {"as run", {}, "64M", 64 * 1024},
        {"limited, fits", limited, "2M", 2 * 1024},
        {"limited, too big", limited, "64M", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Past this process's own limit the limited rows still run.
        if (c.prefix.empty() && !mayLock64M) continue;
        ChildSetup setup{{"--hold", c.size, "--lock", "--for", "60s"}};
        setup.prefix = c.prefix;
        Child child(setup);
        if (c.lockedKiB < 0) {
            EXPECT_EQ(child.finish(), 1);
            EXPECT_NE(child.err.find("--lock: 64.0MiB cannot be locked: 0.0MiB is locked already and the soft "
                                     "RLIMIT_MEMLOCK is 4.0MiB (hard 4.0MiB)"),
                      std::string::npos)
                << child.err;
            EXPECT_NE(child.err.find("IPC_LOCK"), std::string::npos);
            EXPECT_EQ(child.out.find("hold     taking"), std::string::npos) << "taken before the refusal";
            continue;
        }
        ASSERT_TRUE(child.waitForOutput("hold     reached", 30000)) << child.err;
        EXPECT_EQ(procStatusKiB(child.pid(), "VmLck"), c.lockedKiB);
        kill(child.pid(), SIGTERM);
        EXPECT_EQ(child.finish(), 143);
    }
}

// The huge pages said are the kernel's count, not the size asked for.
TEST(HeldPages, SaysHowMuchTheSystemMadeHuge) {
    const std::string enabled = [] {
        std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    if (enabled.empty()) GTEST_SKIP() << "no transparent huge pages in this kernel";
    Child child(ChildSetup{{"--hold", "64M", "--huge", "--json", "--sample", "100ms", "--for", "60s"}});
    if (enabled.find("[never]") != std::string::npos) {
        EXPECT_EQ(child.finish(), 1);
        EXPECT_NE(child.out.find("transparent huge pages are off on this machine"), std::string::npos) << child.out;
        return;
    }
    ASSERT_TRUE(child.waitForOutput("\"event\":\"sample\"", 30000)) << child.err;
    const long kernelKiB = kibOf("/proc/" + std::to_string(child.pid()) + "/smaps_rollup", "AnonHugePages");
    kill(child.pid(), SIGTERM);
    EXPECT_EQ(child.finish(), 143);
    const std::vector<nlohmann::json> lines = jsonEvents(child.out);
    const std::vector<nlohmann::json> reached = ofEvent(lines, "hold-reached");
    ASSERT_FALSE(reached.empty());
    const nlohmann::json& last = reached.back();
    ASSERT_TRUE(last.contains("huge")) << last.dump();
    const std::uint64_t said = last["huge"];
    EXPECT_NE(last["text"].get<std::string>().find(" of it in huge pages"), std::string::npos);
    // Nothing else of the process is advised huge: the two counts agree.
    EXPECT_EQ(said, static_cast<std::uint64_t>(kernelKiB) * 1024);
    for (const nlohmann::json& sample : ofEvent(lines, "sample")) EXPECT_TRUE(sample.contains("huge"));
}

// The hugetlb pool: a hold it cannot give is refused before anything is
// taken, against the pool and not the memory room; where a pool exists,
// its pages are held and counted.
TEST(HeldPages, TakesTheHugetlbPoolOrRefusesFirst) {
    const long freePages = kibOf("/proc/meminfo", "HugePages_Free");
    const long pageKiB = kibOf("/proc/meminfo", "Hugepagesize");
    if (pageKiB <= 0) GTEST_SKIP() << "no hugetlb pages in this kernel";
    if (freePages < 2) {
        const RunResult r = runToEnd(ChildSetup{{"--hold", "64M", "--huge=hugetlb"}});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("--huge=hugetlb: 64.0MiB does not fit the hugetlb pool: " + std::to_string(freePages) +
                             " of its"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("HugePages_Free"), std::string::npos);
        EXPECT_EQ(r.out.find("hold     taking"), std::string::npos);
        return;
    }
    const std::string size = std::to_string(2 * pageKiB) + "K";
    Child child(ChildSetup{{"--hold", size, "--huge=hugetlb", "--json", "--for", "60s"}});
    ASSERT_TRUE(child.waitForOutput("\"code\":\"hold-reached\"", 30000)) << child.err;
    kill(child.pid(), SIGTERM);
    EXPECT_EQ(child.finish(), 143);
    const std::vector<nlohmann::json> holds = ofEvent(jsonEvents(child.out), "hold-reached");
    ASSERT_FALSE(holds.empty());
    EXPECT_EQ(holds.back()["huge"].get<std::uint64_t>(), static_cast<std::uint64_t>(2 * pageKiB) * 1024);
}

// The held bytes themselves, read from the running process and compressed
// page by page as zram does: each content keeps its character through the
// access load's passes.
TEST(HeldPages, HoldsTheContentAskedThroughTheAccessLoad) {
    const struct {
        const char* content;
        double largestAtMost, meanFrom, meanTo;
    } cases[] = {
        {"random", 1 / 0.99, 0.99, 1 / 0.99},  // every page at least 0.99 of its size
        {"compressible:4", 1e9, 3.2, 4.8},      // 4:1 within 20 %
        {"zero", 1e9, 100, 1e9},
        {"fill", 1e9, 100, 1e9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        Child child(ChildSetup{{"--hold", "64M", "--content", c.content, "-a", "--sample", "100ms", "--for", "60s"}});
        ASSERT_TRUE(child.waitForOutput("hold     reached", 30000)) << child.err;
        // Passes after the take: a tick samples before its pass, so by the
        // second sample at least one pass has rewritten the block.
        ASSERT_TRUE(waitForLines(child, "  sample   ", 2, 30000)) << child.out;
        const std::uintptr_t block = blockOf(child.pid(), 64u << 20);
        ASSERT_NE(block, 0u);
        const std::vector<unsigned char> bytes = pagesOf(child.pid(), block, 256);
        ASSERT_FALSE(bytes.empty()) << "cannot read the block";
        kill(child.pid(), SIGTERM);
        EXPECT_EQ(child.finish(), 143);
        const auto [largest, mean] = pageRatios(bytes);
        EXPECT_LE(largest, c.largestAtMost);
        EXPECT_GE(mean, c.meanFrom);
        EXPECT_LE(mean, c.meanTo);
        const bool allZero = std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b == 0; });
        EXPECT_EQ(allZero, std::string(c.content) == "zero") << "fill writes its byte, zero writes zeros";
    }
}
}  // namespace
