// Windows' side of the huge-page seam: large pages. They are always
// resident and locked, and need the "Lock pages in memory" privilege
// (SeLockMemoryPrivilege) enabled in the process's token; Wine refuses them
// however its token is set. There is no pool to take from.
#include <windows.h>

#include <cstdint>

#include "headless/system/huge_pages.h"
#include "headless/system/windows/system_text.h"

namespace {
constexpr char kPrivilegeAdvice[] =
    "; large pages need the \"Lock pages in memory\" privilege (SeLockMemoryPrivilege): an administrator grants it "
    "in Local Security Policy, User Rights Assignment, and the user signs in again";

// Enables the privilege in this process's token: "" when it is held.
std::string enableLockMemoryPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return "OpenProcessToken: " + systemText(GetLastError());
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    std::string why;
    if (!LookupPrivilegeValueA(nullptr, "SeLockMemoryPrivilege", &privileges.Privileges[0].Luid)) {
        why = "LookupPrivilegeValue: " + systemText(GetLastError());
    } else if (!AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) ||
               GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
        // AdjustTokenPrivileges succeeds without the privilege, saying so
        // only through the last error.
        why = "this account does not hold SeLockMemoryPrivilege";
    }
    CloseHandle(token);
    return why;
}

SIZE_T roundedUp(std::uint64_t bytes, SIZE_T unit) {
    const SIZE_T rounded = (static_cast<SIZE_T>(bytes) + unit - 1) / unit * unit;
    return rounded ? rounded : unit;
}
}  // namespace

std::string transparentHugeRefusal() {
    const SIZE_T large = GetLargePageMinimum();
    if (large == 0) return "this system has no large pages";
    if (const std::string why = enableLockMemoryPrivilege(); !why.empty()) return "large pages refused: " + why + kPrivilegeAdvice;
    // One large page, taken and given back: the privilege alone does not
    // say the system will grant them.
    void* trial = VirtualAlloc(nullptr, large, MEM_RESERVE | MEM_COMMIT | MEM_LARGE_PAGES, PAGE_READWRITE);
    if (!trial) return "large pages refused: VirtualAlloc(MEM_LARGE_PAGES): " + systemText(GetLastError()) + kPrivilegeAdvice;
    VirtualFree(trial, 0, MEM_RELEASE);
    return {};
}

HugePool readHugePool() {
    HugePool pool;
    pool.error = "Windows has no hugetlb pool; --huge alone takes large pages";
    return pool;
}

HugeMapping mapHuge(std::uint64_t bytes, bool fromPool, std::string& why) {
    if (fromPool) {
        why = readHugePool().error;
        return {};
    }
    const SIZE_T large = GetLargePageMinimum();
    if (large == 0 || bytes > SIZE_MAX / 2) {
        why = "no large pages for this block";
        return {};
    }
    const SIZE_T length = roundedUp(bytes, large);
    void* base = VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT | MEM_LARGE_PAGES, PAGE_READWRITE);
    if (!base) {
        why = "VirtualAlloc(MEM_LARGE_PAGES): " + systemText(GetLastError());
        return {};
    }
    return HugeMapping{base, length};
}

void unmapHuge(const HugeMapping& mapping) {
    if (mapping.base) VirtualFree(mapping.base, 0, MEM_RELEASE);
}

std::optional<std::uint64_t> hugeBytesIn(const std::vector<HugeMapping>& mappings) {
    // A large-page allocation is large pages whole, or it fails.
    std::uint64_t total = 0;
    for (const HugeMapping& mapping : mappings) total += mapping.length;
    return total;
}
