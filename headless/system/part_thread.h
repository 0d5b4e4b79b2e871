// A thread that writes one part of a split pass (parallel_fill.h). The
// Windows build's MinGW-w64 runtime uses the win32 thread model, which has
// no std::thread in GCC 12; so the platform starts and joins the thread:
// std::thread natively (part_thread_std.cpp), CreateThread on Windows
// (part_thread_win.cpp).
#pragma once

struct PartThread;

// Starts `run(context)` on a new thread; nullptr when the system will not
// start one (the caller then does the work itself).
PartThread* startPartThread(void (*run)(void*), void* context);

// Waits for the thread to end and frees it.
void joinPartThread(PartThread* thread);
