// Helpers for tests that use real system parts: polling with a deadline,
// and a memory cgroup of the test's own.
#pragma once
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

// Polls `condition` until it holds or `ms` pass.
template <typename Condition>
inline bool within(int ms, Condition condition) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline std::string fileText(const std::string& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

inline bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    file.flush();
    return static_cast<bool>(file);
}

// A memory cgroup of the test's own: a child of the group this test runs in
// (v1 where the memory controller is mounted there, else v2), with a limit,
// removed afterwards. No other group is touched.
class ThrowawayMemoryGroup {
public:
    explicit ThrowawayMemoryGroup(std::uint64_t limitBytes) {
        std::string ownPath;
        std::istringstream cgroups(fileText("/proc/self/cgroup"));
        for (std::string line; std::getline(cgroups, line);) {
            const std::size_t first = line.find(':'), second = line.find(':', first + 1);
            const std::string controllers = line.substr(first + 1, second - first - 1);
            if ((',' + controllers + ',').find(",memory,") != std::string::npos) {
                v1_ = true;
                ownPath = line.substr(second + 1);
            } else if (controllers.empty() && ownPath.empty()) {
                ownPath = line.substr(second + 1);
            }
        }
        std::istringstream mounts(fileText("/proc/self/mountinfo"));
        for (std::string line; std::getline(mounts, line);) {
            std::istringstream fields(line);
            std::string id, parent, device, root, point, field;
            fields >> id >> parent >> device >> root >> point;
            while (fields >> field && field != "-") {
            }
            std::string type, source, options;
            fields >> type >> source >> options;
            const bool match = v1_ ? type == "cgroup" && (',' + options + ',').find(",memory,") != std::string::npos
                                   : type == "cgroup2";
            if (match && ownPath.rfind(root, 0) == 0) {
                parent_ = point + (root == "/" ? ownPath : ownPath.substr(root.size()));
                break;
            }
        }
        if (parent_.empty()) {
            why_ = "no memory cgroup is mounted over this process";
            return;
        }
        if (!v1_ && fileText(parent_ + "/cgroup.controllers").find("memory") == std::string::npos) {
            why_ = "the cgroup v2 hierarchy here has no memory controller";
            return;
        }
        static int serial = 0;
        path_ = parent_ + "/torvane-test-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        if (mkdir(path_.c_str(), 0755) != 0) {
            why_ = "cannot make " + path_ + ": " + std::strerror(errno);
            path_.clear();
            return;
        }
        const std::string limit = std::to_string(limitBytes);
        if (!writeFile(path_ + (v1_ ? "/memory.limit_in_bytes" : "/memory.max"), limit)) {
            why_ = "cannot set the limit of " + path_;
        }
    }

    ~ThrowawayMemoryGroup() {
        if (path_.empty()) return;
        // Anything still inside (a run the OOM killer has left waiting) is
        // let go and ended by its PID before the group can be removed.
        if (v1_) writeFile(path_ + "/memory.oom_control", "0");
        std::istringstream procs(fileText(path_ + "/cgroup.procs"));
        for (pid_t pid; procs >> pid;) kill(pid, SIGKILL);
        within(5000, [&] { return fileText(path_ + "/cgroup.procs").empty(); });
        within(5000, [&] { return rmdir(path_.c_str()) == 0; });
    }

    bool usable() const { return why_.empty(); }
    const std::string& why() const { return why_; }
    std::string describe() const { return std::string(v1_ ? "cgroup v1 " : "cgroup v2 ") + path_; }
    std::string procs() const { return path_ + "/cgroup.procs"; }
    // What the group may still charge: its limit less its use.
    long long roomBytes() const {
        const std::string base = path_ + (v1_ ? "/memory." : "/memory.");
        const long long limit = std::atoll(fileText(base + (v1_ ? "limit_in_bytes" : "max")).c_str());
        const long long usage = std::atoll(fileText(base + (v1_ ? "usage_in_bytes" : "current")).c_str());
        return limit - usage;
    }
    // How many processes the kernel's OOM killer ended in the group (v1:
    // memory.oom_control, v2: memory.events).
    long oomKills() const {
        std::istringstream in(fileText(path_ + (v1_ ? "/memory.oom_control" : "/memory.events")));
        for (std::string name; in >> name;) {
            long count = 0;
            in >> count;
            if (name == "oom_kill") return count;
        }
        return -1;
    }
    // v1 only: the group waits instead of killing at its limit.
    bool disableOomKiller() { return v1_ && writeFile(path_ + "/memory.oom_control", "1"); }

private:
    bool v1_ = false;
    std::string parent_, path_, why_;
};
