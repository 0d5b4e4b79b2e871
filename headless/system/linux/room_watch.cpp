#include "headless/system/room_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "headless/record/mebibytes.h"

namespace {
std::string joined(const std::string& folder, const char* name) { return folder + "/" + name; }

// cgroup v1: the kernel signals an eventfd each time the group's usage
// crosses a threshold registered through cgroup.event_control.
class ThresholdWatch final : public RoomWatch {
public:
    ThresholdWatch(int event, int usage) : event_(event), usage_(usage) {}
    ~ThresholdWatch() override {
        close(event_);
        close(usage_);
    }
    bool fired() override {
        std::uint64_t count = 0;
        return read(event_, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
    }

private:
    int event_, usage_;
};

// Files that poll with POLLPRI when they change (memory.events) or when a
// stall trigger written to them fires (memory.pressure).
class PriorityWatch final : public RoomWatch {
public:
    explicit PriorityWatch(std::vector<int> fds) : fds_(std::move(fds)) {}
    ~PriorityWatch() override {
        for (int fd : fds_) close(fd);
    }
    bool fired() override {
        std::vector<pollfd> polled;
        for (int fd : fds_) polled.push_back({fd, POLLPRI, 0});
        if (poll(polled.data(), polled.size(), 0) <= 0) return false;
        bool any = false;
        for (const pollfd& p : polled) {
            if (!(p.revents & POLLPRI)) continue;
            any = true;
            // memory.events is armed again by reading it from its start.
            char text[512];
            if (pread(p.fd, text, sizeof text, 0) < 0) continue;
        }
        return any;
    }

private:
    std::vector<int> fds_;
};

RoomWatchStart v1Threshold(const MemoryRoom& room, std::uint64_t keptRoom) {
    const std::string control = joined(room.limitFolder, "cgroup.event_control");
    const std::string usagePath = joined(room.limitFolder, "memory.usage_in_bytes");
    // The usage at which half the kept room is left: the limit less that,
    // with the cache the room counts as free added back, as the usage
    // figure holds it.
    const std::uint64_t cache = room.reclaimable == UINT64_MAX ? 0 : room.reclaimable;
    const std::uint64_t left = keptRoom / 2;
    if (room.limit <= left) return {nullptr, "the group's limit leaves no room to watch"};
    const std::uint64_t threshold = room.limit - left + cache;
    const int usage = open(usagePath.c_str(), O_RDONLY | O_CLOEXEC);
    const int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int controlFd = open(control.c_str(), O_WRONLY | O_CLOEXEC);
    if (usage < 0 || event < 0 || controlFd < 0) {
        const std::string why = std::strerror(errno);
        for (int fd : {usage, event, controlFd}) {
            if (fd >= 0) close(fd);
        }
        return {nullptr, "cannot register a threshold at " + control + ": " + why};
    }
    char line[96];
    std::snprintf(line, sizeof line, "%d %d %llu", event, usage, static_cast<unsigned long long>(threshold));
    const bool registered = write(controlFd, line, std::strlen(line)) >= 0;
    const std::string why = registered ? std::string() : std::strerror(errno);
    close(controlFd);
    if (!registered) {
        close(usage);
        close(event);
        return {nullptr, "cannot register a threshold at " + control + ": " + why};
    }
    return {std::make_unique<ThresholdWatch>(event, usage),
            "a usage threshold at " + mebibytesText(threshold) + " on " + usagePath};
}

RoomWatchStart v2Events(const MemoryRoom& room) {
    std::vector<int> fds;
    std::string how;
    const std::string events = joined(room.limitFolder, "memory.events");
    if (const int fd = open(events.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        fds.push_back(fd);
        how = events;
    }
    // A stall trigger: 150 ms of some tasks stalled within 2 s. The kernel
    // takes windows from 500 ms to 10 s, and from a process without
    // CAP_SYS_RESOURCE only multiples of 2 s.
    const std::string pressure = joined(room.limitFolder, "memory.pressure");
    if (const int fd = open(pressure.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC); fd >= 0) {
        static const char kTrigger[] = "some 150000 2000000";
        if (write(fd, kTrigger, sizeof kTrigger) >= 0) {
            fds.push_back(fd);
            how += (how.empty() ? "" : " and ") + std::string("a stall trigger on ") + pressure;
        } else {
            close(fd);
        }
    }
    if (fds.empty()) return {nullptr, "cannot open " + events + ": " + std::strerror(errno)};
    return {std::make_unique<PriorityWatch>(std::move(fds)), how};
}
}  // namespace

RoomWatchStart watchRoom(const MemoryRoom& room, std::uint64_t keptRoom) {
    if (!room.known || room.limitFolder.empty()) {
        return {nullptr, "the host's memory sets the room, and Linux signals no level of it"};
    }
    return room.limitV2 ? v2Events(room) : v1Threshold(room, keptRoom);
}
