// The stall figures from Linux's files.
#include "headless/system/stall_figures.h"

#include <cerrno>
#include <cstring>

#include "headless/system/linux/whole_file.h"

StallSource stallSourceFor(const std::string& from) {
    std::string cgroups, mounts;
    if (from == "self") {
        readWholeFile("/proc/self/cgroup", cgroups);
        readWholeFile("/proc/self/mountinfo", mounts);
    }
    return resolveStallSource(from, cgroups, mounts);
}

StallCounters readStallFigures(const std::string& path) {
    std::string text;
    const int error = readWholeFile(path, text);
    if (error == 0) return parseStallCounters(text, path);
    StallCounters counters;
    counters.error = "cannot read " + path + ": " + std::strerror(error);
    // The causes a user can act on, as the kernel reports them.
    if (error == EOPNOTSUPP) {
        counters.error += " (the kernel keeps no stall figures: it was booted with psi=0; boot with psi=1)";
    } else if ((error == ENOENT || error == ENOTDIR) && path.rfind("/proc/pressure/", 0) == 0) {
        counters.error += " (this kernel keeps no stall figures: it needs CONFIG_PSI, Linux 4.20 and later)";
    } else if (error == ENOENT || error == ENOTDIR) {
        counters.error += " (give a cgroup v2 group's folder, whose memory.pressure the kernel keeps)";
    }
    return counters;
}

const char* stallFiguresAbsent() { return ""; }
