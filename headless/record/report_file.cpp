#include "headless/record/report_file.h"

#include <algorithm>
#include <utility>

double reportUpdateSeconds(std::optional<std::uint64_t> sampleMilliseconds) {
    constexpr double kEvery = 2.0;
    if (!sampleMilliseconds) return kEvery;
    return std::min(kEvery, static_cast<double>(*sampleMilliseconds) / 1000.0);
}

namespace {
const char* unwritableKind(PathKind kind) {
    switch (kind) {
    case PathKind::Fifo: return "a FIFO";
    case PathKind::Device: return "a device";
    case PathKind::Socket: return "a socket";
    case PathKind::Other: return "not a regular file";
    default: return nullptr;
    }
}

bool endsInSeparator(const std::string& path) {
    if (path.empty()) return false;
#ifdef _WIN32
    return path.back() == '/' || path.back() == '\\';
#else
    return path.back() == '/';
#endif
}
}  // namespace

std::string reportPathFault(const std::string& path, const PathFacts& facts, ReportClash clash) {
    return pathFault(path, facts, clash, PathUse{"--report", "run.html", "the report"});
}

std::string pathFault(const std::string& path, const PathFacts& facts, ReportClash clash, const PathUse& use) {
    const std::string example = std::string(use.option) + " " + use.example;
    const std::string giveFile = "give the path of a file to write, e.g. " + example;
    switch (clash) {
    case ReportClash::Script:
        return std::string("it is the script being run; ") + use.noun + " would replace it. Give " + use.noun +
               " a name of its own, e.g. " + example;
    case ReportClash::StandardStream:
        return "it is where this run's own input or lines go (as /dev/stdout is); " + giveFile;
    case ReportClash::None: break;
    }
    if (endsInSeparator(path) || facts.kind == PathKind::Folder || facts.leadsTo == PathKind::Folder) {
#ifdef _WIN32
        const char separator = '\\';
#else
        const char separator = '/';
#endif
        return std::string("it is a folder; give a file's path in it, e.g. ") + use.option + " " +
               (endsInSeparator(path) ? path : path + separator) + use.example;
    }
    // Written once the run has ended, a FIFO would wait for a reader after
    // --timeout no longer applies; a device is no page to keep. A link to
    // one is refused too: replacing the link would take it from whoever
    // made it.
    for (PathKind kind : {facts.kind, facts.leadsTo}) {
        if (const char* words = unwritableKind(kind)) {
            return std::string(kind == facts.kind ? "it is " : "it leads to ") + words + ", which " + use.noun +
                   " cannot replace; " + giveFile;
        }
    }
    return {};
}

ReportFile::ReportFile(ReportHeader header, double everySeconds, Writer write, FailureNote noteFailure)
    : header_(std::move(header)), every_(everySeconds), write_(std::move(write)), noteFailure_(std::move(noteFailure)) {}

bool ReportFile::write(Durability durability, std::string& why) {
    writing_ = true;
    const bool written = write_(reportHtml(header_, recorder_), durability, why);
    writing_ = false;
    lastWritten_ = header_.seconds;
    return written;
}

bool ReportFile::start(std::string& why) {
    started_ = write(Durability::Disk, why);
    return started_;
}

void ReportFile::take(const RunEvent& event) {
    recorder_.add(event);
    if (!started_ || writing_ || event.elapsed < lastWritten_ + every_) return;
    header_.seconds = event.elapsed;
    std::string why;
    if (write(Durability::Process, why)) {
        failureNoted_ = false;
        return;
    }
    // Once for each stretch of failures: a full disk does not make a line a tick.
    if (failureNoted_) return;
    failureNoted_ = true;
    writing_ = true;
    noteFailure_(why);
    writing_ = false;
}

bool ReportFile::finish(int exitStatus, double seconds, std::string& why) {
    header_.exitStatus = exitStatus;
    header_.seconds = seconds;
    started_ = false;  // what is logged after the last page stays off the disk
    return write(Durability::Disk, why);
}
