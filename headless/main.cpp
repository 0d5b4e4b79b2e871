// torvane-run: a script run from the command line, with the window's reader
// and runner behind a console host; or memory held without a script.
#include "headless/check/check_command.h"
#include "headless/cli/exit_status.h"
#include "headless/cli/options.h"
#include "headless/memory/room_checked_allocator.h"
#include "headless/metrics/live_figures.h"
#include "headless/metrics/metrics_endpoint.h"
#include "headless/metrics/metrics_file.h"
#include "headless/record/json_line.h"
#include "headless/record/local_time.h"
#include "headless/record/report_file.h"
#include "headless/record/run_log.h"
#include "headless/record/run_report.h"
#include "headless/record/text_line.h"
#include "headless/runs/console_host.h"
#include "headless/runs/guard.h"
#include "headless/runs/held_kind.h"
#include "headless/runs/held_pages.h"
#include "headless/runs/hold_run.h"
#include "headless/runs/pressure_guard.h"
#include "headless/runs/run_control.h"
#include "headless/system/block_allocator.h"
#include "headless/system/console_text.h"
#include "headless/system/held_pages.h"
#include "headless/system/memory_figures.h"
#include "headless/system/memory_room.h"
#include "headless/system/squeeze_room.h"
#include "headless/system/oom_score.h"
#include "headless/system/replace_file.h"
#include "headless/system/stop_request.h"

namespace {
int runScriptMode(const Options& options, BlockAllocator& allocator, RunOutcome& outcome) {
    // This run's own records: the window's load engine, reached the same way.
    LoadBlock load;
    AccessLoad access;
    ConsoleHost host(options, load, access);
    if (options.strict) {
        StrictCheck strict = checkStrictly(options);
        if (!strict.run) {
            outcome.reason = runShouldStop() ? stopReason() : "error";
            outcome.reached = false;
            return strict.status;
        }
        if (strict.script) host.runFrom(std::move(strict.script));
    }
    const int result = runScript(host, load, allocator, options.physical ? 1 : 0);
    host.reportSkipped();
    if (result == kScriptStopped || runShouldStop()) {
        host.reportStop();
        outcome.reason = stopReason();
        outcome.reached = false;
        return stoppedRunStatus();
    }
    if (host.refused()) {
        outcome.reason = "error";
        outcome.reached = false;
        return exitCode(Exit::Usage);
    }
    if (result != 0) {
        outcome.reason = "error";
        outcome.reached = false;
    }
    return result;
}

// The report's path, decided before anything is taken: 2 when the command
// line can never work, 1 when the file cannot be written there now, 0 once
// the first page is on the disk.
int startReport(const Options& options, const std::string& shown, ReportFile& report) {
    ReportClash clash = ReportClash::None;
    if (options.mode == RunMode::Script && sameFile(options.report, options.script)) clash = ReportClash::Script;
    if (isStandardStream(options.report)) clash = ReportClash::StandardStream;
    const std::string fault = reportPathFault(options.report, pathFacts(options.report), clash);
    if (!fault.empty()) {
        logEvent(errorEvent("report-refused", "torvane-run: --report " + shown + ": " + fromScript(fault),
                            TextForm::Bare));
        return exitCode(Exit::Usage);
    }
    std::string why;
    if (report.start(why)) return 0;
    logEvent(errorEvent("report-unwritable",
                        "torvane-run: --report: cannot write " + shown + ": " + why +
                            "; give a path in a folder that exists and can be written",
                        TextForm::Bare));
    return exitCode(Exit::Failed);
}

// The metrics file's path, as the report's: 2 when the command line can
// never work.
int checkMetricsFilePath(const Options& options, const std::string& shown) {
    const bool isReport = !options.report.empty() &&
                          (options.report == options.metricsFile || sameFile(options.report, options.metricsFile));
    const std::string fault = metricsFilePathFault(
        options.metricsFile, pathFacts(options.metricsFile),
        options.mode == RunMode::Script && sameFile(options.metricsFile, options.script),
        isStandardStream(options.metricsFile), isReport);
    if (fault.empty()) return 0;
    logEvent(errorEvent("metrics-file-refused", "torvane-run: --metrics-file " + shown + ": " + fromScript(fault),
                        TextForm::Bare));
    return exitCode(Exit::Usage);
}

// Its first version, before anything is taken: 1 when it cannot be written.
int startMetricsFile(const std::string& shown, MetricsFile& file) {
    std::string why;
    if (file.start(why)) return 0;
    logEvent(errorEvent("metrics-file-unwritable",
                        "torvane-run: --metrics-file: cannot write " + shown + ": " + why +
                            "; give a path in a folder that exists and can be written",
                        TextForm::Bare));
    return exitCode(Exit::Failed);
}

// The endpoint, listening before anything is taken: 1 when it cannot.
int startEndpoint(const Options& options, MetricsEndpoint& endpoint, MetricsEndpoint::Body body) {
    std::string why;
    if (endpoint.open(*options.metrics, why) && endpoint.start(std::move(body), why)) return 0;
    logEvent(errorEvent("metrics-unavailable", "torvane-run: --metrics " + shownAddress(*options.metrics) + ": " + why,
                        TextForm::Bare));
    return exitCode(Exit::Failed);
}
}  // namespace

int main(int argc, char** argv) {
    openMissingStreams();
    const ParsedCommandLine parsed = parseCommandLine(argc, argv);
    if (parsed.outcome == Parsed::Help) {
        writeLine(Stream::Out, kHelpText);
        return exitCode(Exit::Done);
    }
    if (parsed.outcome == Parsed::Version || parsed.outcome == Parsed::Reference) {
        writeLine(Stream::Out, parsed.outcome == Parsed::Version ? versionText() : referenceText());
        return exitCode(Exit::Done);
    }
    if (parsed.outcome == Parsed::UsageError) {
        // Said as a JSON line when --json was asked for, even on a line that
        // does not parse: a pipeline reads every error the same way.
        TextLines textLines(false);
        JsonLines jsonLines(false);
        setUpRunLog({{jsonAsked(argc, argv) ? static_cast<EventSink*>(&jsonLines) : &textLines}, {}, {}, {}});
        logEvent(errorEvent("usage", "torvane-run: " + parsed.error + " (try --help)", TextForm::Bare));
        return exitCode(Exit::Usage);
    }
    catchStopRequests();
    const Options& options = parsed.options;
    if (options.timeoutMilliseconds) setRunDeadline(*options.timeoutMilliseconds);
    if (options.check) return runCheckCommand(options);

    // Locked or huge pages and their content, for every mode that holds
    // memory; the hugetlb pool's pages are checked against the pool.
    // A hold's --kind file or shmem takes its blocks from pages of its own,
    // opened before anything is taken; a refusal is said once the log is up.
    OpenedPages kindPages;
    if (options.mode != RunMode::Script && options.kind.kind != HeldKind::Anon) kindPages = openHeldPages(options.kind);
    PagesAllocator pages(kindPages.pages ? static_cast<BlockAllocator&>(*kindPages.pages) : platformAllocator(),
                         pageSettingsOf(options),
                         [](const char* code, const std::string& text) { logEvent(errorEvent(code, text)); },
                         kindPages.pages.get());
    // Resident blocks must fit the memory room. With the access load a
    // normal-mode block is written whole at its first pass, so it must fit
    // as a physical one must; a hold's memory is resident unless --lazy.
    RoomCheckedAllocator allocator(
        // --pressure squeezes the active page cache too: its room counts it.
        pages,
        options.huge == HugePages::Pool        ? RoomCheckedAllocator::ReadRoom(hugePoolRoom)
        : options.mode == RunMode::Pressure    ? RoomCheckedAllocator::ReadRoom(readSqueezeRoom)
                                               : RoomCheckedAllocator::ReadRoom(readMemoryRoom),
        [](const char* code, const std::string& text) { logEvent(errorEvent(code, text)); },
        options.accessLoad && !options.physical);
    allocator.setRoomCounts(options.kind.kind != HeldKind::File);
    useHeldKind(options.kind.kind, kindPages.pages.get());

    // The lines the user reads, and the report's record of the same events.
    const bool printSamples = options.sampleMilliseconds.has_value();
    TextLines textLines(printSamples);
    JsonLines jsonLines(printSamples);
    std::vector<EventSink*> sinks{options.json ? static_cast<EventSink*>(&jsonLines) : &textLines};
    std::optional<std::uint64_t> sampling = options.sampleMilliseconds;
    const std::string started = rfc3339(localTimeNow());
    const std::string reportShown = fromScript(options.report);
    std::optional<ReportFile> report;
    if (!options.report.empty()) {
        report.emplace(
            ReportHeader{machineName(), std::vector<std::string>(argv, argv + argc), std::nullopt, 0, started},
            reportUpdateSeconds(options.sampleMilliseconds),
            [&options](const std::string& html, Durability durability, std::string& why) {
                return replaceFile(options.report, html, durability, std::nullopt, why);
            },
            [&reportShown](const std::string& why) {
                logEvent(errorEvent("report-not-updated", "torvane-run: --report: cannot update " + reportShown +
                                                              ": " + why + "; it keeps its last page, and the run goes on"));
            });
        sinks.push_back(&*report);
        // Without --sample, the chart still needs points during long waits.
        if (!sampling) sampling = kReportSampleMilliseconds;
    }
    // The live figures (--metrics, --metrics-file): what the events say,
    // the allocator's count and the system's figures at each reading.
    LiveFiguresSink liveSink(liveFigures());
    sinks.push_back(&liveSink);
    const auto readFigures = [&allocator, &options] {
        return readFiguresNow(liveFigures(), allocator.held(), options.mode);
    };
    const std::string metricsFileShown = fromScript(options.metricsFile);
    std::optional<MetricsFile> metricsFile;
    if (!options.metricsFile.empty()) {
        metricsFile.emplace(
            readFigures, options.sampleMilliseconds ? static_cast<double>(*options.sampleMilliseconds) / 1000.0 : 1.0,
            [&options](const std::string& text, Durability durability, std::string& why) {
                // 0644: the collector often runs as a user of its own.
                return replaceFile(options.metricsFile, text, durability, 0644u, why);
            },
            [&metricsFileShown](const std::string& why) {
                logEvent(errorEvent("metrics-file-not-updated", "torvane-run: --metrics-file: cannot update " +
                                                                    metricsFileShown + ": " + why +
                                                                    "; it keeps its last figures, and the run goes on"));
            });
        sinks.push_back(&*metricsFile);
        // A sample a second without --sample, for the file's rewrites.
        if (!options.sampleMilliseconds) sampling = 1000;
    }
    setUpRunLog({sinks, sampling, [&allocator] { return allocator.held(); },
                 [&allocator, &options]() -> std::optional<std::uint64_t> {
                     // A level kept has no size asked for; its target is the event's target_room.
                     if (options.mode == RunMode::KeepAvailable) return std::nullopt;
                     if (options.mode == RunMode::Pressure) return std::nullopt;
                     return allocator.lastAsked();
                 }});
    if (options.mode != RunMode::Script) {
        HeldPages* pages = kindPages.pages.get();
        std::function<std::optional<std::uint64_t>()> resident;
        if (pages) resident = [pages] { return pages->resident(); };
        setHeldKind(kindName(options.kind.kind), std::move(resident));
    }
    if (!kindPages.error.empty()) {
        logEvent(errorEvent("kind-refused", "torvane-run: " + kindPages.error, TextForm::Bare));
        return exitCode(kindPages.usage ? Exit::Usage : Exit::Failed);
    }
    if (options.huge != HugePages::None) setHugeReader([&pages] { return pages.hugeBytes(); });
    if (metricsFile) {
        if (const int refused = checkMetricsFilePath(options, metricsFileShown)) return refused;
    }
    MetricsEndpoint endpoint;
    if (options.metrics) {
        const auto body = [readFigures] { return expositionText(metricFamilies(readFigures())); };
        if (const int refused = startEndpoint(options, endpoint, body)) return refused;
    }
    if (report) {
        if (const int refused = startReport(options, reportShown, *report)) return refused;
    }
    if (metricsFile) {
        if (const int refused = startMetricsFile(metricsFileShown, *metricsFile)) {
            std::string why;
            if (report) report->finish(refused, runSeconds(), why);
            return refused;
        }
    }
#ifndef _WIN32
    if (options.oomScoreAdjust) {
        std::string why;
        if (!adjustOomScore(*options.oomScoreAdjust, why)) {
            logEvent(errorEvent("oom-score-refused", "torvane-run: --oom-score-adj: " + why, TextForm::Bare));
            return exitCode(Exit::Failed);
        }
    }
#endif
    // A guard on stall figures this system does not have: said before
    // anything is taken, as --pressure says it.
    if (const std::string why = pressureGuardsUnreadable(options); !why.empty()) {
        logEvent(errorEvent("stall-unreadable", "torvane-run: " + why));
        return exitCode(Exit::Failed);
    }
    RunOutcome outcome;
    int status = options.mode == RunMode::Script ? runScriptMode(options, allocator, outcome)
                                                 : runHold(options, allocator, outcome);
    if (outputLost()) {
        logEvent(errorEvent("output-lost",
                            "torvane-run: " + outputLossReason() + "; the run was stopped and its memory released",
                            TextForm::Bare));
        status = exitCode(Exit::Failed);
        outcome.reason = "error";
        outcome.reached = false;
    }
    // The last event: how the run ended, whether it did what was asked.
    RunEvent end = endEvent(status, outcome.reason, outcome.reached);
    end.heldMax = allocator.heldMax();
    end.fullSeconds = outcome.fullSeconds;
    end.inBand = outcome.inBand;
    if (const GuardTrip* trip = guardTripped(); trip && std::string(outcome.reason) == "guard") end.guard = trip->guard;
    logEvent(std::move(end));
    endpoint.stop();
    if (metricsFile) {
        std::string why;
        if (!metricsFile->finish(status, why)) {
            logEvent(errorEvent("metrics-file-unwritable",
                                "torvane-run: --metrics-file: cannot write " + metricsFileShown + ": " + why +
                                    "; the file there has the last figures written during the run",
                                TextForm::Bare));
            if (status == 0) status = exitCode(Exit::Failed);
        }
    }
    if (report) {
        std::string why;
        if (!report->finish(status, runSeconds(), why)) {
            logEvent(errorEvent("report-unwritable",
                                "torvane-run: --report: cannot write " + reportShown + ": " + why +
                                    "; the file there is the last page written during the run",
                                TextForm::Bare));
            if (status == 0) status = exitCode(Exit::Failed);
        }
    }
    // Last: a closing console (Windows) ends the process once this is said.
    stopFinished();
    return status;
}
