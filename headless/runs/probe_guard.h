// --stop-if-probe-fails: a health command run again and again without a
// shell. It trips when the command exits non-zero (or cannot be started):
// that is the check's own verdict. A timeout trips only the second time in
// a row, since a probe that is slow once is what memory pressure does to
// any program's start, and not yet a failure of what it checks.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "headless/runs/guard.h"
#include "headless/system/external_command.h"

class ProbeGuard final : public Guard {
public:
    // `given`: the command as typed, for the guard's name; `line`: what is
    // run; a probe starts every `intervalMilliseconds`, never while the last
    // one runs, and is ended after `timeoutMilliseconds`.
    ProbeGuard(std::string given, CommandLine line, std::uint64_t intervalMilliseconds,
               std::uint64_t timeoutMilliseconds);
    ~ProbeGuard() override;
    std::optional<GuardTrip> check(std::uint64_t nowMilliseconds) override;

private:
    std::optional<GuardTrip> finished(std::uint64_t nowMilliseconds);
    GuardTrip trip(std::string figure) const;

    std::string name_;
    CommandLine line_;
    CommandFolder here_;
    std::uint64_t interval_, timeout_;
    std::unique_ptr<ExternalCommand> running_;
    std::uint64_t startedAt_ = 0;
    std::uint64_t nextStart_ = 0;
    bool first_ = true;
    unsigned timeoutsInARow_ = 0;
};

// Builds the command line a probe's text stands for on this system: split
// as sh does without expansion, or on Windows the text as given.
CommandLine probeCommandLine(const std::string& given);
