#include "headless/memory/stall_window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace {
constexpr char kSystemFile[] = "/proc/pressure/memory";

// A whole number that fits 64 bits, and nothing else.
bool wholeNumber(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (n > (UINT64_MAX - digit) / 10) return false;
        n = n * 10 + digit;
    }
    value = n;
    return true;
}

// "12.34": the kernel's percentage with two decimals.
bool percentage(const std::string& text, double& share) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
    share = std::strtod(text.c_str(), nullptr) / 100.0;
    return share >= 0 && share <= 1;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}
}  // namespace

const char* stallLineName(StallLine line) { return line == StallLine::Some ? "some" : "full"; }

StallCounters parseStallCounters(const std::string& text, const std::string& shown) {
    StallCounters counters;
    bool some = false, full = false;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> fields = words(line);
        if (fields.empty()) continue;
        const bool isSome = fields[0] == "some";
        if (!isSome && fields[0] != "full") continue;  // a later kernel's line of its own
        bool hasTotal = false, hasAvg = false;
        std::uint64_t total = 0;
        double avg10 = 0;
        for (std::size_t i = 1; i < fields.size(); ++i) {
            const std::size_t equals = fields[i].find('=');
            if (equals == std::string::npos) continue;
            const std::string key = fields[i].substr(0, equals), value = fields[i].substr(equals + 1);
            if (key == "total") hasTotal = wholeNumber(value, total);
            if (key == "avg10") hasAvg = percentage(value, avg10);
        }
        if (!hasTotal || !hasAvg) {
            counters.error = shown + ": the \"" + fields[0] + "\" line has no readable " +
                             (hasTotal ? "avg10=" : "total=") + " figure";
            return counters;
        }
        (isSome ? counters.someTotal : counters.fullTotal) = total;
        (isSome ? counters.someAvg10 : counters.fullAvg10) = avg10;
        (isSome ? some : full) = true;
    }
    if (!some || !full) {
        counters.error = shown + " has no \"" + std::string(some ? "full" : "some") +
                         "\" line with a total=; it is not the kernel's memory stall figures";
        return counters;
    }
    counters.ok = true;
    return counters;
}

StallSource resolveStallSource(const std::string& from, const std::string& cgroupText,
                               const std::string& mountinfoText) {
    if (from == "system") return {kSystemFile, {}};
    if (from != "self") {
        std::string folder = from;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        const std::string name = "memory.pressure";
        const bool isFile = folder.size() >= name.size() && folder.compare(folder.size() - name.size(), name.size(), name) == 0;
        return {isFile ? folder : folder + "/" + name, {}};
    }
    // The v2 group is the "0::" line's; a v1-only host may still print one
    // (the kernel always has the default hierarchy), so its mount decides.
    std::string group, v1Memory;
    bool hasLine = false, onV1 = false;
    std::istringstream cgroups(cgroupText);
    for (std::string line; std::getline(cgroups, line);) {
        if (line.rfind("0::", 0) == 0) {
            group = line.substr(3);
            hasLine = true;
        }
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        if ((',' + line.substr(first + 1, second - first - 1) + ',').find(",memory,") != std::string::npos) {
            onV1 = true;
            v1Memory = line.substr(second + 1);
        }
    }
    std::string point, root;
    std::istringstream mounts(mountinfoText);
    for (std::string line; std::getline(mounts, line) && point.empty();) {
        const std::vector<std::string> fields = words(line);
        std::size_t dash = 0;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (fields.size() < 5 || dash + 1 >= fields.size() || fields[dash + 1] != "cgroup2") continue;
        if (!hasLine || group.rfind(fields[3], 0) != 0) continue;  // a mount of another part of the tree
        root = fields[3];
        point = fields[4];
    }
    if (!hasLine || point.empty()) {
        return {{},
                "this host has no cgroup v2 group for this process (only cgroup v1 is mounted), and v1 groups have "
                "no stall figures of their own; give --pressure-from system for the whole machine's, " +
                    std::string(kSystemFile) + " (which the neighbours' memory use moves too), or "
                    "--pressure-from PATH for a v2 group's folder"};
    }
    std::string below = root == "/" ? group : group.substr(root.size());
    while (!below.empty() && below.back() == '/') below.pop_back();
    // The root group has no memory.pressure: its figures are the system's.
    // Where cgroup v1 limits the memory, though, the v2 root says nothing
    // of the group the run is in, and "self" silently becoming the whole
    // machine is not what was asked.
    if (below.empty() && onV1) {
        return {{},
                "this run's memory is limited through cgroup v1 (group " + v1Memory +
                    "), whose groups have no stall figures of their own, and its cgroup v2 group is the root; give "
                    "--pressure-from system for the whole machine's, " + std::string(kSystemFile) +
                    " (which the neighbours' memory use moves too), or --pressure-from PATH for a v2 group's folder"};
    }
    if (below.empty()) return {kSystemFile, {}};
    if (below.front() != '/') below.insert(below.begin(), '/');
    return {(point == "/" ? std::string() : point) + below + "/memory.pressure", {}};
}

void StallWindow::add(std::uint64_t now, std::uint64_t total) {
    if (!readings_.empty()) {
        const Reading& last = readings_.back();
        if (now < last.at) return;  // not from this clock
        // Growth is at most the time passed (some slack for the two clocks).
        const std::uint64_t passedMicros = (now - last.at) * 1000 + 100000;
        if (total < last.total || total - last.total > passedMicros) readings_.clear();
    }
    readings_.push_back({now, total});
    // Keep the newest reading at or before the window's start: the window
    // is measured from there.
    while (readings_.size() > 2 && readings_[1].at + window_ <= now) readings_.pop_front();
}

const StallWindow::Reading* StallWindow::first(std::uint64_t since) const {
    if (readings_.empty()) return nullptr;
    const std::uint64_t now = readings_.back().at;
    const std::uint64_t from = std::max(since, now >= window_ ? now - window_ : 0);
    // The latest reading at or before `from`, else the earliest after it.
    const Reading* chosen = nullptr;
    for (const Reading& r : readings_) {
        if (r.at <= from) chosen = &r;
    }
    if (!chosen) {
        for (const Reading& r : readings_) {
            if (r.at >= from) return &r;
        }
    }
    return chosen;
}

std::uint64_t StallWindow::covered(std::uint64_t since) const {
    const Reading* start = first(since);
    return start ? readings_.back().at - start->at : 0;
}

std::optional<double> StallWindow::share(std::uint64_t since, std::uint64_t least) const {
    const Reading* start = first(since);
    if (!start) return std::nullopt;
    const Reading& last = readings_.back();
    const std::uint64_t span = last.at - start->at;
    if (span == 0 || span < least) return std::nullopt;
    const double share = static_cast<double>(last.total - start->total) / (static_cast<double>(span) * 1000.0);
    return share > 1 ? 1.0 : share;
}

std::string shareText(double share) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", share * 100.0);
    return text;
}
