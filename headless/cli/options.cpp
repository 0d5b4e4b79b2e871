#include "headless/cli/options.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <vector>

#include "headless/cli/command_words.h"
#include "headless/cli/durations.h"
#include "headless/cli/exit_status.h"
#include "headless/cli/metrics_address.h"
#include "headless/cli/sizes.h"
#include "headless/cli/stage_list.h"
#include "headless/record/one_line.h"
#include "headless/record/run_event.h"
#include "headless/runs/parallel_fill.h"

namespace {
constexpr char kUsage[] =
    "Usage: torvane-run [options] SCRIPT\n"
    "       torvane-run [options] --hold SIZE [--ramp STEP/INTERVAL] [--for DURATION]\n"
    "                   [-- COMMAND [ARG...]]\n"
    "       torvane-run [options] --keep-available SIZE [--for DURATION]\n"
    "                   [-- COMMAND [ARG...]]\n"
    "       torvane-run [options] --pressure some=N%|full=N% [--for DURATION]\n"
    "                   [-- COMMAND [ARG...]]\n"
    "       torvane-run [options] --stages DURATION:SIZE[,...] [-- COMMAND [ARG...]]\n";

constexpr char kDescription[] =
    "Runs a Torvane script (.evk) unattended, with the same rules, commands and\n"
    "texts as the window's Script Exec. Or holds memory sized to the machine\n"
    "or its container (--hold, --keep-available), for a time or around a\n"
    "command whose exit status becomes torvane-run's.";

constexpr char kSizeAndDuration[] =
    "SIZE: 512M, 2G, 1.5G, 300K (binary units); 80% of the memory room's total\n"
    "(the machine's memory or the container's limit); all-2G (all the room\n"
    "holds now but 2G). DURATION: 500ms, 30s, 5m, 1h or a number of seconds.";

constexpr char kFooter[] =
    "Every event is one line: local time, the process's resident memory, its\n"
    "committed memory and the memory room (what may still be made resident,\n"
    "marked (cgroup) or (job) when a limit sets it), the kind of event (status,\n"
    "popup, confirm, command, exit, hold, ramp, keep, adjust, stage, release,\n"
    "sample, stop; error on standard error) and its text. External commands start in\n"
    "the script's folder; a hold's command in the current folder.";

constexpr char kDurationForms[] = "use e.g. 500ms, 30s, 5m, 1h or a number of seconds, up to 100 days";

// CLI11's layout, with the usage line first and the script shown once.
class HelpLayout : public CLI::Formatter {
public:
    std::string make_description(const CLI::App*) const override { return {}; }
    std::string make_usage(const CLI::App* app, std::string) const override {
        return std::string(kUsage) + "\n" + app->get_description() + "\n";
    }
    // A hidden option's group (--reference) prints nothing, but CLI11 still
    // puts a blank line for it.
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        std::string text = CLI::Formatter::make_help(app, std::move(name), mode);
        for (std::size_t at; (at = text.find("\n\n\n")) != std::string::npos;) text.erase(at, 1);
        return text;
    }
    std::string make_option_opts(const CLI::Option* option) const override {
        return option->get_positional() ? std::string() : CLI::Formatter::make_option_opts(option);
    }
};

// A flag given a value ("--yes=1") is refused rather than read as a yes/no:
// a flag only ever switches something on.
CLI::Validator noValue(const std::string& names) {
    return CLI::Validator(
        [names](std::string& value) {
            return value == "true" ? std::string() : "takes no value; write " + names + " alone";
        },
        "");
}

// A check that names what was wrong and shows the valid forms.
CLI::Validator formCheck(std::function<bool(const std::string&)> valid, std::string what, std::string forms) {
    return CLI::Validator(
        [valid, what, forms](std::string& value) {
            return valid(value) ? std::string() : "\"" + value + "\" is not " + what + "; use " + forms;
        },
        "");
}

// A whole number from `low` to `high`, said in words; CLI11's own range
// check would put "in [1 - 256]" into --help beside the option's name.
CLI::Validator wholeNumber(long long low, long long high) {
    return CLI::Validator(
        [low, high](std::string& value) {
            std::size_t used = 0;
            long long number = 0;
            bool ok = !value.empty();
            try {
                number = std::stoll(value, &used);
            } catch (const std::exception&) {
                ok = false;
            }
            if (ok && used == value.size() && number >= low && number <= high) return std::string();
            return "\"" + value + "\" is not a whole number from " + std::to_string(low) + " to " + std::to_string(high);
        },
        "");
}

// A DURATION option: the text becomes a count of milliseconds before CLI11
// reads the number.
template <typename Target>
CLI::Option* duration(CLI::App& app, const char* name, Target& target, const char* text) {
    return app.add_option(name, target, text)
        ->type_name("DURATION")
        ->take_last()
        ->transform(CLI::Validator(
            [](std::string& value) {
                const std::optional<std::uint64_t> milliseconds = parseDurationMilliseconds(value);
                if (!milliseconds) return "\"" + value + "\" is not a duration; " + kDurationForms;
                value = std::to_string(*milliseconds);
                return std::string();
            },
            ""));
}

// An amount (--band, --max): bytes or a share of the room's total, never 0.
CLI::Option* amountOption(CLI::App& app, const char* name, std::optional<SizeRequest>& target, const char* text) {
    return app
        .add_option_function<std::string>(
            name, [&target](const std::string& value) { target = parseSize(value, SizeUse::Amount); }, text)
        ->type_name("SIZE")
        ->take_last()
        ->check(CLI::Validator([](std::string& value) { return readSize(value, SizeUse::Amount).error; }, ""));
}

void sizeOption(CLI::App& app, const char* name, Options& options, RunMode mode, const char* text) {
    app.add_option_function<std::string>(
           name,
           [&options, mode](const std::string& value) {
               options.mode = mode;
               options.size = *parseSize(value);
           },
           text)
        ->type_name("SIZE")
        ->take_last()
        ->check(CLI::Validator([](std::string& value) { return readSize(value).error; }, ""));
}

// The kinds of run an option may be given to.
enum RunKinds : unsigned {
    kInScript = 1u << 0,
    kInCheck = 1u << 1,
    kInHold = 1u << 2,
    kInKeep = 1u << 3,
    kInPressure = 1u << 4,
    kInStages = 1u << 5,
    kInHolds = kInHold | kInKeep | kInPressure | kInStages,
    kInRuns = kInScript | kInHolds,
    kAnywhere = kInRuns | kInCheck,
};

// An option that goes with some kinds of run only, and the refusal when it
// is given to another: the usage check and the reference both read these.
struct Joined {
    const CLI::Option* option;
    unsigned kinds;
    const char* whyNot;  // null: "X goes with ..." from `kinds`
};

// An option whose value is a path, and a name to show in its examples.
struct PathOption {
    const CLI::Option* option;
    const char* example;  // "run.html"
};

// Two options that do not go together, and why.
struct Clash {
    const CLI::Option* first;
    const CLI::Option* second;
    const char* why;
};

struct OptionTable {
    std::vector<std::string> scripts;
    std::vector<Joined> joins;
    std::vector<Clash> clashes;
    std::vector<PathOption> paths;
    bool version = false;
    bool reference = false;
    std::string huge;  // --huge's value: "true" given alone
};

// Every option that takes a path is declared here, so that the rule for
// its value (pathValueError) covers it.
CLI::Option* pathOption(CLI::App& app, OptionTable& table, const char* name, std::string& target, const char* text,
                        const char* example) {
    CLI::Option* option = app.add_option(name, target, text)->type_name("FILE")->take_last();
    option->check(formCheck([](const std::string& value) { return !value.empty(); }, "a file name",
                            std::string("e.g. ") + name + " " + example));
    table.paths.push_back({option, example});
    return option;
}

// CLI11 gives an option the next argument as its value whatever that is:
// "--report --strict x.evk" would write ./--strict and run x.evk unchecked;
// "--report= --hold 1M" would write ./--hold. So a path option's value that
// starts with '-' is taken only when joined to it with '=' ("--report=-x");
// options end at "--".
std::string pathValueError(int argc, const char* const* argv, const OptionTable& table) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--") break;
        for (const PathOption& path : table.paths) {
            std::vector<std::string> names;
            for (const std::string& name : path.option->get_lnames()) names.push_back("--" + name);
            for (const std::string& name : path.option->get_snames()) names.push_back("-" + name);
            const std::string shown = names.front();
            const std::string example = shown + " " + path.example;
            for (const std::string& name : names) {
                if (argument == name + "=") return shown + ": the file name after = is missing; e.g. " + example;
                if (argument != name) continue;
                if (i + 1 == argc) return shown + ": the file name is missing; e.g. " + example;
                const std::string value = argv[++i];
                if (value == "--") return shown + ": the file name is missing before --; e.g. " + example;
                if (!value.empty() && value[0] == '-') {
                    return shown + ": \"" + value + "\" is an option, not a file name; give the file (e.g. " +
                           example + "), or write " + shown + "=" + value + " for a file whose name starts with '-'";
                }
            }
        }
    }
    return {};
}

// The one table of options: the parser, --help and the reference are all
// made from it. Every script argument lands in `scripts`, so that "one too
// many" can be told apart from an unknown option.
void declare(CLI::App& app, Options& options, OptionTable& table) {
    std::vector<std::string>& scripts = table.scripts;
    const auto goes = [&table](const CLI::Option* option, unsigned kinds, const char* whyNot = nullptr) {
        table.joins.push_back({option, kinds, whyNot});
    };
    app.description(std::string(kDescription) + "\n\n" + kSizeAndDuration);
    app.footer(std::string(kFooter) + "\n\n" + exitStatusHelp(kScriptRun | kHoldRun));
    app.formatter(std::make_shared<HelpLayout>());
    app.get_formatter()->column_width(22);
    app.set_help_flag("-h,--help", "show this text");
    app.allow_extras();  // unknown options: reported below, by name
    // "/x" is a path, not an option, even on Windows.
    app.allow_windows_style_options(false);

    struct Flag {
        const char *names, *text;
        bool Options::*field;
    };
    const Flag flags[] = {
        {"-y,--yes", "run without asking for confirmation (needed when\nstandard input is not a terminal)",
         &Options::yes},
        {"-p,--physical", "physical mode: every block is made resident at once", &Options::physical},
        {"-a,--access-load",
         "rewrite the script's block every 50 ms while the\nscript pauses, waits for a command or for a pop-up",
         &Options::accessLoad},
        {"-w,--wait-popups", "a pop-up waits for Enter instead of going on at once", &Options::waitPopups},
        {"--check",
         "read the script with the runner's exact rules, run\nnothing, and list every line it would skip,\n"
         "misread or act on unexpectedly, with the fix",
         &Options::check},
        {"--strict", "refuse to run a script that --check finds fault with", &Options::strict},
        {"--json",
         "one JSON object a line instead of text lines, errors\nincluded: fixed event names and codes, "
         "figures in\nbytes",
         &Options::json},
    };
    for (const Flag& flag : flags) {
        std::string shown = flag.names;
        if (const std::size_t comma = shown.find(','); comma != std::string::npos) shown.replace(comma, 1, " or ");
        const CLI::Option* option = app.add_flag(flag.names, options.*flag.field, flag.text)->check(noValue(shown));
        if (flag.field == &Options::check) {
            goes(option, kInScript | kInCheck,
                 "--check reads a script; it does not go with --hold or --keep-available");
        }
    }
    app.add_flag("--version", table.version, "print the version and end")->check(noValue("--version"));
    // Not in --help: the reference in docs/torvane-run.md is this output.
    app.add_flag("--reference", table.reference)->group("");

    duration(app, "--grace", options.graceMilliseconds,
             "how long a `run` command gets to end after a stop is\npassed on to it, before it is killed; "
             "default 5s");
    duration(app, "--timeout", options.timeoutMilliseconds,
             "end the whole run after DURATION, whatever it is doing:\nthe memory released, a command ended, "
             "exit status 124");
    static constexpr char kNothingToRecord[] =
        "--check runs nothing, so there is nothing to sample or report; leave out --sample and --report";
    goes(duration(app, "--sample", options.sampleMilliseconds,
                  "a sample event every DURATION with what is held and\nthe memory figures, also during "
                  "pauses and commands"),
         kInRuns, kNothingToRecord);
    goes(pathOption(app, table, "--report", options.report,
                    "write an HTML report to FILE: a chart of the memory\nover time, the events (of more than "
                    "2000, the first\nand last 1000), the exit status. Written at the\nstart, every 2s (or each "
                    "--sample) and at the end,\nhowever the run ends; replaced whole, never through\na link. "
                    "A name that starts with '-': --report=-name",
                    "run.html"),
         kInRuns, kNothingToRecord);
    // The live figures for Prometheus: an endpoint and a textfile.
    goes(app.add_option_function<std::string>(
                "--metrics",
                [&options](const std::string& value) {
                    std::string why;
                    options.metrics = parseMetricsAddress(value, why);
                },
                "serve the live figures at http://[HOST:]PORT/metrics\nfor Prometheus (HOST numeric, default "
                "127.0.0.1;\n0.0.0.0:PORT for every address, [::1]:PORT for IPv6)")
             ->type_name("[HOST:]PORT")
             ->take_last()
             ->check(CLI::Validator(
                 [](std::string& value) {
                     std::string why;
                     return parseMetricsAddress(value, why) ? std::string() : why;
                 },
                 "")),
         kInRuns, "--check runs nothing, so there are no figures to serve; leave out --metrics");
    goes(pathOption(app, table, "--metrics-file", options.metricsFile,
                    "keep the live figures in FILE (ending in .prom) for a\nnode exporter's textfile collector: "
                    "replaced whole\nevery --sample or every second, and at the end with\nthe exit status",
                    "torvane.prom"),
         kInRuns, "--check runs nothing, so there are no figures to write; leave out --metrics-file");
    app.add_option("--workers", options.workers,
                   "threads that share each access-load pass, each writing\nits own part (default 1); auto: "
                   "the processors the\nrun may use, at most " + std::to_string(kAutoWorkersCap))
        ->type_name("N|auto")
        ->take_last()
        ->check(formCheck(
            [](const std::string& value) {
                return value == "auto" ||
                       (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos);
            },
            "a count of threads", "1 to 256 or auto, e.g. --workers 2"))
        ->transform([](const std::string& value) { return value == "auto" ? std::to_string(autoWorkers()) : value; })
        ->check(wholeNumber(1, 256));
#ifndef _WIN32
    app.add_option("--oom-score-adj", options.oomScoreAdjust,
                   "this process's OOM score adjustment, -1000 to 1000:\n1000 makes the load die first, "
                   "-1000 (root) the\nsystem under test; commands keep their own")
        ->type_name("N")
        ->take_last()
        ->check(wholeNumber(-1000, 1000));
#endif

    sizeOption(app, "--hold", options, RunMode::Hold,
               "take SIZE and hold it, resident unless --lazy; reports\nwhen it is reached");
    sizeOption(app, "--keep-available", options, RunMode::KeepAvailable,
               "hold whatever keeps the memory room at SIZE, within\n--band of it, as other processes "
               "take and free\nmemory");
    app.add_option_function<std::string>(
           "--stages",
           [&options](const std::string& value) {
               options.mode = RunMode::Stages;
               options.stages = readStages(value).stages;
           },
           "hold a load shape: each stage moves what is held\nlinearly from the stage before's SIZE (0 before the\n"
           "first) to its own over its DURATION (0: at once),\ne.g. 30s:2G,1m:2G,30s:512M,10s:0; ends after the\n"
           "last, or holds its SIZE until the command ends")
        ->type_name("D:SIZE,...")
        ->take_last()
        ->check(CLI::Validator([](std::string& value) { return readStages(value).error; }, ""));
    goes(app.add_option_function<std::string>(
                "--ramp", [&options](const std::string& value) { options.ramp = parseRamp(value); },
                "--hold: reach SIZE in steps, e.g. 256M/5s")
             ->type_name("STEP/INTERVAL")
             ->take_last()
             ->check(formCheck([](const std::string& value) { return parseRamp(value).has_value(); },
                               "a ramp step", kRampForms)),
         kInHold);
    goes(app.add_flag("--lazy", options.lazy, "--hold: only commit the memory; do not make it resident")
             ->check(noValue("--lazy")),
         kInHold);
    goes(app.add_flag("--partial", options.partial,
                      "--hold: when SIZE does not fit the room, take what\nfits and say so, instead of failing")
             ->check(noValue("--partial")),
         kInHold);
    goes(duration(app, "--for", options.forMilliseconds,
                  "end the hold after DURATION (status 0); without it\nand without a command, a stop ends it"),
         kInHold | kInKeep | kInPressure);
    goes(duration(app, "--interval", options.intervalMilliseconds,
                  "how often a hold reads the room and the guards are\nchecked (default 250ms); with a script, "
                  "only with a\nguard"),
         kInRuns);
    goes(amountOption(app, "--band", options.band,
                      "--keep-available: how far the room may stray either\nside of SIZE before memory is taken "
                      "or given\nback; default max(16M, 0.25% of the total)"),
         kInKeep);
    goes(amountOption(app, "--max", options.most, "--keep-available, --pressure: never hold more than SIZE"),
         kInKeep | kInPressure);
    // --pressure: the kernel's stall figures as the target.
    app.add_option_function<std::string>(
           "--pressure",
           [&options](const std::string& value) {
               options.mode = RunMode::Pressure;
               options.pressure = *parseStallTarget(value);
           },
           "Linux: hold whatever keeps the share of time stalled\non memory (some task, or all at once) at N% over\n"
           "--pressure-window, within --pressure-band of it;\nwhere no size holds it (a cliff), alternates\nbetween the sizes either side")
        ->type_name("some=N%|full=N%")
        ->take_last()
        ->check(formCheck([](const std::string& value) { return parseStallTarget(value).has_value(); },
                          "a stall target", kStallTargetForms));
    // Also --stop-if-pressure's window, in any run: checked with --pressure-from below.
    goes(duration(app, "--pressure-window", options.pressureWindowMilliseconds,
                  "--pressure, --stop-if-pressure: the window the stall\nshare is measured over, from the kernel's "
                  "total\ncounters (default 5s)"),
         kInRuns, "--check runs nothing, so no stall is measured; leave out --pressure-window");
    goes(app.add_option_function<std::string>(
                "--pressure-band",
                [&options](const std::string& value) { options.pressureBand = parseStallShare(value); },
                "--pressure: how far the share may stray either side\nof N before memory is taken or given back; "
                "default\na quarter of N")
             ->type_name("N%")
             ->take_last()
             ->check(formCheck([](const std::string& value) { return parseStallShare(value).has_value(); },
                               "a share", "a percentage above 0 and under 100, e.g. --pressure-band 2.5%")),
         kInPressure);
    app.add_option("--pressure-from", options.pressureFrom,
                   "whose stall --pressure and --stop-if-pressure read:\nself (this run's cgroup v2 group, the "
                   "default),\nsystem (/proc/pressure/memory, the whole machine's)\nor a v2 group's folder")
        ->type_name("self|system|PATH")
        ->take_last()
        ->check(formCheck([](const std::string& value) { return !value.empty(); }, "a source",
                          "self, system or a cgroup v2 group's folder, e.g. --pressure-from system"));
    goes(amountOption(app, "--floor", options.floor,
                      "--pressure: never take the room, counting all page\ncache as room, below SIZE beyond the "
                      "margin\n(default 64M)"),
         kInPressure);
    goes(app.add_option_function<std::vector<std::string>>(
                "--stop-if-pressure",
                [&options](const std::vector<std::string>& values) {
                    for (const std::string& value : values) options.stopIfPressure.push_back(*parseStallTarget(value));
                },
                "Linux: end the run (123) once the stall share over\n--pressure-window passes N%; repeatable")
             ->type_name("some=N%|full=N%")
             ->allow_extra_args(false)  // one value each time: the next argument may be the script
             ->check(formCheck([](const std::string& value) { return parseStallTarget(value).has_value(); },
                               "a stall limit", kStallTargetForms)),
         kInRuns, "--check runs nothing, so there is nothing to stop; leave out --stop-if-pressure");

    // Guards: what ends a run early, with status 123, as an experiment is
    // ended once the system it tests is no longer healthy.
    const char* const kNothingToGuard = "--check runs nothing, so there is nothing to guard; leave out the --stop-if options";
    goes(app.add_option_function<std::vector<std::string>>(
                "--stop-if-room-below",
                [&options](const std::vector<std::string>& values) {
                    for (const std::string& value : values) {
                        options.roomBelow.push_back({*parseSize(value, SizeUse::Amount), value});
                    }
                },
                "end the run (status 123) once the memory room is\nbelow SIZE; checked before anything is taken and\n"
                "every --interval; repeatable")
             ->type_name("SIZE")
             ->allow_extra_args(false)  // one value each time, however often given
             ->check(CLI::Validator([](std::string& value) { return readSize(value, SizeUse::Amount).error; }, "")),
         kInRuns, kNothingToGuard);
    goes(app.add_option("--stop-if-probe-fails", options.probes,
                        "end the run (status 123) once the health command CMD\nexits non-zero, or times out twice in "
                        "a row; run\nevery --probe-interval without a shell, split as sh\nsplits it but with nothing "
                        "expanded (Windows: the\ncommand line as given), its output discarded;\nrepeatable")
             ->type_name("CMD")
             ->allow_extra_args(false)
             ->check(CLI::Validator(
                 [](std::string& value) {
#ifdef _WIN32
                     if (value.find_first_not_of(" \t") != std::string::npos) return std::string();
                     return std::string("there is no command in \"" + value + "\"");
#else
                     const std::string why = splitCommandWords(value).error;
                     return why.empty() ? why : why + " in \"" + value + "\"; quote as sh does, e.g. 'curl -sf http://127.0.0.1:8080/healthz'";
#endif
                 },
                 "")),
         kInRuns, kNothingToGuard);
    goes(duration(app, "--probe-interval", options.probeIntervalMilliseconds,
                  "how often each --stop-if-probe-fails command starts\n(default 1s)"),
         kInRuns, kNothingToGuard);
    goes(duration(app, "--probe-timeout", options.probeTimeoutMilliseconds,
                  "how long a probe may run before it is ended and\ncounts as timed out (default --probe-interval)"),
         kInRuns, kNothingToGuard);
    goes(app.add_flag("--stop-if-low-memory", options.lowMemory,
                      "Windows: end the run (status 123) once the system\nsignals that its memory is low")
             ->check(noValue("--stop-if-low-memory")),
         kInRuns, kNothingToGuard);
    goes(app.add_option_function<std::string>(
                "--kind", [&options](const std::string& value) { options.kind = parseKind(value).value_or(KindRequest{}); },
                "the memory a hold takes: anon (default), file[:DIR]\n(the page cache of a file made in DIR, "
                "default\n$TMPDIR or /var/tmp, gone whatever ends the run) or\nshmem (shared memory, as "
                "/dev/shm holds)")
             ->type_name("KIND")
             ->take_last()
             ->check(formCheck([](const std::string& value) { return parseKind(value).has_value(); }, "a kind",
                               "anon, file, file:DIR or shmem, e.g. --kind file:/var/tmp")),
         kInHolds,
         "--kind goes with --hold or --keep-available, not a script: a script's block is the window's, "
         "always anonymous memory");

    // The held pages themselves (runs/held_pages.h).
    CLI::Option* lock = app.add_flag("--lock", options.lock,
                                     "lock the held pages in memory (Linux: within the\nsoft RLIMIT_MEMLOCK, or any "
                                     "amount with\nCAP_IPC_LOCK)")
                            ->check(noValue("--lock"));
    goes(lock, kInHolds);
    // A flag whose value, if any, is joined with '=': "--huge -- cmd" and
    // "--huge --for 1s" keep their meaning.
    CLI::Option* huge = app.add_flag("--huge", table.huge,
                                     "hold transparent huge pages, and say how much the\nsystem made huge "
                                     "(AnonHugePages); =hugetlb: pages\nof the hugetlb pool, checked against "
                                     "HugePages_Free")
                            ->type_name("[=hugetlb]")
                            ->take_last()
                            // Given alone, CLI11 sets it to "true".
                            ->check(formCheck([](const std::string& value) { return value == "true" || value == "hugetlb"; },
                                              "a kind of huge page", "--huge alone, or --huge=hugetlb"));
    goes(huge, kInHolds);
    CLI::Option* content =
        app.add_option_function<std::string>(
               "--content", [&options](const std::string& value) { options.content = *parseContent(value); },
               "what the held pages hold: fill (the access load's\ncycling byte, the default), zero, random "
               "(every page\nunique, incompressible) or compressible:N (each 4 KiB\npage compresses about N:1); "
               "-a rewrites them alike")
            ->type_name("KIND")
            ->take_last()
            ->check(formCheck([](const std::string& value) { return parseContent(value).has_value(); },
                              "a content", kContentForms));
    goes(content, kInHolds);
    // Warm at a cost (runs/warm_load.h).
    CLI::Option* rate =
        app.add_option_function<std::string>(
               "--access-rate",
               [&options](const std::string& value) { options.accessRate = readRate(value).bytesPerSecond; },
               "with -a: spread the access load's writes at RATE\n(e.g. 1G/s) instead of whole passes; the log "
               "says\nthe rate achieved")
            ->type_name("RATE")
            ->take_last()
            ->check(CLI::Validator([](std::string& value) { return readRate(value).error; }, ""));
    goes(rate, kInHolds);
    CLI::Option* touch = app.add_flag("--touch", options.touch,
                                      "keep every held page referenced: read and write back\nits first word every "
                                      "--touch-interval (page cache:\nread only), at a tiny share of a core")
                             ->check(noValue("--touch"));
    goes(touch, kInHolds,
         "--touch goes with --hold, --keep-available, --pressure or --stages, not a script: a script's block "
         "is kept warm by -a, as the window does");
    CLI::Option* touchInterval = duration(app, "--touch-interval", options.touchIntervalMilliseconds,
                                          "how often --touch touches every page; default 1s");
    goes(touchInterval, kInHolds);
    const CLI::Option* access = app.get_option("--access-load");
    const CLI::Option* lazy = app.get_option("--lazy");
    table.clashes.insert(
        table.clashes.end(),
        {
            {lock, lazy,
             "--lock and --lazy: a locked page is resident, and --lazy asks for pages that are not; leave out one of "
             "them"},
            {content, lazy,
             "--content and --lazy: the content is written into every page, which makes it resident; leave out one "
             "of them"},
            {touch, lazy, "--touch and --lazy: a touch writes every page, which makes it resident; leave out one of them"},
            {rate, lazy,
             "--access-rate and --lazy: the access load writes every page, which makes it resident; leave out one of "
             "them"},
            {touch, access,
             "-a and --touch: -a rewrites every byte, which keeps every page referenced already; use --touch alone "
             "for the cheap way, or -a with --access-rate for a chosen cost"},
        });

    app.add_option("SCRIPT", scripts,
                   "the script to run; after --, the next argument is the\nscript even if it starts with '-'. "
                   "With --hold or\n--keep-available: the command and its arguments");
}

std::string optionList(const CLI::App& app) {
    std::string list;
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_positional() || option->get_lnames().empty() || option->get_group().empty()) continue;
        if (!list.empty()) list += ", ";
        list += "--" + option->get_lnames().front();
        if (option->get_expected_max() > 0) list += " " + option->get_type_name();
    }
    return list;
}

// The kind of run the command line asks for.
unsigned kindOf(const Options& options) {
    switch (options.mode) {
    case RunMode::Hold: return kInHold;
    case RunMode::KeepAvailable: return kInKeep;
    case RunMode::Pressure: return kInPressure;
    case RunMode::Stages: return kInStages;
    case RunMode::Script: break;
    }
    return options.check ? kInCheck : kInScript;
}

// The kinds of run in words: "--hold or --keep-available".
std::string kindsText(unsigned kinds, const char* between) {
    if (kinds == kAnywhere) return "any";
    std::string text;
    for (const auto& [bit, words] : {std::pair{kInHold, "--hold"}, std::pair{kInKeep, "--keep-available"},
                                     std::pair{kInPressure, "--pressure"}, std::pair{kInStages, "--stages"},
                                     std::pair{kInScript, "a script"}, std::pair{kInCheck, "--check"}}) {
        if (!(kinds & bit)) continue;
        if (!text.empty()) text += between;
        text += words;
    }
    return text;
}

// "--lazy goes with --hold, not --keep-available"; "--for goes with --hold
// or --keep-available".
std::string refusal(const Joined& join, unsigned kind) {
    if (join.whyNot) return join.whyNot;
    const std::string name = "--" + join.option->get_lnames().front();
    if (kind == kInKeep && (join.kinds & kInHold)) return name + " goes with --hold, not --keep-available";
    if (kind == kInPressure) return name + " goes with " + kindsText(join.kinds & ~kInCheck, " or ") + ", not --pressure";
    return name + " goes with " + kindsText(join.kinds & ~kInCheck, " or ");
}

// The guards' rules between options.
std::string guardUsageError(const CLI::App& app, const Options& options) {
    if (options.mode == RunMode::Script && app.count("--interval") && !options.guarded()) {
        return "--interval goes with --hold, --keep-available, --pressure or --stages, or with a script that has a guard "
               "(--stop-if-room-below, --stop-if-probe-fails, --stop-if-pressure)";
    }
    for (const char* name : {"--probe-interval", "--probe-timeout"}) {
        if (app.count(name) && options.probes.empty()) {
            return std::string(name) + " goes with --stop-if-probe-fails CMD";
        }
    }
    if (options.probeIntervalMilliseconds < 10) return "--probe-interval: at least 10ms; e.g. 1s";
    if (options.probeTimeoutMilliseconds && *options.probeTimeoutMilliseconds < 10) {
        return "--probe-timeout: at least 10ms; e.g. 1s";
    }
#ifndef _WIN32
    if (options.lowMemory) {
        return "--stop-if-low-memory: Linux gives no low-memory signal to wait on; use --stop-if-room-below SIZE, "
               "e.g. --stop-if-room-below 512M";
    }
#endif
    // Sizes of one form compare as typed; a share against bytes only once
    // the room's total is known, where the guard then trips at the start.
    if (options.mode == RunMode::KeepAvailable) {
        for (const Options::RoomGuardOption& guard : options.roomBelow) {
            const SizeRequest& keep = options.size;
            if (guard.below.kind != keep.kind) continue;
            if (keep.kind == SizeRequest::Kind::Bytes && keep.bytes >= guard.below.bytes) continue;
            if (keep.kind == SizeRequest::Kind::PercentOfTotal && keep.percent >= guard.below.percent) continue;
            return "--keep-available " + app.get_option("--keep-available")->as<std::string>() +
                   " keeps the room below --stop-if-room-below " + guard.given +
                   ", which would end the run once the room is kept; keep at least " + guard.given +
                   " or lower the guard";
        }
    }
    return {};
}

// --stages with what another mode's options do: each named with why.
std::string stagesClash(const CLI::App& app) {
    if (!app.count("--stages")) return {};
    for (const char* other : {"--hold", "--keep-available"}) {
        if (app.count(other)) return std::string("--stages and ") + other + ": one at a time";
    }
    const struct {
        const char *name, *why;
    } clashes[] = {
        {"--for", "the stages say how long the run lasts; add a last stage to hold longer"},
        {"--ramp", "the stages are the ramp; write it as stages, e.g. 10s:1G"},
        {"--lazy", "every stage is made resident"},
        {"--partial", "every stage is checked against the room before anything is taken"},
        {"--max", "the stages' sizes are the most held"},
    };
    for (const auto& clash : clashes) {
        if (app.count(clash.name)) return std::string(clash.name) + " does not go with --stages: " + clash.why;
    }
    return {};
}

// The rules between options that no single option can check.
std::string usageError(const CLI::App& app, Options& options, const OptionTable& table) {
    for (const std::string& extra : app.remaining()) {
        // With extras allowed, CLI11 also keeps the "--" that ended the options.
        if (extra != "--") return "unknown option " + extra + "; the options are " + optionList(app);
    }
    if (table.version || table.reference) return {};
    // Fewer would be a sample per tick or more: the log would be all samples.
    if (options.sampleMilliseconds && *options.sampleMilliseconds < 50) return "--sample: at least 50ms; e.g. 1s";
    if (app.count("--hold") && app.count("--keep-available")) return "--hold and --keep-available: one at a time";
    if (app.count("--pressure") && (app.count("--hold") || app.count("--keep-available"))) {
        return std::string(app.count("--hold") ? "--hold" : "--keep-available") + " and --pressure: one at a time";
    }
#ifdef _WIN32
    // Declared all the same, so that --help and the reference are one text.
    for (const char* name : {"--pressure", "--stop-if-pressure", "--pressure-from"}) {
        if (app.count(name)) {
            return std::string(name) +
                   ": Linux's memory stall figures (/proc/pressure/memory, a cgroup's memory.pressure) do not "
                   "exist on Windows; " +
                   (std::string(name) == "--pressure" ? "--keep-available holds the room at a level instead"
                                                      : "--stop-if-room-below guards the room instead");
        }
    }
#endif
    if (app.count("--pressure-window") && options.mode != RunMode::Pressure && options.stopIfPressure.empty()) {
        return "--pressure-window is the window --pressure or --stop-if-pressure measures the stall share over; "
               "give one of them, e.g. --stop-if-pressure full=30%";
    }
    if (app.count("--pressure-from") && options.mode != RunMode::Pressure && options.stopIfPressure.empty()) {
        return "--pressure-from says whose stall --pressure or --stop-if-pressure reads; give one of them, "
               "e.g. --pressure some=10%";
    }
    if (const std::string clash = stagesClash(app); !clash.empty()) return clash;
    const unsigned kind = kindOf(options);
    for (const Joined& join : table.joins) {
        if (join.option->count() > 0 && !(join.kinds & kind)) return refusal(join, kind);
    }
    if (const std::string guards = guardUsageError(app, options); !guards.empty()) return guards;
    for (const Clash& clash : table.clashes) {
        if (clash.first->count() > 0 && clash.second->count() > 0) return clash.why;
    }
    if (!table.huge.empty()) options.huge = table.huge == "hugetlb" ? HugePages::Pool : HugePages::Transparent;
    if (options.huge != HugePages::None && !table.scripts.empty() && table.scripts[0] == "hugetlb") {
        return "--huge hugetlb: write --huge=hugetlb (a command goes after --)";
    }
    if (options.huge == HugePages::Pool && options.mode == RunMode::KeepAvailable) {
        return "--huge=hugetlb and --keep-available: the hugetlb pool is no part of the memory room, so its "
               "pages cannot keep the room at a level; use --huge alone, or --hold";
    }
    const std::vector<std::string>& scripts = table.scripts;
    if (options.mode != RunMode::Script) {
        options.command = scripts;
        if (options.forMilliseconds && !options.command.empty()) {
            return "--for ends a hold that has no command; to end the command as well, use --timeout";
        }
        if (options.intervalMilliseconds < 10) return "--interval: at least 10ms; e.g. 250ms";
        if (options.accessRate && !options.accessLoad) {
            return "--access-rate sets the access load's rate, and -a (--access-load) is not given; add -a, "
                   "or use --touch to keep the pages referenced without it";
        }
        if (app.count("--touch-interval") && !options.touch) return "--touch-interval goes with --touch";
        if (options.touch && options.touchIntervalMilliseconds < 10) return "--touch-interval: at least 10ms; e.g. 1s";
        if (options.lazy && options.kind.kind != HeldKind::Anon) {
            return std::string("--lazy with --kind ") + kindName(options.kind.kind) +
                   ": lazy memory is only committed, and page cache and shared memory are made only by "
                   "writing them; leave out --lazy";
        }
        if (options.lock && options.kind.kind == HeldKind::File) {
            return "--lock with --kind file: page cache is held to be reclaimable, and locking it would pin "
                   "it; use --kind shmem or anon to lock, or leave out --lock";
        }
        if (options.huge != HugePages::None && options.kind.kind != HeldKind::Anon) {
            return std::string("--huge with --kind ") + kindName(options.kind.kind) +
                   (options.kind.kind == HeldKind::File
                        ? ": page cache is not mapped in huge pages of ours; leave out --huge"
                        : ": shared memory follows the system's shmem huge-page setting "
                          "(/sys/kernel/mm/transparent_hugepage/shmem_enabled), not ours; leave out --huge");
        }
        return {};
    }
    if (scripts.empty()) return "no script named; give one, e.g. torvane-run --yes hold.evk";
    // "torvane-run hold 128M": an option written without its dashes.
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_lnames().empty() || option->get_group().empty()) continue;
        if (scripts[0] != option->get_lnames().front()) continue;
        std::string meant = "--" + scripts[0];
        if (option->get_expected_max() > 0 && scripts.size() > 1) meant += " " + scripts[1];
        return "\"" + scripts[0] + "\" is no script but an option's name: did you mean " + meant + "?";
    }
    if (scripts.size() > 1) return "one script at a time: " + scripts[1] + " is one too many";
    if (scripts[0].empty()) return "the script's name is empty";
    return {};
}

std::string helpOf(CLI::App& app) {
    std::string text = app.help();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string makeHelpText() {
    CLI::App app("", "torvane-run");
    Options options;
    OptionTable table;
    declare(app, options, table);
    return helpOf(app);
}

// A help text's lines as one line, for a table cell.
std::string cellText(std::string text) {
    for (char& c : text) {
        if (c == '\n') c = ' ';
        if (c == '|') c = '/';
    }
    return text;
}


// The reference, in Markdown, from the option table, the exit-status table
// and the event kinds.
std::string makeReference() {
    CLI::App app("", "torvane-run");
    Options options;
    OptionTable table;
    declare(app, options, table);
    std::string text =
        "# `torvane-run` reference\n\n"
        "Made by `torvane-run --reference` from the program's own tables; a test\n"
        "checks that this copy matches. The everyday tasks are in the README; how\n"
        "torvane-run behaves in containers and on each system, in notes.md.\n\n"
        "## Synopsis\n\n```text\n" +
        std::string(kUsage) +
        "       torvane-run --check [--json] SCRIPT\n"
        "       torvane-run --version\n```\n\n" +
        cellText(kDescription) + "\n\n" + cellText(kSizeAndDuration) +
        "\n\n## Options\n\n| Option | Value | Goes with | What it does |\n| --- | --- | --- | --- |\n";
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_group().empty()) continue;  // hidden: --reference
        unsigned kinds = kAnywhere;
        for (const Joined& join : table.joins) {
            if (join.option == option) kinds = join.kinds;
        }
        if (option->get_positional()) kinds = kInScript | kInCheck | kInHolds;
        text += "| `" + option->get_name(false, true) + "` | " + option->get_type_name() + " | " + kindsText(kinds, ", ") +
                " | " + cellText(option->get_description()) + " |\n";
    }
    text += "\nSCRIPT with `--hold`, `--keep-available` or `--stages`: the command and its arguments, after `--`.\n";
    text += "\n## Exit status\n\n| Status | Name | Runs | Meaning |\n| --- | --- | --- | --- |\n";
    for (unsigned k = 0; k < kExitStatusCount; ++k) {
        const ExitStatusRow& row = kExitStatuses[k];
        std::string runs;
        for (const auto& [bit, words] : {std::pair{kScriptRun, "script"}, std::pair{kHoldRun, "hold"},
                                         std::pair{kCheckRun, "--check"}}) {
            if (!(row.modes & bit)) continue;
            if (!runs.empty()) runs += ", ";
            runs += words;
        }
        text += std::string("| ") + row.shown + " | `" + row.name + "` | " + runs + " | " + cellText(row.meaning) +
                " |\n";
    }
    text += "\n## Events\n\nEach event is one text line (its column below) or, with `--json`, one JSON\n"
            "object whose `event` is the name below.\n\n| Event | Text column | Meaning |\n| --- | --- | --- |\n";
    for (unsigned k = 0; k < kEventKindCount; ++k) {
        const EventKindRow& row = kEventKinds[k];
        text += std::string("| `") + row.name + "` | `" + row.column + "` | " + row.meaning + " |\n";
    }
    text += "\n## --help\n\nAs `torvane-run --help` prints them:\n\n```text\n" + helpOf(app) + "\n```\n";
    return text;
}
}  // namespace

const std::string kHelpText = makeHelpText();

std::string referenceText() { return makeReference(); }

const char* versionText() { return "torvane-run " TORVANE_VERSION; }

ParsedCommandLine parseCommandLine(int argc, const char* const* argv) {
    ParsedCommandLine parsed;
    CLI::App app("", "torvane-run");
    OptionTable table;
    declare(app, parsed.options, table);
    std::string error = pathValueError(argc, argv, table);
    try {
        if (error.empty()) app.parse(argc, argv);
        if (error.empty()) error = usageError(app, parsed.options, table);
    } catch (const CLI::CallForHelp&) {
        parsed.outcome = Parsed::Help;
        return parsed;
    } catch (const CLI::ParseError& e) {
        error = e.what();
    }
    if (!error.empty()) {
        // Arguments are quoted in the message as typed: escaped like every
        // other printed text, so that none reaches a terminal as a control.
        parsed.error = oneLine(error);
        return parsed;
    }
    if (table.version || table.reference) {
        parsed.outcome = table.version ? Parsed::Version : Parsed::Reference;
        return parsed;
    }
    if (parsed.options.mode == RunMode::Script) parsed.options.script = table.scripts[0];
    parsed.outcome = Parsed::Run;
    return parsed;
}

bool jsonAsked(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--") return false;
        if (argument == "--json") return true;
    }
    return false;
}

std::string folderOf(const std::string& path) {
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("/\\:");
    if (slash == std::string::npos) return {};
    // "C:\x.evk" and "\x.evk": the root itself; "C:x.evk": that drive's folder.
    if (path[slash] == ':' || slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
    return path.substr(0, slash);
#else
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
#endif
}
