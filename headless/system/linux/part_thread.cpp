#include "headless/system/part_thread.h"

#include <new>
#include <system_error>
#include <thread>

struct PartThread {
    std::thread thread;
};

PartThread* startPartThread(void (*run)(void*), void* context) {
    try {
        return new PartThread{std::thread(run, context)};
    } catch (const std::system_error&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void joinPartThread(PartThread* thread) {
    thread->thread.join();
    delete thread;
}
