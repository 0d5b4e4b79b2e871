// Native benchmarks of the portable code (Google Benchmark): the access-load
// pass against plain fills, on one thread, split across two and across as
// many as --workers auto takes, against the fills on as many threads; the
// allocation test's loop against its pauses; and the script reader against
// fgets and strtok. Names are
// figure/case/series; tools/bench.sh turns the JSON into the table.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "fills.h"
#include "limited_allocator.h"
#include "product_pass.h"
#include "headless/runs/parallel_fill.h"
#include "headless/system/block_allocator.h"
#include "load/access_load.h"
#include "load/allocation_steps.h"
#include "load/load_block.h"
#include "script/script_reader.h"
#include "thread_fills.h"

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;

// The general allocator, with a commit limit of our choosing so that the
// allocation test ends where we want it to.
class NativeAllocator final : public BlockAllocator {
public:
    explicit NativeAllocator(std::uint64_t limit) : limit_(limit) {}
    void* takeNormal(std::uint64_t bytes) override { return std::malloc(bytes); }
    void releaseNormal(void* block) override { std::free(block); }
    void* createHeap() override { return nullptr; }
    void* takeFromHeap(void*, std::uint64_t) override { return nullptr; }
    void destroyHeap(void*) override {}
    bool makeResident(void*, std::uint64_t) override { return true; }
    std::uint64_t commitLimit() override { return limit_; }

private:
    std::uint64_t limit_;
};

NativeAllocator& blockAllocator() {
    static NativeAllocator allocator(UINT64_MAX);
    return allocator;
}

// One resident block per size, shared by the pass and the fills so that all
// write the same pages.
LoadBlock& residentBlock(std::uint64_t bytes) {
    static std::map<std::uint64_t, LoadBlock> blocks;
    LoadBlock& load = blocks[bytes];
    if (!load.block) {
        if (allocateBlock(load, blockAllocator(), 0, bytes, PageTouch::Leave) != 0) std::abort();
        bench::fillRuntimeMemset(load.block, bytes, 0xEE);
    }
    return load;
}

// One entrant of a round: the product's pass or a plain fill, each writing
// the whole block with the value given.
struct Entrant {
    std::string name;
    std::function<void(LoadBlock&, AccessLoad&, unsigned char)> write;
};

// The pass as torvane-run runs it: on the calling thread, or split across
// `workers` threads (--workers N: the process's workers, started on the
// first pass and kept).
Entrant productPass(unsigned workers) {
    if (workers <= 1) {
        return {"product", [](LoadBlock& load, AccessLoad& access, unsigned char) {
                    accessLoadPass(load, access, load.block);
                }};
    }
    return {"product", [workers](LoadBlock& load, AccessLoad& access, unsigned char) {
                accessLoadIfHeld(load, access, fillWithWorkers(workers));
            }};
}

// The three plain fills on `threads` threads, each writing an equal share
// (thread_fills.h); on one thread, the fills themselves.
std::vector<Entrant> plainFills(unsigned threads) {
    static std::map<unsigned, std::unique_ptr<bench::ThreadTeam>> teams;
    std::unique_ptr<bench::ThreadTeam>& team = teams[threads];
    if (!team) team = std::make_unique<bench::ThreadTeam>(threads);
    bench::ThreadTeam* shared = team.get();
    std::vector<Entrant> fills;
    for (const bench::FillVariant& variant : bench::kFillBaselines) {
        char name[64];
        std::snprintf(name, sizeof name, threads > 1 ? "%s x%u" : "%s", variant.name, threads);
        const bench::Fill fill = variant.fill;
        fills.push_back({name, [shared, fill](LoadBlock& load, AccessLoad&, unsigned char value) {
                             shared->fill(fill, load.block, load.size, value);
                         }});
    }
    return fills;
}

// Each iteration is one round in which the pass and the four fills take
// turns over the same block (fills.h), so that drifts in the machine's load
// hit all alike. Each entrant's GB/s is a counter, so every repetition pairs
// the five. One instance per row and size, each with its own round count.
void passAgainstFills(benchmark::State& state, std::uint64_t bytes, unsigned workers) {
    LoadBlock& load = residentBlock(bytes);
    AccessLoad access;
    std::vector<Entrant> entrants = {productPass(workers)};
    for (Entrant& fill : plainFills(workers)) entrants.push_back(std::move(fill));
    constexpr int kEntrants = bench::kEntrants;
    if (entrants.size() != kEntrants) {
        state.SkipWithError("not five entrants");
        return;
    }
    const bench::SettledPass settled =
        bench::settleProductPass([&] { entrants[0].write(load, access, 0); }, load.block, bytes, workers);
    double seconds[kEntrants] = {};
    static int round = 0;  // across repetitions, so that the orders stay balanced
    int rounds = 0;
    for (auto _ : state) {
        for (int turn = 0; turn < kEntrants; ++turn) {
            const int entrant = bench::entrantAt(round, turn);
            const auto value = static_cast<unsigned char>(entrant == 0 ? access.fillByte
                                                                       : 100 + round * kEntrants + turn);
            const auto start = std::chrono::steady_clock::now();
            entrants[entrant].write(load, access, value);
            seconds[entrant] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (!bench::filledWith(load.block, bytes, value)) state.SkipWithError("a fill left bytes unwritten");
        }
        ++round;
        ++rounds;
    }
    const double gigabytes = static_cast<double>(bytes) * rounds / 1e9;
    for (int e = 0; e < kEntrants; ++e) state.counters["GB/s|" + entrants[e].name] = gigabytes / seconds[e];
    state.SetLabel(settled.label() + bench::laterProductWay(load.block, bytes, settled));
}

class QuietSteps final : public AllocationStepView {
public:
    void pause() override {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++pauses;
    }
    int pauses = 0;
};

double meanPauseSeconds() {
    constexpr int kSamples = 200;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kSamples; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kSamples;
}

// The product's step loop up to a 2 GiB limit, through torvane-run's Linux
// allocator; the floor is what its pauses alone cost, measured just before.
// Not malloc: glibc writes its chunk header into each mapped block, and that
// one first touch of a fresh page cost 60 us a step on this machine (mmap
// and munmap alone: 5 us), a quarter of the row.
void allocationTest(benchmark::State& state) {
    bench::LimitedAllocator limited(platformAllocator(), 2048 * kMiB);
    double floorSeconds = 0;
    int steps = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const double pause = meanPauseSeconds();
        QuietSteps view;
        LoadBlock load;
        int megabytes = 0;
        int held = 0;
        state.ResumeTiming();
        stepUntilRefused(load, limited, 0, megabytes, held, view);
        state.PauseTiming();
        if (megabytes != 2049 || view.pauses != 2048) state.SkipWithError("the loop did not stop at the limit");
        floorSeconds += pause * view.pauses;
        steps += megabytes;
        state.ResumeTiming();
    }
    state.counters["floor_s"] = benchmark::Counter(floorSeconds, benchmark::Counter::kAvgIterations);
    state.counters["steps"] = benchmark::Counter(steps, benchmark::Counter::kAvgIterations);
}

void readerLines(benchmark::State& state, std::string path) {
    std::int64_t lines = 0;
    for (auto _ : state) {
        ScriptReader reader(path.c_str());
        if (!reader.isOpen() || !reader.readMagicLine()) {
            state.SkipWithError("script not readable");
            break;
        }
        ScriptLine line;
        while (reader.readLine(line)) {
            benchmark::DoNotOptimize(line.keyword);
            benchmark::DoNotOptimize(line.argument);
            ++lines;
        }
    }
    state.SetItemsProcessed(lines);
}

// The plain way: text-mode stdio, a 1,024-byte buffer and strtok.
void fgetsLines(benchmark::State& state, std::string path) {
    std::int64_t lines = 0;
    char buffer[1024];
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "r");
        if (!file || !std::fgets(buffer, 256, file)) {
            state.SkipWithError("script not readable");
            if (file) std::fclose(file);
            break;
        }
        while (std::fgets(buffer, sizeof buffer, file)) {
            const char* keyword = std::strtok(buffer, " ");
            const char* argument = keyword ? std::strtok(nullptr, " ") : nullptr;
            benchmark::DoNotOptimize(keyword);
            benchmark::DoNotOptimize(argument);
            ++lines;
        }
        std::fclose(file);
    }
    state.SetItemsProcessed(lines);
}

// Takes --script=PATH (the reader's input) out of argv before Google
// Benchmark sees it.
std::string takeOption(int& argc, char** argv, const char* prefix) {
    std::string value;
    const std::size_t length = std::strlen(prefix);
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strncmp(argv[i], prefix, length) == 0) {
            value = argv[i] + length;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string script = takeOption(argc, argv, "--script=");
    const int repetitions = 5;
    constexpr int kFillRepetitions = 60;

    // Rounds per repetition: about a quarter of a second or more each, and
    // every order of turns (fills.h) comes as often over the repetitions.
    // 60 repetitions: with 20, a row's paired ratios spread by 0.08 (middle
    // half, 256 MiB) and two runs' medians moved by up to 5 % on noise alone,
    // which the store rows' agreement goal cannot tell from a change; the
    // nine rows take about 2.5 min. The rows: one thread, --workers 2 and
    // --workers auto, each against the plain fills on as many threads.
    const unsigned automatic = autoWorkers();
    for (auto [megabytes, rounds] : {std::pair{64ull, 10}, std::pair{256ull, 5}, std::pair{1024ull, 2}}) {
        const std::string size = std::to_string(megabytes) + "MiB";
        const std::pair<std::string, unsigned> rows[] = {
            {"fill.native", 1u}, {"fill2.native", 2u}, {"fillauto.native", automatic}};
        for (const auto& [figure, workers] : rows) {
            const std::string name = figure + "/" + size + "/rounds";
            benchmark::RegisterBenchmark(name.c_str(), passAgainstFills, megabytes * kMiB, workers)
                ->Iterations(rounds)->Repetitions(kFillRepetitions)->UseRealTime();
        }
    }
    benchmark::RegisterBenchmark("alloctest.native/2GiB normal/product", allocationTest)
        ->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
    if (!script.empty()) {
        benchmark::RegisterBenchmark("reader/lines/product", readerLines, script)
            ->MinTime(0.5)->Repetitions(repetitions)->UseRealTime();
        benchmark::RegisterBenchmark("reader/lines/fgets-strtok", fgetsLines, script)
            ->MinTime(0.5)->Repetitions(repetitions)->UseRealTime();
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
