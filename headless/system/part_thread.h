// The threads of a split pass (parallel_fill.h): started once, woken per
// pass. The Windows build's MinGW-w64 runtime uses the win32 thread model,
// which has no std::thread, std::mutex or condition variable in GCC 12; so
// the platform starts the threads and makes the signals they wait on:
// std::thread and a condition variable natively (linux/part_thread.cpp),
// CreateThread and auto-reset events on Windows (windows/part_thread.cpp).
#pragma once
#include <vector>

struct PartThread;
struct PartSignal;

// Starts `run(context)` on a new thread; nullptr when the system will not
// start one (the caller then does the work itself). On Linux the thread has
// every signal blocked, so that the stop signals (SIGINT, SIGTERM, SIGHUP)
// reach the main thread and interrupt its waits. The thread may run on any
// processor the process may use (parallel_fill.h says why it is not pinned).
PartThread* startPartThread(void (*run)(void*), void* context);

// A thread for a service beside the run (the metrics endpoint): the
// system's usual stack, and on Linux every signal blocked, so that the stop
// signals reach the main thread only. nullptr when none can be started.
PartThread* startBackgroundThread(void (*run)(void*), void* context);

// Waits for the thread to end and frees it.
void joinPartThread(PartThread* thread);

// A signal one thread sets and another waits for: a set wakes the wait, or
// is kept for the next one when no thread waits yet. Callers set it at most
// once between two waits (an event on Windows counts no further). nullptr
// when the system has none to give.
PartSignal* makePartSignal();
void setPartSignal(PartSignal* signal);
void waitPartSignal(PartSignal* signal);
void freePartSignal(PartSignal* signal);

// The processors this process may run on (its affinity mask), by number,
// lowest first; empty when the system does not say.
std::vector<int> allowedCpus();

// The processor time the process's control group allows, in processors
// (cgroup v2 cpu.max, or v1 cpu.cfs_quota_us over cpu.cfs_period_us; the
// lowest of the group and its ancestors); 0 when none is set or it cannot be
// read. Windows: 0 (a job's CPU rate limit is not read).
double cpuQuota();
