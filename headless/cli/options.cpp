#include "headless/cli/options.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <vector>

#include "headless/cli/durations.h"
#include "headless/cli/exit_status.h"
#include "headless/record/log_line.h"
#include "headless/cli/sizes.h"
#include "headless/runs/parallel_fill.h"

namespace {
constexpr char kUsage[] =
    "Usage: torvane-run [options] SCRIPT\n"
    "       torvane-run [options] --hold SIZE [--ramp STEP/INTERVAL] [--for DURATION]\n"
    "                   [-- COMMAND [ARG...]]\n"
    "       torvane-run [options] --keep-available SIZE [--for DURATION]\n"
    "                   [-- COMMAND [ARG...]]\n";

constexpr char kDescription[] =
    "Runs a Torvane script (.evk) unattended, with the same rules, commands and\n"
    "texts as the window's Script Exec. Or holds memory sized to the machine\n"
    "or its container (--hold, --keep-available), for a time or around a\n"
    "command whose exit status becomes torvane-run's.\n"
    "\n"
    "SIZE: 512M, 2G, 1.5G, 300K (binary units); 80% of the memory room's total\n"
    "(the machine's memory or the container's limit); all-2G (all the room\n"
    "holds now but 2G). DURATION: 500ms, 30s, 5m, 1h or a number of seconds.";

constexpr char kFooter[] =
    "Every event is one line: local time, the process's resident memory, its\n"
    "committed memory and the memory room (what may still be made resident,\n"
    "marked (cgroup) or (job) when a limit sets it), the kind of event (status,\n"
    "popup, confirm, command, exit, hold, ramp, keep, adjust, release, sample,\n"
    "stop; error on standard error) and its text. External commands start in\n"
    "the script's folder; a hold's command in the current folder.";

constexpr char kDurationForms[] = "use e.g. 500ms, 30s, 5m, 1h or a number of seconds, up to 100 days";

// CLI11's layout, with the usage line first and the script shown once.
class HelpLayout : public CLI::Formatter {
public:
    std::string make_description(const CLI::App*) const override { return {}; }
    std::string make_usage(const CLI::App* app, std::string) const override {
        return std::string(kUsage) + "\n" + app->get_description() + "\n";
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

// A DURATION option: the text becomes a count of milliseconds before CLI11
// reads the number.
template <typename Target>
void duration(CLI::App& app, const char* name, Target& target, const char* text) {
    app.add_option(name, target, text)
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
        ->check(formCheck([](const std::string& value) { return parseSize(value).has_value(); }, "a size",
                          kSizeForms));
}

// The one table of options: the parser and --help are both made from it.
// Every script argument lands in `scripts`, so that "one too many" can be
// told apart from an unknown option.
void declare(CLI::App& app, Options& options, std::vector<std::string>& scripts) {
    app.description(kDescription);
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
        app.add_flag(flag.names, options.*flag.field, flag.text)->check(noValue(shown));
    }

    duration(app, "--grace", options.graceMilliseconds,
             "how long a `run` command gets to end after a stop is\npassed on to it, before it is killed; "
             "default 5s");
    duration(app, "--timeout", options.timeoutMilliseconds,
             "end the whole run after DURATION, whatever it is doing:\nthe memory released, a command ended, "
             "exit status 124");
    duration(app, "--sample", options.sampleMilliseconds,
             "a sample event every DURATION with what is held and\nthe memory figures, also during "
             "pauses and commands");
    app.add_option("--report", options.report,
                   "at the end of the run, however it ends, write an\nHTML report to FILE: a chart of the "
                   "memory over\ntime, every event, the exit status")
        ->type_name("FILE")
        ->take_last()
        ->check(formCheck([](const std::string& value) { return !value.empty(); }, "a file name",
                          "e.g. --report run.html"));
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
        ->check(CLI::Range(1u, 256u));
#ifndef _WIN32
    app.add_option("--oom-score-adj", options.oomScoreAdjust,
                   "this process's OOM score adjustment, -1000 to 1000:\n1000 makes the load die first, "
                   "-1000 (root) the\nsystem under test; commands keep their own")
        ->type_name("N")
        ->take_last()
        ->check(CLI::Range(-1000, 1000));
#endif

    sizeOption(app, "--hold", options, RunMode::Hold,
               "take SIZE and hold it, resident unless --lazy; reports\nwhen it is reached");
    sizeOption(app, "--keep-available", options, RunMode::KeepAvailable,
               "hold whatever keeps the memory room at SIZE, within\nmax(32M, 1%) of its total, as other "
               "processes take\nand free memory");
    app.add_option_function<std::string>(
           "--ramp", [&options](const std::string& value) { options.ramp = parseRamp(value); },
           "--hold: reach SIZE in steps, e.g. 256M/5s")
        ->type_name("STEP/INTERVAL")
        ->take_last()
        ->check(formCheck([](const std::string& value) { return parseRamp(value).has_value(); },
                          "a ramp step", kRampForms));
    app.add_flag("--lazy", options.lazy, "--hold: only commit the memory; do not make it resident")
        ->check(noValue("--lazy"));
    app.add_flag("--partial", options.partial,
                 "--hold: when SIZE does not fit the room, take what\nfits and say so, instead of failing")
        ->check(noValue("--partial"));
    duration(app, "--for", options.forMilliseconds, "end the hold after DURATION (status 0); without it\n"
                                                    "and without a command, a stop ends it");
    duration(app, "--interval", options.intervalMilliseconds,
             "--keep-available: how often the room is read\n(default 250ms)");

    app.add_option("SCRIPT", scripts,
                   "the script to run; after --, the next argument is the\nscript even if it starts with '-'. "
                   "With --hold or\n--keep-available: the command and its arguments");
}

std::string optionList(const CLI::App& app) {
    std::string list;
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_positional() || option->get_lnames().empty()) continue;
        if (!list.empty()) list += ", ";
        list += "--" + option->get_lnames().front();
        if (option->get_expected_max() > 0) list += " " + option->get_type_name();
    }
    return list;
}

// The rules between options that no single option can check.
std::string holdUsageError(const CLI::App& app, const Options& options) {
    const bool keep = options.mode == RunMode::KeepAvailable;
    if (app.count("--hold") && app.count("--keep-available")) return "--hold and --keep-available: one at a time";
    if (options.check) return "--check reads a script; it does not go with --hold or --keep-available";
    if (options.forMilliseconds && !options.command.empty()) {
        return "--for ends a hold that has no command; to end the command as well, use --timeout";
    }
    for (const char* holdOnly : {"--ramp", "--lazy", "--partial"}) {
        if (keep && app.count(holdOnly)) return std::string(holdOnly) + " goes with --hold, not --keep-available";
    }
    if (options.intervalMilliseconds < 10) return "--interval: at least 10ms; e.g. 250ms";
    return {};
}

std::string usageError(const CLI::App& app, Options& options, const std::vector<std::string>& scripts) {
    for (const std::string& extra : app.remaining()) {
        // With extras allowed, CLI11 also keeps the "--" that ended the options.
        if (extra != "--") return "unknown option " + extra + "; the options are " + optionList(app);
    }
    // Fewer would be a sample per tick or more: the log would be all samples.
    if (options.sampleMilliseconds && *options.sampleMilliseconds < 50) return "--sample: at least 50ms; e.g. 1s";
    if (options.check && (options.sampleMilliseconds || !options.report.empty())) {
        return "--check runs nothing, so there is nothing to sample or report; leave out --sample and --report";
    }
    if (options.mode != RunMode::Script) {
        options.command = scripts;
        return holdUsageError(app, options);
    }
    for (const char* holdOnly : {"--ramp", "--lazy", "--partial", "--for", "--interval"}) {
        if (app.count(holdOnly)) return std::string(holdOnly) + " goes with --hold or --keep-available";
    }
    if (scripts.empty()) return "no script named; give one, e.g. torvane-run --yes hold.evk";
    if (scripts.size() > 1) return "one script at a time: " + scripts[1] + " is one too many";
    if (scripts[0].empty()) return "the script's name is empty";
    return {};
}

std::string makeHelpText() {
    CLI::App app("", "torvane-run");
    Options options;
    std::vector<std::string> scripts;
    declare(app, options, scripts);
    std::string text = app.help();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}
}  // namespace

const std::string kHelpText = makeHelpText();

ParsedCommandLine parseCommandLine(int argc, const char* const* argv) {
    ParsedCommandLine parsed;
    CLI::App app("", "torvane-run");
    std::vector<std::string> scripts;
    declare(app, parsed.options, scripts);
    std::string error;
    try {
        app.parse(argc, argv);
        error = usageError(app, parsed.options, scripts);
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
    if (parsed.options.mode == RunMode::Script) parsed.options.script = scripts[0];
    parsed.outcome = Parsed::Run;
    return parsed;
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
