#include "headless/runs/parallel_fill.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "headless/system/part_thread.h"
#include "load/access_load.h"
#include "load/block_store.h"

namespace {
constexpr std::uintptr_t kPage = 4096;
}  // namespace

// One helper thread and the part it writes next. The caller sets the part,
// then `go`; the thread writes it, then sets `done`. The signals order the
// fields between the two threads.
struct FillWorkers::Worker {
    PartThread* thread = nullptr;
    PartSignal* go = nullptr;
    PartSignal* done = nullptr;
    unsigned char* start = nullptr;
    std::uint64_t bytes = 0;
    StoreWay way = StoreWay::Memset;  // the whole block's, for this pass
    unsigned char value = 0;
    bool quit = false;

    static void run(void* context) {
        Worker& worker = *static_cast<Worker*>(context);
        for (;;) {
            waitPartSignal(worker.go);
            if (worker.quit) return;
            storeWith(worker.way, worker.start, worker.bytes, worker.value);
            setPartSignal(worker.done);
        }
    }
};

std::vector<std::uintptr_t> fillPartEnds(std::uintptr_t address, std::uint64_t bytes, unsigned workers) {
    if (workers == 0) workers = 1;
    const std::uintptr_t end = address + static_cast<std::uintptr_t>(bytes);
    std::vector<std::uintptr_t> ends;
    ends.reserve(workers);
    for (unsigned k = 1; k < workers; ++k) {
        // The even split point, then up to the next page; `bytes / workers * k`
        // and the remainder's share keep the product within 64 bits.
        const std::uint64_t offset = bytes / workers * k + bytes % workers * k / workers;
        std::uintptr_t boundary = address + static_cast<std::uintptr_t>(offset);
        boundary = (boundary + kPage - 1) / kPage * kPage;
        if (boundary > end) boundary = end;
        ends.push_back(boundary);
    }
    ends.push_back(end);
    return ends;
}

FillWorkers::FillWorkers(unsigned workers, const StorePlan& plan) : workers_(workers == 0 ? 1 : workers), plan_(plan) {
    for (unsigned k = 1; k < workers_; ++k) {
        auto worker = std::make_unique<Worker>();
        worker->go = makePartSignal();
        worker->done = makePartSignal();
        if (worker->go && worker->done) worker->thread = startPartThread(&Worker::run, worker.get());
        helpers_.push_back(std::move(worker));
    }
}

FillWorkers::~FillWorkers() {
    for (auto& worker : helpers_) {
        if (worker->thread) {
            worker->quit = true;
            setPartSignal(worker->go);
            joinPartThread(worker->thread);
        }
        if (worker->go) freePartSignal(worker->go);
        if (worker->done) freePartSignal(worker->done);
    }
}

unsigned FillWorkers::threadsStarted() const {
    unsigned started = 0;
    for (const auto& worker : helpers_) started += worker->thread != nullptr;
    return started;
}

void FillWorkers::fill(unsigned char* start, std::uint64_t bytes, unsigned char value) {
    if (helpers_.empty()) {
        storeBlock(plan_, start, bytes, value);
        return;
    }
    // One way for every part, and a timed pass timed whole, to the last
    // part's end: the pass is as fast as its slowest part. Timed for this
    // many parts, not as one thread's block.
    const StorePass pass = beginStorePass(plan_, start, bytes, workers_);
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    const std::vector<std::uintptr_t> ends = fillPartEnds(address, bytes, workers_);
    std::vector<Worker*> woken;
    woken.reserve(helpers_.size());
    for (std::size_t k = 1; k < ends.size(); ++k) {
        Worker& worker = *helpers_[k - 1];
        unsigned char* const from = start + (ends[k - 1] - address);
        const std::uint64_t length = ends[k] - ends[k - 1];
        if (length == 0) continue;
        if (worker.thread == nullptr) {
            storeWith(pass.way, from, length, value);
            continue;
        }
        worker.start = from;
        worker.bytes = length;
        worker.way = pass.way;
        worker.value = value;
        setPartSignal(worker.go);
        woken.push_back(&worker);
    }
    storeWith(pass.way, start, ends[0] - address, value);
    for (Worker* worker : woken) waitPartSignal(worker->done);
    endStorePass(start, bytes, pass);
}

void fillInParts(unsigned char* start, std::uint64_t bytes, unsigned char value, unsigned workers) {
    if (workers <= 1) {
        fillBlock(start, bytes, value);
        return;
    }
    // Kept until the process ends; its destructor then stops and joins the
    // threads, idle between passes.
    static std::unique_ptr<FillWorkers> shared;
    if (!shared || shared->workers() != workers) {
        shared.reset();
        shared = std::make_unique<FillWorkers>(workers);
    }
    shared->fill(start, bytes, value);
}

unsigned autoWorkerCount(std::size_t allowedCpus, double cpuQuota) {
    std::size_t count = allowedCpus == 0 ? 1 : allowedCpus;
    if (cpuQuota > 0) {
        const auto whole = static_cast<std::size_t>(std::floor(cpuQuota));
        if (whole < count) count = whole;
    }
    if (count > kAutoWorkersCap) count = kAutoWorkersCap;
    return count == 0 ? 1 : static_cast<unsigned>(count);
}

unsigned autoWorkers() { return autoWorkerCount(allowedCpus().size(), cpuQuota()); }

double cpuQuotaOfCpuMax(const std::string& text) {
    std::istringstream fields(text);
    std::string quota, period;
    if (!(fields >> quota >> period) || quota == "max") return 0;
    return cpuQuotaOfCfs(quota, period);
}

double cpuQuotaOfCfs(const std::string& quota, const std::string& period) {
    char* end = nullptr;
    const long long q = std::strtoll(quota.c_str(), &end, 10);
    if (end == quota.c_str() || q <= 0) return 0;
    const long long p = std::strtoll(period.c_str(), &end, 10);
    if (end == period.c_str() || p <= 0) return 0;
    return static_cast<double>(q) / static_cast<double>(p);
}

CgroupPaths cgroupPathsOf(const std::string& procSelfCgroup) {
    CgroupPaths paths;
    std::istringstream lines(procSelfCgroup);
    std::string line;
    while (std::getline(lines, line)) {
        // hierarchy-ID:controller-list:path
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string hierarchy = line.substr(0, first);
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (hierarchy == "0" && controllers.empty()) {
            paths.unified = path;
            continue;
        }
        std::istringstream names(controllers);
        std::string name;
        while (std::getline(names, name, ','))
            if (name == "cpu") paths.cpu = path;
    }
    return paths;
}
