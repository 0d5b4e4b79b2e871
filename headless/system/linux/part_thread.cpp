#include "headless/system/part_thread.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "headless/runs/parallel_fill.h"

struct PartThread {
    std::thread thread;
};

struct PartSignal {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned pending = 0;
};

namespace {

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return file ? text.str() : std::string();
}

// The lowest quota of `relative` and its ancestors under `mount`, with
// `read` giving a folder's quota (0: none).
template <typename Read>
double lowestUpTheTree(const std::string& mount, std::string relative, const Read& read) {
    double lowest = 0;
    for (;;) {
        const double quota = read(mount + relative);
        if (quota > 0 && (lowest == 0 || quota < lowest)) lowest = quota;
        if (relative.empty() || relative == "/") break;
        const std::size_t slash = relative.find_last_of('/');
        relative = slash == std::string::npos ? std::string() : relative.substr(0, slash);
    }
    return lowest;
}
}  // namespace

PartThread* startPartThread(void (*run)(void*), void* context) {
    // A new thread takes the mask of the thread that starts it: blocked here
    // around the start, so that no signal can reach it before it runs.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    PartThread* thread = nullptr;
    try {
        thread = new PartThread{std::thread(run, context)};
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

PartThread* startBackgroundThread(void (*run)(void*), void* context) { return startPartThread(run, context); }

void joinPartThread(PartThread* thread) {
    thread->thread.join();
    delete thread;
}

PartSignal* makePartSignal() { return new (std::nothrow) PartSignal; }

void setPartSignal(PartSignal* signal) {
    {
        std::lock_guard<std::mutex> lock(signal->mutex);
        ++signal->pending;
    }
    signal->changed.notify_one();
}

void waitPartSignal(PartSignal* signal) {
    std::unique_lock<std::mutex> lock(signal->mutex);
    signal->changed.wait(lock, [signal] { return signal->pending != 0; });
    --signal->pending;
}

void freePartSignal(PartSignal* signal) { delete signal; }

std::vector<int> allowedCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cpus;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    return cpus;
}

double cpuQuota() {
    const CgroupPaths paths = cgroupPathsOf(readFile("/proc/self/cgroup"));
    double lowest = 0;
    const auto keep = [&lowest](double quota) {
        if (quota > 0 && (lowest == 0 || quota < lowest)) lowest = quota;
    };
    if (paths.unified) {
        keep(lowestUpTheTree("/sys/fs/cgroup", *paths.unified,
                             [](const std::string& dir) { return cpuQuotaOfCpuMax(readFile(dir + "/cpu.max")); }));
    }
    if (paths.cpu) {
        // v1: the cpu controller's own mount, under one of its usual names.
        for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpuacct,cpu"}) {
            keep(lowestUpTheTree(mount, *paths.cpu, [](const std::string& dir) {
                return cpuQuotaOfCfs(readFile(dir + "/cpu.cfs_quota_us"), readFile(dir + "/cpu.cfs_period_us"));
            }));
        }
    }
    return lowest;
}
