#include "headless/system/part_thread.h"

#include <windows.h>

#include <new>

struct PartThread {
    HANDLE handle;
    void (*run)(void*);
    void* context;
};

// An auto-reset event: a set wakes one wait, and is kept until one comes.
struct PartSignal {
    HANDLE event;
};

namespace {
DWORD WINAPI partThreadMain(LPVOID parameter) {
    auto* thread = static_cast<PartThread*>(parameter);
    thread->run(thread->context);
    return 0;
}
}  // namespace

PartThread* startPartThread(void (*run)(void*), void* context) {
    auto* thread = new (std::nothrow) PartThread{nullptr, run, context};
    if (thread == nullptr) return nullptr;
    // A small stack: a part only stores. Console events arrive on a thread of
    // their own on Windows; there is no signal mask to set.
    thread->handle =
        CreateThread(nullptr, 64 * 1024, partThreadMain, thread, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread->handle == nullptr) {
        delete thread;
        return nullptr;
    }
    return thread;
}

PartThread* startBackgroundThread(void (*run)(void*), void* context) {
    auto* thread = new (std::nothrow) PartThread{nullptr, run, context};
    if (thread == nullptr) return nullptr;
    // The executable's default stack: a service's calls go deeper than a
    // store loop's.
    thread->handle = CreateThread(nullptr, 0, partThreadMain, thread, 0, nullptr);
    if (thread->handle == nullptr) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void joinPartThread(PartThread* thread) {
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}

PartSignal* makePartSignal() {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) return nullptr;
    auto* signal = new (std::nothrow) PartSignal{event};
    if (signal == nullptr) CloseHandle(event);
    return signal;
}

void setPartSignal(PartSignal* signal) { SetEvent(signal->event); }

void waitPartSignal(PartSignal* signal) { WaitForSingleObject(signal->event, INFINITE); }

void freePartSignal(PartSignal* signal) {
    CloseHandle(signal->event);
    delete signal;
}

std::vector<int> allowedCpus() {
    // The first processor group's mask: a process starts in one group, and
    // its threads stay there unless moved.
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    std::vector<int> cpus;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return cpus;
    for (int cpu = 0; cpu < static_cast<int>(sizeof process * 8); ++cpu)
        if (process >> cpu & 1) cpus.push_back(cpu);
    return cpus;
}

double cpuQuota() { return 0; }
