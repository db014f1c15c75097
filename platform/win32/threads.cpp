// _beginthreadex and the thread-handle calls on pthreads. A thread object is
// shared by its handle and the running thread; whichever lets go last frees
// it. The handle's owner joins the pthread when it closes an ended thread,
// and a thread whose handle was closed first detaches itself.
#include "platform/instrumentation.h"
#include "platform/test_hooks.h"
#include "platform/win32/win32_base.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_set>

namespace platform_win32 {
namespace {

struct ThreadObject {
    unsigned(__stdcall* start)(void*) = nullptr;
    void* argument = nullptr;
    pthread_t thread{};
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;     // the start routine returned
    bool handleOpen = true;    // CloseHandle not yet called
    bool detached = false;
    DWORD exitCode = STILL_ACTIVE;
    pid_t tid = 0;             // kernel thread id, for the priority
    int priority = 0;          // THREAD_PRIORITY_*, applied once tid is known
};

// Linux gives each thread its own nice value; a priority is taken relative to
// the process's. Raising it needs privileges that a user rarely has; then the
// thread keeps its nice value.
void applyPriority(pid_t tid, int priority) {
    if (tid == 0) return;
    errno = 0;
    const int base = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), base - priority);
}

struct ThreadTable {
    std::mutex mutex;
    std::unordered_set<ThreadObject*> live;  // handles not yet closed
};

ThreadTable& threadTable() {
    static ThreadTable instance;
    return instance;
}

std::atomic<unsigned> nextThreadId{1};

ThreadObject* lookup(HANDLE handle) {
    ThreadTable& r = threadTable();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto* object = static_cast<ThreadObject*>(handle);
    return r.live.count(object) ? object : nullptr;
}

void* threadMain(void* raw) {
    auto* object = static_cast<ThreadObject*>(raw);
    {
        std::lock_guard<std::mutex> lock(object->mutex);
        object->tid = static_cast<pid_t>(syscall(SYS_gettid));
        if (object->priority != THREAD_PRIORITY_NORMAL) applyPriority(object->tid, object->priority);
    }
    const auto start = std::chrono::steady_clock::now();
    const unsigned code = object->start(object->argument);
    platform_instrumentation::addTime(platform_instrumentation::Timer::ThreadRun,
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    bool freeNow = false;
    {
        std::lock_guard<std::mutex> lock(object->mutex);
        object->exitCode = code;
        object->finished = true;
        // The handle is gone: nobody will join, so the thread cleans up.
        if (!object->handleOpen) {
            pthread_detach(object->thread);
            freeNow = true;
        }
        object->ended.notify_all();
    }
    if (freeNow) delete object;
    return nullptr;
}

}  // namespace
}  // namespace platform_win32

using namespace platform_win32;

extern "C" uintptr_t _beginthreadex(void* /*security*/, unsigned stackSize, unsigned(__stdcall* start)(void*),
                                    void* argument, unsigned /*initFlag*/, unsigned* threadId) {
    if (!start) {
        errno = EINVAL;
        return 0;
    }
    if (platform_hooks::shouldFail(platform_hooks::FailPoint::ThreadStart)) {
        errno = EAGAIN;
        return 0;
    }
    ThreadObject* object = nullptr;
    try {
        object = new ThreadObject;
    } catch (...) {
        errno = ENOMEM;
        return 0;
    }
    object->start = start;
    object->argument = argument;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (stackSize)
        pthread_attr_setstacksize(&attributes, stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize);
    {
        // Registered before the start, so that the handle is valid even if
        // the thread has already ended when the caller first uses it.
        ThreadTable& r = threadTable();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.live.insert(object);
    }
    // The thread reads its own pthread_t only after taking the mutex, which
    // is held here until pthread_create has stored it.
    int rc;
    {
        std::lock_guard<std::mutex> lock(object->mutex);
        rc = pthread_create(&object->thread, &attributes, threadMain, object);
    }
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        ThreadTable& r = threadTable();
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            r.live.erase(object);
        }
        delete object;
        errno = rc;
        return 0;
    }
    if (threadId) *threadId = nextThreadId.fetch_add(1);
    return reinterpret_cast<uintptr_t>(object);
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    ThreadObject* object = lookup(handle);
    if (!object) return WAIT_FAILED;
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(object->mutex);
    bool done = true;
    if (milliseconds == INFINITE)
        object->ended.wait(lock, [object] { return object->finished; });
    else
        done = object->ended.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                      [object] { return object->finished; });
    platform_instrumentation::addTime(platform_instrumentation::Timer::ThreadWait,
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    ThreadObject* object = lookup(thread);
    if (!object || !exitCode) return FALSE;
    std::lock_guard<std::mutex> lock(object->mutex);
    *exitCode = object->exitCode;
    return TRUE;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE handle) {
    auto* object = static_cast<ThreadObject*>(handle);
    {
        ThreadTable& r = threadTable();
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!r.live.erase(object)) return FALSE;
    }
    bool join = false;
    {
        std::lock_guard<std::mutex> lock(object->mutex);
        object->handleOpen = false;
        // A running thread frees the object itself when it ends.
        join = object->finished;
    }
    if (join) {
        // The start routine has returned; the join only waits for its exit.
        pthread_join(object->thread, nullptr);
        delete object;
    }
    return TRUE;
}

extern "C" BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
    ThreadObject* object = lookup(thread);
    if (!object) return FALSE;
    std::lock_guard<std::mutex> lock(object->mutex);
    object->priority = priority;
    // Until the start routine returns the kernel thread id is the thread's own.
    if (!object->finished) applyPriority(object->tid, priority);
    return TRUE;
}
