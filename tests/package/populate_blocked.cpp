// Runs a program as on a kernel before 5.14: madvise(MADV_POPULATE_WRITE)
// fails with EINVAL, as it does where the advice is unknown. A seccomp filter
// does it, so the product needs no test hook.
//
//   populate_blocked PROGRAM [ARGUMENTS...]
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {
constexpr unsigned kPopulateWrite = 23;  // MADV_POPULATE_WRITE, Linux 5.14

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
#error "populate_blocked: add this architecture's AUDIT_ARCH"
#endif

bool blockPopulateWrite() {
    // The advice is an int: its low 32 bits (little-endian) are enough.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_madvise, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kPopulateWrite, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EINVAL & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The filter is in force: the advice fails with EINVAL, other advice works.
bool filterHolds() {
    const long page = sysconf(_SC_PAGESIZE);
    void* p = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    const bool blocked = madvise(p, page, kPopulateWrite) == -1 && errno == EINVAL;
    const bool othersPass = madvise(p, page, MADV_DONTNEED) == 0;
    munmap(p, page);
    return blocked && othersPass;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: populate_blocked PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    if (!blockPopulateWrite()) {
        std::fprintf(stderr, "populate_blocked: cannot install the seccomp filter: %s\n", std::strerror(errno));
        return 125;
    }
    if (!filterHolds()) {
        std::fprintf(stderr, "populate_blocked: the filter does not make MADV_POPULATE_WRITE fail with EINVAL\n");
        return 125;
    }
    execv(argv[1], argv + 1);
    std::fprintf(stderr, "populate_blocked: cannot start %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}
