// The memory room from Windows: available physical memory, and the limits of
// the job object the process runs in (how containers and CI runners cap it).
#include <windows.h>
#include <psapi.h>

#include <cstdio>

#include "headless/system/memory_room.h"

namespace {

// JobObjectMemoryUsageInformation (Windows 10 and later); MinGW-w64's headers
// have neither the class nor its struct.
constexpr int kJobObjectMemoryUsageInformation = 28;
struct JobMemoryUsage {
    ULONG64 JobMemory;
    ULONG64 PeakJobMemoryUsed;
};

MemoryRoom failure(const char* what) {
    const DWORD code = GetLastError();
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                        0, text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
        reason.pop_back();
    }
    if (reason.empty()) {
        char number[32];
        std::snprintf(number, sizeof number, "error %lu", static_cast<unsigned long>(code));
        reason = number;
    }
    MemoryRoom room;
    room.error = std::string(what) + " failed: " + reason;
    return room;
}

void addJobLimit(MemoryRoom& room, std::uint64_t limit, std::uint64_t used) {
    const std::uint64_t left = used >= limit ? 0 : limit - used;
    if (limit < room.limit) room.limit = limit;
    if (left < room.available) {
        room.available = left;
        room.availableSource = LimitSource::Job;
    }
    if (limit < room.total) {
        room.total = limit;
        room.totalSource = LimitSource::Job;
    }
}

}  // namespace

MemoryRoom readMemoryRoom() {
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return failure("GlobalMemoryStatusEx");
    MemoryRoom room;
    room.available = status.ullAvailPhys;
    room.total = status.ullTotalPhys;

    BOOL inJob = FALSE;
    if (!IsProcessInJob(GetCurrentProcess(), nullptr, &inJob)) return failure("IsProcessInJob");
    if (inJob) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr)) {
            return failure("QueryInformationJobObject(JobObjectExtendedLimitInformation)");
        }
        const DWORD flags = limits.BasicLimitInformation.LimitFlags;
        if (flags & JOB_OBJECT_LIMIT_JOB_MEMORY) {
            JobMemoryUsage usage = {};
            if (!QueryInformationJobObject(nullptr, static_cast<JOBOBJECTINFOCLASS>(kJobObjectMemoryUsageInformation),
                                           &usage, sizeof usage, nullptr)) {
                return failure("QueryInformationJobObject(JobObjectMemoryUsageInformation)");
            }
            addJobLimit(room, limits.JobMemoryLimit, usage.JobMemory);
        }
        if (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) {
            PROCESS_MEMORY_COUNTERS_EX counters = {};
            counters.cb = sizeof counters;
            if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                      sizeof counters)) {
                return failure("GetProcessMemoryInfo");
            }
            // The process limit counts committed private bytes. Wine leaves
            // PrivateUsage 0 and gives the same figure as PagefileUsage.
            const std::uint64_t used = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
            addJobLimit(room, limits.ProcessMemoryLimit, used);
        }
    }
    room.known = true;
    return room;
}

bool roomFigureLags(const MemoryRoom&) {
    // Wine's ntdll exports its version; Windows' does not.
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

std::uint64_t readCommitRoom() {
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullAvailPageFile : 0;
}
