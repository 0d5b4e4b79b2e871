// The command line of torvane-run.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "headless/cli/memory_kind.h"
#include "headless/cli/metrics_address.h"
#include "headless/cli/sizes.h"
#include "headless/cli/stage_list.h"
#include "headless/cli/stall_target.h"
#include "headless/memory/page_content.h"

// A script, or memory held without one (--hold, --keep-available,
// --pressure, --stages).
enum class RunMode { Script, Hold, KeepAvailable, Pressure, Stages };

// --huge: transparent huge pages, or pages of the hugetlb pool.
enum class HugePages { None, Transparent, Pool };

struct Options {
    RunMode mode = RunMode::Script;
    std::string script;
    bool yes = false;          // run without asking
    bool physical = false;     // blocks resident at once, one mapping/heap each
    bool accessLoad = false;   // rewrite the block every 50 ms while waiting
    bool waitPopups = false;   // a pop-up waits for Enter
    // How long a `run` command gets to end after a stop is passed on to it,
    // before it is killed.
    std::uint64_t graceMilliseconds = 5000;
    bool check = false;   // read the script with the runner's rules and run nothing
    bool strict = false;  // refuse to run a script that the check finds fault with
    bool json = false;    // machine-readable lines (JSON Lines) instead of text
    std::optional<std::uint64_t> sampleMilliseconds;  // a sample event this often
    std::string report;   // an HTML report of the run written here at its end
    std::optional<std::uint64_t> timeoutMilliseconds;  // the whole run ends there (124)
    unsigned workers = 1;  // threads that share each access-load pass
    std::optional<int> oomScoreAdjust;  // Linux: the process's OOM score adjustment
    std::optional<MetricsAddress> metrics;  // --metrics: where GET /metrics is served
    std::string metricsFile;                // --metrics-file: the textfile kept up to date

    // Hold and keep-available.
    SizeRequest size;                  // what to hold, or the room to leave
    std::optional<RampStep> ramp;      // --hold: reach the size in steps
    bool lazy = false;                 // --hold: commit only, do not make resident
    bool partial = false;              // --hold: take what fits when all does not
    std::optional<std::uint64_t> forMilliseconds;  // the hold ends after this (0)
    std::uint64_t intervalMilliseconds = 250;      // how often a hold reads the room
    std::optional<SizeRequest> band;   // --keep-available: the half-width of the band
    std::optional<SizeRequest> most;   // --keep-available: the most it holds (--max)
    KindRequest kind;                  // --kind: the memory a hold takes
    std::vector<StageRequest> stages;  // --stages: the load shape, in order
    std::vector<std::string> command;  // run while the memory is held, its status the run's

    // Guards: each ends the run with 123 once it holds, checked before
    // anything is taken and then every --interval.
    struct RoomGuardOption {
        SizeRequest below;
        std::string given;  // "1G", as typed
    };
    std::vector<RoomGuardOption> roomBelow;     // --stop-if-room-below
    std::vector<std::string> probes;            // --stop-if-probe-fails, as typed
    std::uint64_t probeIntervalMilliseconds = 1000;
    std::optional<std::uint64_t> probeTimeoutMilliseconds;  // none: the probe interval
    bool lowMemory = false;                     // --stop-if-low-memory (Windows)
    bool guarded() const { return !roomBelow.empty() || !probes.empty() || lowMemory || !stopIfPressure.empty(); }
    // --pressure: the stall share to hold, over a window of our own.
    StallTarget pressure;
    std::uint64_t pressureWindowMilliseconds = 5000;
    std::optional<double> pressureBand;  // the half-width, a share; default a quarter of the target
    std::string pressureFrom = "self";   // self, system or a v2 group's folder
    std::optional<SizeRequest> floor;    // the squeezed room never below this (default 64 MiB)
    // --stop-if-pressure, each a guard (read as --pressure-from says).
    std::vector<StallTarget> stopIfPressure;
    // The held pages themselves.
    bool lock = false;                 // --lock: locked in memory
    HugePages huge = HugePages::None;  // --huge[=hugetlb]
    PageContent content;               // --content
    // Warm at a cost: -a's writes spread at a rate, or each page touched.
    std::optional<std::uint64_t> accessRate;        // --access-rate, bytes a second
    bool touch = false;                             // --touch
    std::uint64_t touchIntervalMilliseconds = 1000; // --touch-interval
};

enum class Parsed { Run, Help, Version, Reference, UsageError };

struct ParsedCommandLine {
    Parsed outcome = Parsed::UsageError;
    Options options;
    std::string error;  // for UsageError; arguments in it escaped as oneLine does
};

ParsedCommandLine parseCommandLine(int argc, const char* const* argv);

// Whether --json comes before any "--": looked for on its own, so that a
// command line that does not parse is refused in JSON all the same.
bool jsonAsked(int argc, const char* const* argv);

// The --help text: options, output and exit statuses (no final line end),
// made from the same declarations as the parser.
extern const std::string kHelpText;

// "torvane-run 3.0.0": the version the packages are named by.
const char* versionText();

// docs/torvane-run.md, from the option table, the exit statuses and the
// event kinds (torvane-run --reference).
std::string referenceText();

// The folder part of a script's path, where its external commands start;
// empty when the path names none (the current directory).
std::string folderOf(const std::string& path);
