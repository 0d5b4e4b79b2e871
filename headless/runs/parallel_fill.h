// --workers N: one access-load pass written by N threads. One thread writes
// at most what one core can push (23.5 GB/s over a 1 GiB block natively,
// bench/results.md); a machine's memory bus takes more than one core's worth.
// The threads are started once and woken for each pass; they come from
// part_thread.h. Portable.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "load/block_store.h"

// Where each worker's part of [address, address + bytes) ends: `workers`
// contiguous parts of near-equal size, every boundary between two parts on a
// 4 KiB page boundary of the address space, so on a cache-line boundary too
// (a page is written by one thread only: no two threads fault in or share
// the cache lines of one page). The last end is address + bytes; parts may
// be empty when the block has fewer pages than workers. workers 0 counts
// as 1.
std::vector<std::uintptr_t> fillPartEnds(std::uintptr_t address, std::uint64_t bytes, unsigned workers);

// N - 1 threads started at construction and the calling thread, writing one
// pass together: fill() wakes each thread with its part, writes the first
// part itself and returns once every part is written. Each part is stored
// the way its whole block's size class takes (load/block_store.h). A thread
// the system will not start has its part written by the calling thread.
// The threads wait between passes with every signal blocked (Linux), so the
// stop signals still interrupt the main thread's waits, and they take no
// lock a forked child could need: commands are started between passes with
// async-signal-safe calls after fork. No thread is pinned to a processor:
// the caller cannot be (a command it starts would inherit the pin), and a
// helper pinned beside it ran whole passes on one core under Wine: the
// caller, woken by the helper's signal, can be placed on the helper's core,
// and the pinned helper cannot then move to the idle one (bench 64 MiB,
// --workers 2, runs of four rows of 40 repetitions: in three pinned runs of
// four, a row with 26 to 32 at one core's rate; in five unpinned runs, at
// most 7 in any row; natively no difference beyond the rows' noise). One
// caller at a time.
class FillWorkers {
public:
    // `plan`: the store classes; tests give thresholds of their own.
    explicit FillWorkers(unsigned workers, const StorePlan& plan = processStorePlan());
    ~FillWorkers();
    FillWorkers(const FillWorkers&) = delete;
    FillWorkers& operator=(const FillWorkers&) = delete;

    unsigned workers() const { return workers_; }
    // Threads running beside the caller (workers() - 1 unless the system
    // refused some).
    unsigned threadsStarted() const;
    void fill(unsigned char* start, std::uint64_t bytes, unsigned char value);

    struct Worker;

private:
    unsigned workers_;
    StorePlan plan_;
    std::vector<std::unique_ptr<Worker>> helpers_;  // parts 1 .. workers - 1
};

// Writes `value` over [start, start + bytes) with the process's workers for
// `workers`, started on first use and kept for later passes (a different
// count replaces them). workers <= 1: a plain fillBlock on this thread.
// For the program's one thread.
void fillInParts(unsigned char* start, std::uint64_t bytes, unsigned char value, unsigned workers);

// The access load's fill for --workers N: fillInParts with N.
inline auto fillWithWorkers(unsigned workers) {
    return [workers](unsigned char* start, std::uint64_t bytes, unsigned char value) {
        fillInParts(start, bytes, value, workers);
    };
}

// --workers auto: the processors the run may use (its affinity mask, and the
// control group's CPU quota, whole processors, rounded down), at most
// kAutoWorkersCap, at least 1.
unsigned autoWorkerCount(std::size_t allowedCpus, double cpuQuota);
// The same for this process (part_thread.h).
unsigned autoWorkers();

// The bench machine (2 cores, bench/notes-store.md) has one worker write 19
// to 26 GB/s over 1 GiB and two 1.38 to 1.41 times that at 256 MiB and
// 1 GiB (1.02 at 64 MiB): past a core or two the memory, not the threads,
// limits. Counts above 2 are not measured there; 8 is a judgment that keeps a
// desktop's 2 to 4 memory channels busy without a thread a core on a large
// machine. A bench row of a larger machine should set it.
constexpr unsigned kAutoWorkersCap = 8;

// A cgroup v2 cpu.max ("max 100000", "150000 100000"): the processors it
// allows, 0 for no limit or text that is not one.
double cpuQuotaOfCpuMax(const std::string& text);
// A cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us ("-1": no limit).
double cpuQuotaOfCfs(const std::string& quota, const std::string& period);

// The process's groups from /proc/self/cgroup: the v2 path ("0::PATH") and
// the path under the v1 hierarchy whose controllers include cpu.
struct CgroupPaths {
    std::optional<std::string> unified;
    std::optional<std::string> cpu;
};
CgroupPaths cgroupPathsOf(const std::string& procSelfCgroup);
