// torvane-run: a script run from the command line, with the window's reader
// and runner behind a console host.
#include "console_host.h"
#include "console_text.h"
#include "load/load_state.h"
#include "memory_room.h"
#include "options.h"
#include "room_checked_allocator.h"
#include "stop_request.h"

namespace {
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSignalBase = 128;
}  // namespace

int main(int argc, char** argv) {
    openMissingStreams();
    const ParsedCommandLine parsed = parseCommandLine(argc, argv);
    if (parsed.outcome == Parsed::Help) {
        writeLine(Stream::Out, kHelpText);
        return 0;
    }
    if (parsed.outcome == Parsed::UsageError) {
        writeLine(Stream::Err, "torvane-run: " + parsed.error + " (try --help)");
        return kExitUsage;
    }
    catchStopRequests();
    const Options& options = parsed.options;

    // This run's own records: the window's load engine, reached the same way.
    LoadBlock load;
    AccessLoad access;
    ConsoleHost host(options, load, access);
    // With the access load a normal-mode block is written whole at its first
    // pass, so it must fit the memory room as a physical one must.
    RoomCheckedAllocator allocator(
        platformAllocator(), readMemoryRoom, [&host](const std::string& text) { host.explain(text); },
        options.accessLoad && !options.physical);
    const int result = runScript(host, load, allocator, options.physical ? 1 : 0);
    if (result == kScriptStopped || stopSignalled()) {
        host.reportStop();
        stopFinished();
        if (stopSignalled()) return kExitSignalBase + stopSignal();
    }
    if (outputLost()) {
        writeLine(Stream::Err, "torvane-run: " + outputLossReason() +
                                   "; the run was stopped and its block released");
        return kExitFailed;
    }
    if (host.refused()) return kExitUsage;
    return result;
}
