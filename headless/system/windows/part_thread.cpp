#include "headless/system/part_thread.h"

#include <windows.h>

#include <new>

struct PartThread {
    HANDLE handle;
    void (*run)(void*);
    void* context;
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
    // A small stack: a part only calls memset.
    thread->handle =
        CreateThread(nullptr, 64 * 1024, partThreadMain, thread, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
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
