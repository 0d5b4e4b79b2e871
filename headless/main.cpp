// torvane-run: a script run from the command line, with the window's reader
// and runner behind a console host.
#include "console_host.h"
#include "console_text.h"
#include "load/load_state.h"
#include "options.h"
#include "stop_request.h"

namespace {
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;
}  // namespace

int main(int argc, char** argv) {
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

    // This run's own records: the window's load engine, reached the same way.
    LoadBlock load;
    AccessLoad access;
    ConsoleHost host(parsed.options, load, access);
    const int result = runScript(host, load, platformAllocator(), parsed.options.physical ? 1 : 0);
    if (result == kScriptStopped || stopSignalled()) {
        host.reportStop();
        return kExitInterrupted;
    }
    if (host.refused()) return kExitUsage;
    return result;
}
