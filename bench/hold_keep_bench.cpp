// torvane-run's --hold and --keep-available, driven from outside as a user
// would, against baselines measured in the same run. Prints
// BENCH <figure> <case> <series> <value> <unit> and NOTE <figure> <text>
// records for tools/bench.sh.
//
//   bench_hold_keep TORVANE_RUN [HOLD_REPETITIONS [KEEP_CYCLES [STILL_SECONDS]]]
//   bench_hold_keep --wine TORVANE_RUN_EXE ROOM_SAMPLER_EXE [KEEP_CYCLES [STILL_SECONDS]]
//
// hold.take: from starting `torvane-run --hold SIZE` to its "hold reached"
// line, against a process of ours started the same way that makes as much
// fresh memory resident the fastest ways Linux offers and says so.
// keep.settle, keep.spread: `torvane-run --keep-available 512M --interval
// 250ms` in a throwaway memory cgroup with a competitor of ours that takes
// 300 MiB resident and frees it; the group's room (limit − usage) is read
// every 10 ms. Needs root; without it a NOTE says the rows were skipped.
// With --wine: the same against the machine's room under Wine, kept 1 GiB
// below where it starts, read by a Windows sampler as the keeper reads it,
// and how late that figure shows a step the keeper did not make.
//
// Every process started here is ended by its PID within a deadline.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <climits>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/headless/throwaway_group.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older C libraries lack the name
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;

double secondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

void record(const char* figure, const std::string& what, const std::string& series, double value,
            const char* unit) {
    std::printf("BENCH\t%s\t%s\t%s\t%.9g\t%s\n", figure, what.c_str(), series.c_str(), value, unit);
    std::fflush(stdout);
}

void note(const char* figure, const std::string& text) {
    std::printf("NOTE\t%s\t%s\n", figure, text.c_str());
    std::fflush(stdout);
}

// ---- child modes ----------------------------------------------------------

// The baselines' processes: make `megabytes` of fresh memory resident one
// way, say "taken", check every page with mincore and say "resident" or not,
// then wait to be ended.
int takeChild(const std::string& method, std::uint64_t megabytes) {
    const std::uint64_t bytes = megabytes * kMiB;
    const char started[] = "started\n";
    if (write(1, started, sizeof started - 1) < 0) return 5;
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    if (method == "mmap+MAP_POPULATE") flags |= MAP_POPULATE;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (p == MAP_FAILED) return 2;
    if (method == "mmap+MADV_POPULATE_WRITE" && madvise(p, bytes, MADV_POPULATE_WRITE) != 0) return 3;
    if (method == "mmap+mlock") {
        if (mlock(p, bytes) != 0) return 4;
        munlock(p, bytes);
    }
    const char taken[] = "taken\n";
    if (write(1, taken, sizeof taken - 1) < 0) return 5;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> present(bytes / page);
    bool resident = mincore(p, bytes, present.data()) == 0;
    for (unsigned char c : present) resident = resident && (c & 1);
    const char* answer = resident ? "resident\n" : "not resident\n";
    if (write(1, answer, std::strlen(answer)) < 0) return 5;
    for (;;) pause();
}

// The keeper's competitor: reads "take" and "free" lines on stdin; answers
// "taken SECONDS" once `megabytes` are resident, "freed SECONDS" once they
// are unmapped at once. Ends at the end of its input.
//
// The take is paced, 64 MiB every 1/16 s: taken faster than the keeper's
// 512 MiB room refills between two readings (250 ms), the group reaches its
// limit and the kernel kills one of the two; with the group's OOM killer
// off, every process of it stalls at its next charge, the keeper too (its
// next reading came 30 s later, when the competitor was ended).
int competeChild(std::uint64_t megabytes) {
    constexpr std::uint64_t kStep = 64 * kMiB;
    const std::uint64_t bytes = megabytes * kMiB;
    void* block = nullptr;
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        const auto start = Clock::now();
        if (std::strncmp(line, "take", 4) == 0 && !block) {
            void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            bool good = p != MAP_FAILED;
            for (std::uint64_t done = 0; good && done < bytes; done += kStep) {
                std::this_thread::sleep_until(start + std::chrono::microseconds(done / kStep * 62500));
                good = madvise(static_cast<char*>(p) + done, std::min(kStep, bytes - done), MADV_POPULATE_WRITE) == 0;
            }
            if (!good) {
                std::printf("failed %s\n", std::strerror(errno));
                std::fflush(stdout);
                if (p != MAP_FAILED) munmap(p, bytes);
                continue;
            }
            block = p;
            std::printf("taken %.6f\n", secondsBetween(start, Clock::now()));
        } else if (std::strncmp(line, "free", 4) == 0 && block) {
            munmap(block, bytes);
            block = nullptr;
            std::printf("freed %.6f\n", secondsBetween(start, Clock::now()));
        } else {
            std::printf("failed unexpected %s", line);
        }
        std::fflush(stdout);
    }
    return 0;
}

// ---- processes ------------------------------------------------------------

// A process of ours: its stdout in a pipe read line by line (or to a file),
// optionally its stdin from a pipe, optionally in a cgroup before it runs.
class Process {
public:
    Process(const std::vector<std::string>& args, const std::string& cgroupProcs = "",
            const std::string& outputFile = "", bool withInput = false) {
        int out[2] = {-1, -1}, in[2] = {-1, -1};
        if (outputFile.empty() && pipe2(out, O_CLOEXEC) != 0) return;
        if (withInput && pipe2(in, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            if (!cgroupProcs.empty()) {
                const int procs = open(cgroupProcs.c_str(), O_WRONLY);
                if (procs < 0 || write(procs, "0", 1) != 1) _exit(126);
                close(procs);
            }
            if (outputFile.empty()) {
                dup2(out[1], 1);
            } else {
                const int file = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                if (file < 0) _exit(126);
                dup2(file, 1);
            }
            if (withInput) dup2(in[0], 0);
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, 2);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (outputFile.empty()) {
            close(out[1]);
            out_ = out[0];
        }
        if (withInput) {
            close(in[0]);
            in_ = in[1];
        }
    }

    ~Process() { end(); }

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The next line holding `text`, or "" when the deadline passes or the
    // output ends first.
    std::string waitForLine(const std::string& text, int deadlineMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(deadlineMs);
        for (;;) {
            for (std::size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                if (line.find(text) != std::string::npos) return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (out_ < 0 || left <= 0) return "";
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[4096];
            const ssize_t got = read(out_, chunk, sizeof chunk);
            if (got <= 0) {
                close(out_);
                out_ = -1;
                return "";
            }
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }

    bool outputOpen() const { return out_ >= 0; }

    // The last whole line holding `text` that has come by now, without
    // waiting; the one before when nothing new has; "" when none has yet.
    std::string latestLine(const std::string& text) {
        for (pollfd p{out_, POLLIN, 0}; out_ >= 0 && poll(&p, 1, 0) > 0;) {
            char chunk[4096];
            const ssize_t got = read(out_, chunk, sizeof chunk);
            if (got <= 0) {
                close(out_);
                out_ = -1;
                break;
            }
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
        for (std::size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
            if (nl >= text.size() && buffer_.compare(0, text.size(), text) == 0) {
                latest_ = buffer_.substr(0, nl);
            }
            buffer_.erase(0, nl + 1);
        }
        return latest_;
    }

    bool send(const std::string& line) {
        return in_ >= 0 && write(in_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    }

    // SIGTERM by PID, SIGKILL by PID if it is still there after 5 s.
    void end() {
        if (in_ >= 0) close(in_);
        in_ = -1;
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            const auto deadline = Clock::now() + std::chrono::seconds(5);
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                if (Clock::now() >= deadline) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, &status, 0);
                    break;
                }
                usleep(2000);
            }
            pid_ = -1;
        }
        if (out_ >= 0) close(out_);
        out_ = -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1, in_ = -1;
    std::string buffer_, latest_;
};

long long vmRssBytes(pid_t pid) {
    const std::string status = fileText("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + 6) * 1024;
}

// ---- hold.take --------------------------------------------------------------

const char* const kTakeBaselines[] = {"mmap+MADV_POPULATE_WRITE", "mmap+MAP_POPULATE", "mmap+mlock"};
constexpr int kTakeEntrants = 1 + static_cast<int>(sizeof kTakeBaselines / sizeof *kTakeBaselines);

// Seconds from the start of the process to its line saying the memory is
// resident, or a negative figure (with a note) when it did not get there or
// is not resident.
// `startup`: seconds to the process's first line, before its take began.
double timedTake(const std::string& self, const std::string& torvaneRun, int entrant, std::uint64_t megabytes,
                 double& ownFigure, double& startup) {
    const char* figure = "hold.take";
    const std::string size = std::to_string(megabytes);
    const auto start = Clock::now();
    if (entrant == 0) {
        Process hold({torvaneRun, "--hold", size + "M"});
        if (!hold.waitForLine("hold     taking", 60000).empty()) startup = secondsBetween(start, Clock::now());
        const std::string line = hold.waitForLine("hold     reached", 60000);
        const double seconds = secondsBetween(start, Clock::now());
        if (line.empty()) {
            note(figure, "torvane-run --hold " + size + "M did not say it reached its size within 60 s");
            return -1;
        }
        const long long rss = vmRssBytes(hold.pid());
        if (rss < static_cast<long long>(megabytes * kMiB)) {
            note(figure, "torvane-run --hold " + size + "M said it reached its size with " +
                             std::to_string(rss / 1024) + " KiB resident");
            return -1;
        }
        const std::size_t in = line.rfind(" in ");
        ownFigure = in == std::string::npos ? -1 : std::atof(line.c_str() + in + 4);
        return seconds;
    }
    const char* method = kTakeBaselines[entrant - 1];
    Process child({self, "--take", method, size});
    if (!child.waitForLine("started", 60000).empty()) startup = secondsBetween(start, Clock::now());
    const bool taken = !child.waitForLine("taken", 60000).empty();
    const double seconds = secondsBetween(start, Clock::now());
    const std::string residency = taken ? child.waitForLine("resident", 60000) : "";
    if (!taken || residency != "resident") {
        note(figure, std::string(method) + (taken ? ": leaves pages not resident; not a baseline"
                                                  : ": not available here"));
        return -1;
    }
    return seconds;
}

void holdTake(const std::string& self, const std::string& torvaneRun, std::uint64_t megabytes, int repetitions) {
    const std::string what = std::to_string(megabytes) + "MiB";
    const double gigabytes = static_cast<double>(megabytes * kMiB) / 1e9;
    std::vector<std::vector<double>> rates(kTakeEntrants);
    std::vector<double> own, productStart, baselineStart;
    std::vector<bool> usable(kTakeEntrants, true);
    for (int rep = 0; rep < repetitions; ++rep) {
        // Who goes first turns with each repetition, against drifts in the
        // machine's load.
        for (int turn = 0; turn < kTakeEntrants; ++turn) {
            const int entrant = (rep + turn) % kTakeEntrants;
            if (!usable[entrant]) continue;
            double ownFigure = -1, startup = -1;
            const double seconds = timedTake(self, torvaneRun, entrant, megabytes, ownFigure, startup);
            if (seconds < 0) {
                usable[entrant] = false;
                continue;
            }
            rates[entrant].push_back(gigabytes / seconds);
            if (entrant == 0 && ownFigure > 0) own.push_back(ownFigure);
            if (startup >= 0) (entrant == 0 ? productStart : baselineStart).push_back(startup);
        }
    }
    for (int e = 0; e < kTakeEntrants; ++e) {
        if (!usable[e]) continue;
        for (double rate : rates[e]) record("hold.take", what, e == 0 ? "product" : kTakeBaselines[e - 1], rate, "GB/s");
    }
    if (usable[0])
        for (double s : own) record("hold.take", what, "own line", s, "s");
    // Where the time goes: each process's start, to its first line.
    for (double s : productStart) record("hold.take", what, "start to first line", s, "s");
    for (double s : baselineStart) record("hold.take", what, "baselines' start", s, "s");
}

// ---- keep.settle, keep.spread ----------------------------------------------

constexpr std::uint64_t kGroupLimit = 2048 * kMiB;
constexpr int kIntervalMs = 250;
constexpr int kSampleMs = 10;
constexpr std::uint64_t kCompetitorMiB = 300;
// How long after a step the room is watched for settling: 16 intervals,
// far past the goal of 3, so a slow settling is measured rather than cut.
constexpr int kSettleWindowMs = 16 * kIntervalMs;

struct Sample {
    double at;  // seconds since the step
    long long room;
};

// The room the keeper keeps, as the bench reads it, and the target and
// band the keeper was given: natively a throwaway group's limit less its
// usage; under Wine the available memory GlobalMemoryStatusEx gives.
struct KeptRoom {
    std::function<long long()> read;
    long long target;
    long long band;
    bool in(long long room) const { return std::llabs(room - target) <= band; }
};

// Samples of the room every 10 ms for `ms`, on a fixed grid.
std::vector<Sample> sampleRoom(const KeptRoom& room, Clock::time_point from, int ms) {
    std::vector<Sample> samples;
    auto next = Clock::now();
    const auto end = next + std::chrono::milliseconds(ms);
    while (next < end) {
        std::this_thread::sleep_until(next);
        samples.push_back({secondsBetween(from, Clock::now()), room.read()});
        next += std::chrono::milliseconds(kSampleMs);
    }
    return samples;
}

// Seconds from the step to the first sample after which every sample is in
// the band; negative when the last sample is still out of it.
double settledAfter(const std::vector<Sample>& samples, const KeptRoom& room) {
    double settled = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (room.in(samples[i].room)) continue;
        if (i + 1 == samples.size()) return -1;
        settled = samples[i + 1].at;
    }
    return settled;
}

// The keeper against a competitor that takes and frees 300 MiB: settling
// after each step and the room's spread while the competitor holds still.
void measureKeeper(const std::string& self, const std::vector<std::string>& keeperCommand, const KeptRoom& room,
                   const std::string& cgroupProcs, const std::string& suffix, int cycles, int stillSeconds) {
    const std::string settle = "keep.settle" + suffix;
    const std::string spread = "keep.spread" + suffix;
    char keeperLog[] = "/tmp/torvane-bench-keeper-XXXXXX";
    const int logFd = mkstemp(keeperLog);
    if (logFd < 0) {
        note(settle.c_str(), "skipped: no temporary file for the keeper's output");
        return;
    }
    close(logFd);
    // The keeper's output goes to stderr at the end, for reading a missed
    // goal; it is not a record.
    struct KeeperLog {
        const char* path;
        ~KeeperLog() {
            std::fprintf(stderr, "%s", fileText(path).c_str());
            unlink(path);
        }
    } keeperLogShown{keeperLog};
    Process keeper(keeperCommand, cgroupProcs, keeperLog);
    Process competitor({self, "--compete", std::to_string(kCompetitorMiB)}, cgroupProcs, "", true);
    const bool ready = within(20000, [&] { return room.in(room.read()); });
    if (!ready) {
        note(settle.c_str(), "the keeper did not bring the room within its band in 20 s; room " +
                                 std::to_string(room.read() / static_cast<long long>(kMiB)) + " MiB");
    }
    const std::string takes = "competitor takes 300 MiB", frees = "competitor frees 300 MiB";
    const std::string holding = "competitor holding 300 MiB", gone = "competitor gone";
    for (int cycle = 0; ready && cycle < cycles; ++cycle) {
        struct Step {
            const char* command;
            const char* answer;
            const std::string& settleCase;
            const std::string& stillCase;
        };
        for (const Step& step : {Step{"take\n", "taken", takes, holding}, Step{"free\n", "freed", frees, gone}}) {
            if (!competitor.send(step.command)) {
                note(settle.c_str(), "the competitor stopped reading");
                return;
            }
            // The room is read every 10 ms while the competitor moves too,
            // for the settling counted from the step's start.
            const auto began = Clock::now();
            std::vector<Sample> samples;
            std::string line;
            while (line.empty() && competitor.outputOpen() && Clock::now() - began < std::chrono::seconds(30)) {
                samples.push_back({secondsBetween(began, Clock::now()), room.read()});
                line = competitor.waitForLine(step.answer, kSampleMs);
            }
            const auto done = Clock::now();
            if (line.empty()) {
                note(settle.c_str(), std::string("the competitor did not answer ") + step.answer + " within 30 s");
                return;
            }
            const std::vector<Sample> after = sampleRoom(room, done, kSettleWindowMs);
            for (const Sample& s : after) samples.push_back({s.at + secondsBetween(began, done), s.room});
            const double settled = settledAfter(after, room);
            // A room that never left its band never showed the step: there
            // was nothing to settle, and 0 s would read as a goal met.
            const bool shown = std::any_of(samples.begin(), samples.end(),
                                           [&](const Sample& s) { return !room.in(s.room); });
            if (!shown) {
                note(settle.c_str(), step.settleCase + ": the room never left its band; the step did not show in "
                                                       "the figure the keeper reads, so no settling is counted");
            } else if (settled < 0) {
                note(settle.c_str(), step.settleCase + ": the room was still out of its band " +
                                         std::to_string(kSettleWindowMs) + " ms after the step");
            } else {
                record(settle.c_str(), step.settleCase, "product", settled, "s");
                record(settle.c_str(), step.settleCase, "interval", kIntervalMs / 1000.0, "s");
                record(settle.c_str(), step.settleCase, "competitor's step",
                       std::atof(line.c_str() + line.find(' ') + 1), "s");
                record(settle.c_str(), step.settleCase, "from the step's start", settledAfter(samples, room), "s");
            }
            // The competitor is still: how much of the time the room stays
            // in its band.
            const std::vector<Sample> still = sampleRoom(room, Clock::now(), stillSeconds * 1000);
            long long inside = 0, lowest = LLONG_MAX, highest = 0;
            for (const Sample& s : still) {
                inside += room.in(s.room);
                lowest = std::min(lowest, s.room);
                highest = std::max(highest, s.room);
            }
            record(spread.c_str(), step.stillCase, "product", static_cast<double>(inside), "samples");
            record(spread.c_str(), step.stillCase, "samples", static_cast<double>(still.size()), "samples");
            record(spread.c_str(), step.stillCase, "room lowest", static_cast<double>(lowest) / kMiB, "MiB");
            record(spread.c_str(), step.stillCase, "room highest", static_cast<double>(highest) / kMiB, "MiB");
        }
    }
    competitor.end();
    keeper.end();
}

void keepRows(const std::string& self, const std::string& torvaneRun, int cycles, int stillSeconds) {
    if (geteuid() != 0) {
        note("keep.settle", "skipped: making a memory cgroup needs root");
        return;
    }
    ThrowawayMemoryGroup group(kGroupLimit);
    if (!group.usable()) {
        note("keep.settle", "skipped: " + group.why());
        return;
    }
    // The band is the keeper's own default (runs/keep_available.h): max(16 MiB,
    // 0.25 % of the room's total), 16 MiB in this 2 GiB group.
    const KeptRoom room{[&group] { return group.roomBytes(); }, 512 * static_cast<long long>(kMiB),
                        std::max<long long>(16 * kMiB, kGroupLimit / 400)};
    measureKeeper(self, {torvaneRun, "--keep-available", "512M", "--interval", std::to_string(kIntervalMs) + "ms"},
                  room, group.procs(), "", cycles, stillSeconds);
}

// How late Windows' figure shows a step the keeper did not make: before the
// keeper starts, the competitor alone takes and frees 300 MiB, and the room
// is watched until it has moved by 3/4 of that. Recorded beside both Wine
// rows; a keeper cannot settle sooner than the figure it reads.
void figureLag(const std::string& self, const KeptRoom& room, int cycles) {
    Process competitor({self, "--compete", std::to_string(kCompetitorMiB)}, "", "", true);
    const long long moved = static_cast<long long>(kCompetitorMiB * kMiB) * 3 / 4;
    struct Step {
        const char* command;
        const char* answer;
        const char* settleCase;
        const char* stillCase;
        int sign;
    };
    for (int cycle = 0; cycle < cycles; ++cycle) {
        for (const Step& step : {Step{"take\n", "taken", "competitor takes 300 MiB", "competitor holding 300 MiB", -1},
                                 Step{"free\n", "freed", "competitor frees 300 MiB", "competitor gone", 1}}) {
            const long long before = room.read();
            if (!competitor.send(step.command) || competitor.waitForLine(step.answer, 30000).empty()) {
                note("keep.settle.wine", std::string("the competitor did not answer ") + step.answer + " within 30 s");
                return;
            }
            const auto done = Clock::now();
            const bool shown = within(10000, [&] {
                const long long now = room.read();
                return step.sign < 0 ? now <= before - moved : now >= before + moved;
            });
            if (!shown) {
                note("keep.settle.wine", std::string(step.settleCase) +
                                             " with no keeper: Windows' room had not moved by 225 MiB 10 s later");
                continue;
            }
            const double lag = secondsBetween(done, Clock::now());
            record("keep.settle.wine", step.settleCase, "figure's lag", lag, "s");
            record("keep.spread.wine", step.stillCase, "figure's lag", lag, "s");
        }
    }
}

// The same under Wine: the machine's room, kept 1 GiB below what it is at
// the start, read from the Windows side by a sampler (win_room_sampler.cpp):
// the figure torvane-run keeps is Wine's, not the kernel's MemAvailable, and
// the system refreshes it only now and then.
void wineKeepRows(const std::string& self, const std::string& exe, const std::string& samplerExe, int cycles,
                  int stillSeconds) {
    Process sampler({"/usr/bin/wine", samplerExe, "900"});
    const std::string totalLine = sampler.waitForLine("total ", 60000);
    const std::string firstRoom = totalLine.empty() ? "" : sampler.waitForLine("room ", 10000);
    if (firstRoom.empty()) {
        note("keep.settle.wine", "skipped: the room sampler under Wine gave no figures in 60 s");
        return;
    }
    const long long total = std::atoll(totalLine.c_str() + 6);
    const long long available = std::atoll(firstRoom.c_str() + 5);
    if (available < 4 * static_cast<long long>(kGiB)) {
        note("keep.settle.wine", "skipped: less than 4 GiB available");
        return;
    }
    const KeptRoom room{[&sampler] {
                            const std::string line = sampler.latestLine("room ");
                            return line.empty() ? -1 : std::atoll(line.c_str() + 5);
                        },
                        available - static_cast<long long>(kGiB), std::max<long long>(16 * kMiB, total / 400)};
    figureLag(self, room, cycles);
    measureKeeper(self, {"/usr/bin/wine", exe, "--keep-available", std::to_string(room.target) + "B", "--interval",
                         std::to_string(kIntervalMs) + "ms"},
                  room, "", ".wine", cycles, stillSeconds);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--take") == 0) return takeChild(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (argc == 3 && std::strcmp(argv[1], "--compete") == 0) return competeChild(std::strtoull(argv[2], nullptr, 10));
    const bool wine = argc >= 3 && std::strcmp(argv[1], "--wine") == 0;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s TORVANE_RUN [HOLD_REPETITIONS [KEEP_CYCLES [STILL_SECONDS]]]\n", argv[0]);
        return 2;
    }
    const std::string self = "/proc/self/exe";
    char path[4096];
    const ssize_t length = readlink(self.c_str(), path, sizeof path - 1);
    if (length <= 0) return 2;
    path[length] = '\0';
    if (wine) {
        // --wine TORVANE_RUN_EXE ROOM_SAMPLER_EXE [KEEP_CYCLES [STILL_SECONDS]]: the keep-available
        // rows under Wine.
        if (argc < 4) return 2;
        wineKeepRows(path, argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 3, argc > 5 ? std::atoi(argv[5]) : 5);
        return 0;
    }
    const std::string torvaneRun = argv[1];
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 5;
    const int cycles = argc > 3 ? std::atoi(argv[3]) : 3;
    const int stillSeconds = argc > 4 ? std::atoi(argv[4]) : 5;
    holdTake(path, torvaneRun, 256, repetitions);
    holdTake(path, torvaneRun, 1024, repetitions);
    keepRows(path, torvaneRun, cycles, stillSeconds);
    return 0;
}
