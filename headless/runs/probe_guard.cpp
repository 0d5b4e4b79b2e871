#include "headless/runs/probe_guard.h"

#include <cstdio>

#include "headless/cli/command_words.h"
#include "headless/record/run_texts.h"
#include "headless/runs/run_control.h"
#include "headless/record/mebibytes.h"
#include "headless/runs/tick_wait.h"
#include "headless/system/console_text.h"

namespace {
// The text as a person would type it again after the option.
std::string quoted(const std::string& text) {
    if (!text.empty() && text.find_first_of(" \t'\"\\$") == std::string::npos) return text;
    std::string shown = "'";
    for (char c : text) shown += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return shown + "'";
}

// ": connection refused", or nothing when the probe said nothing.
std::string saidPart(const std::string& said) {
    return said.empty() ? std::string() : runSaid(IDS_RUN_GUARD_PROBE_SAID, {fromScript(said)});
}
}  // namespace

CommandLine probeCommandLine(const std::string& given) {
    CommandLine line;
    line.quiet = true;
#ifdef _WIN32
    line.argv = {given};
    line.asGiven = true;
#else
    line.argv = splitCommandWords(given).words;
#endif
    return line;
}

ProbeGuard::ProbeGuard(std::string given, CommandLine line, std::uint64_t intervalMilliseconds,
                       std::uint64_t timeoutMilliseconds)
    : name_("--stop-if-probe-fails " + quoted(given)),
      line_(std::move(line)),
      here_(""),
      interval_(intervalMilliseconds),
      timeout_(timeoutMilliseconds) {}

// A probe still running is killed and waited for by its own end.
ProbeGuard::~ProbeGuard() = default;

GuardTrip ProbeGuard::trip(std::string figure) const { return GuardTrip{name_, std::move(figure)}; }

std::optional<GuardTrip> ProbeGuard::finished(std::uint64_t) {
    const int status = running_->status();
    const std::string said = running_->lastErrorLine();
    running_.reset();
    if (status != 0) return trip(runSaid(IDS_RUN_GUARD_PROBE_FAILED, {std::to_string(status), saidPart(said)}));
    timeoutsInARow_ = 0;
    return std::nullopt;
}

std::optional<GuardTrip> ProbeGuard::check(std::uint64_t nowMilliseconds) {
    if (running_) {
        if (running_->waitUpTo(0)) {
            if (std::optional<GuardTrip> failed = finished(nowMilliseconds)) return failed;
        } else if (nowMilliseconds - startedAt_ >= timeout_) {
            const std::string said = running_->lastErrorLine();
            running_->killAll();
            running_.reset();  // waits for what the kill ended
            if (++timeoutsInARow_ >= 2) {
                return trip(runSaid(IDS_RUN_GUARD_PROBE_TIMED_OUT, {secondsText(timeout_), saidPart(said)}));
            }
        } else {
            return std::nullopt;
        }
    }
    if (nowMilliseconds < nextStart_) return std::nullopt;
    running_ = std::make_unique<ExternalCommand>(line_, here_);
    startedAt_ = nowMilliseconds;
    nextStart_ = nowMilliseconds + interval_;
    if (!running_->started()) {
        const std::string why = running_->failure();
        running_.reset();
        return trip(runSaid(IDS_RUN_GUARD_PROBE_FAILED, {"127", saidPart(why)}));
    }
    if (!first_) return std::nullopt;
    // Before anything is taken: the first verdict is waited for, within the
    // timeout, so that a check that fails already ends the run then.
    first_ = false;
    while (!running_->waitUpTo(kTickMilliseconds)) {
        if (runShouldStop() || steadyClock().nowMilliseconds() - startedAt_ >= timeout_) break;
    }
    return check(steadyClock().nowMilliseconds());
}
