// Threads on pthreads, with waitable handles, exit codes and self-suspension.
#include "platform/sync/sync.h"
#include "platform/sync/waitable.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <map>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

namespace platform {
namespace {

// Thread identifiers come from a counter rather than gettid(): an identifier is then
// never reused while the process lives (short of 2^32 threads), so a message posted to
// the identifier of a thread that has ended cannot reach a newer thread.
std::atomic<DWORD> next_thread_id{1};
thread_local DWORD current_thread_id = 0;

DWORD allocate_thread_id()
{
    DWORD id = next_thread_id.fetch_add(1, std::memory_order_relaxed);
    if (id == 0)  // wrapped; 0 is never a thread's identifier
        id = next_thread_id.fetch_add(1, std::memory_order_relaxed);
    return id;
}

// The running threads that have an identifier, with their call queues, for OpenThread.
// Both live until the process ends: threads may end after the statics are gone.
std::mutex& registry_mutex()
{
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::map<DWORD, std::shared_ptr<apc_queue>>& registry()
{
    static auto* threads = new std::map<DWORD, std::shared_ptr<apc_queue>>;
    return *threads;
}

// The calling thread's entry in the registry; it leaves when the thread ends, and the
// calls still queued for it are dropped.
struct thread_entry {
    DWORD id = 0;
    std::shared_ptr<apc_queue> queue;

    void enter(DWORD thread_id, std::shared_ptr<apc_queue> thread_queue)
    {
        id = thread_id;
        queue = std::move(thread_queue);
        if (!queue)
            return;
        std::lock_guard lock(registry_mutex());
        try {
            registry()[id] = queue;
        } catch (const std::bad_alloc&) {
            // Not found by OpenThread, like a thread that has not asked for its
            // identifier; its own handle still reaches it.
        }
    }
    ~thread_entry()
    {
        if (!queue)
            return;
        {
            std::lock_guard lock(registry_mutex());
            registry().erase(id);
        }
        std::lock_guard lock(dispatcher_mutex());
        queue->ended = true;
        queue->calls.clear();
    }
};
thread_local thread_entry current_entry;

std::shared_ptr<apc_queue> new_queue()
{
    try {
        return std::make_shared<apc_queue>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// A handle from OpenThread: it names the thread's call queue only.
class opened_thread final : public kernel_object {
public:
    explicit opened_thread(std::shared_ptr<apc_queue> queue) : queue(std::move(queue)) {}
    const std::shared_ptr<apc_queue> queue;
};

class thread_object final : public waitable {
public:
    thread_object(LPTHREAD_START_ROUTINE routine, LPVOID parameter, bool suspended,
                  std::shared_ptr<apc_queue> queue)
        : id(allocate_thread_id()), queue(std::move(queue)), routine_(routine),
          parameter_(parameter), suspend_count_(suspended ? 1 : 0)
    {
    }

    const DWORD id;
    const std::shared_ptr<apc_queue> queue;  // calls queued before the thread runs wait in it

    bool is_signalled() const override { return finished_; }

    void run()
    {
        current_thread_id = id;
        current_entry.enter(id, queue);
        wait_while_suspended();
        DWORD code = routine_(parameter_);
        std::lock_guard lock(dispatcher_mutex());
        exit_code_ = code;
        finished_ = true;
        wake_waiters(false);
    }

    DWORD exit_code()
    {
        std::lock_guard lock(dispatcher_mutex());
        return finished_ ? exit_code_ : STILL_ACTIVE;
    }

    // The calling thread is this thread. A resume that came first is consumed instead of
    // blocking.
    DWORD suspend_self()
    {
        std::unique_lock lock(mutex_);
        if (resume_pending_) {
            resume_pending_ = false;
            return 0;
        }
        suspend_count_ = 1;
        resumed_.wait(lock, [this] { return suspend_count_ == 0; });
        return 0;
    }

    DWORD resume()
    {
        std::lock_guard lock(mutex_);
        if (suspend_count_ == 0) {
            // Not suspended (yet): keep one resume for the next SuspendThread.
            resume_pending_ = true;
            return 0;
        }
        DWORD previous = suspend_count_--;
        if (suspend_count_ == 0)
            resumed_.notify_all();
        return previous;
    }

private:
    void wait_while_suspended()
    {
        std::unique_lock lock(mutex_);
        resumed_.wait(lock, [this] { return suspend_count_ == 0; });
    }

    const LPTHREAD_START_ROUTINE routine_;
    const LPVOID parameter_;

    // Guarded by the dispatcher mutex.
    bool finished_ = false;
    DWORD exit_code_ = STILL_ACTIVE;

    // Suspension, guarded by mutex_.
    std::mutex mutex_;
    std::condition_variable resumed_;
    DWORD suspend_count_;
    bool resume_pending_ = false;
};

void* thread_main(void* argument)
{
    // The running thread holds its object, so closing the last handle early is harmless.
    auto* start = static_cast<std::shared_ptr<thread_object>*>(argument);
    std::shared_ptr<thread_object> self = std::move(*start);
    delete start;
    self->run();
    return nullptr;
}

DWORD error_from_errno(int error)
{
    switch (error) {
    case EAGAIN:
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EPERM:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::shared_ptr<thread_object> find_thread(HANDLE handle)
{
    auto thread = lookup_handle_as<thread_object>(handle);
    if (!thread)
        SetLastError(ERROR_INVALID_HANDLE);
    return thread;
}

}  // namespace
}  // namespace platform

// A detached pthread runs the routine; the handle is signalled when the routine returns
// and its result becomes the exit code. Security attributes are ignored; a stack size is
// raised to the system's minimum and rounded up to whole pages. CREATE_SUSPENDED holds
// the thread before its routine until ResumeThread.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<platform::thread_object> thread;
    std::shared_ptr<platform::thread_object>* start = nullptr;
    try {
        thread = std::make_shared<platform::thread_object>(
            lpStartAddress, lpParameter, (dwCreationFlags & CREATE_SUSPENDED) != 0,
            std::make_shared<platform::apc_queue>());
        start = new std::shared_ptr<platform::thread_object>(thread);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = platform::insert_handle(thread);
    if (!handle) {
        delete start;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int error = 0;
    if (dwStackSize != 0) {
        const SIZE_T page = static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
        SIZE_T size = std::max<SIZE_T>(dwStackSize, PTHREAD_STACK_MIN);
        size = (size + page - 1) / page * page;
        error = pthread_attr_setstacksize(&attributes, size);
    }
    pthread_t id;
    if (error == 0)
        error = pthread_create(&id, &attributes, platform::thread_main, start);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete start;
        CloseHandle(handle);
        SetLastError(platform::error_from_errno(error));
        return nullptr;
    }
    if (lpThreadId)
        *lpThreadId = thread->id;
    return handle;
}

// Only self-suspension is given: Linux cannot stop another thread at an arbitrary point
// safely, and the system only ever suspends itself. For another thread's handle the
// result is (DWORD)-1 with ERROR_NOT_SUPPORTED.
//
// The wake-up is never lost: a ResumeThread that reaches a thread which is not suspended
// leaves a pending resume behind (one, however many resumes arrive), and the thread's next
// SuspendThread consumes it and returns at once. A thread that pauses by signalling
// "paused" and then suspending itself can thus be resumed by anyone who saw the signal,
// however the two threads are scheduled. The price: a stray resume of a running thread
// makes its next suspension a no-op.
DWORD SuspendThread(HANDLE hThread)
{
    auto thread = platform::find_thread(hThread);
    if (!thread)
        return static_cast<DWORD>(-1);
    if (thread->id != GetCurrentThreadId()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return static_cast<DWORD>(-1);
    }
    return thread->suspend_self();
}

// Returns the previous suspend count: 1 when the thread was suspended (or created
// suspended) and now runs, 0 when it was not suspended and the resume was kept for its
// next SuspendThread.
DWORD ResumeThread(HANDLE hThread)
{
    auto thread = platform::find_thread(hThread);
    if (!thread)
        return static_cast<DWORD>(-1);
    return thread->resume();
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto thread = platform::find_thread(hThread);
    if (!thread)
        return FALSE;
    *lpExitCode = thread->exit_code();
    return TRUE;
}

// Unique and non-zero for every thread of the process, whether or not CreateThread made
// it; not the kernel's thread id.
DWORD GetCurrentThreadId()
{
    if (platform::current_thread_id == 0) {
        platform::current_thread_id = platform::allocate_thread_id();
        platform::current_entry.enter(platform::current_thread_id, platform::new_queue());
    }
    return platform::current_thread_id;
}

platform::apc_queue* platform::current_apc_queue()
{
    GetCurrentThreadId();
    return current_entry.queue.get();
}

HANDLE OpenThread(DWORD, BOOL, DWORD dwThreadId)
{
    std::shared_ptr<platform::apc_queue> queue;
    {
        std::lock_guard lock(platform::registry_mutex());
        auto it = platform::registry().find(dwThreadId);
        if (it != platform::registry().end())
            queue = it->second;
    }
    if (!queue) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<platform::opened_thread> object;
    try {
        object = std::make_shared<platform::opened_thread>(std::move(queue));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = platform::insert_handle(std::move(object));
    if (!handle)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return handle;
}

DWORD QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData)
{
    if (!pfnAPC) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::shared_ptr<platform::apc_queue> queue;
    auto object = platform::lookup_handle(hThread);
    if (auto thread = std::dynamic_pointer_cast<platform::thread_object>(object))
        queue = thread->queue;
    else if (auto opened = std::dynamic_pointer_cast<platform::opened_thread>(object))
        queue = opened->queue;
    if (!queue) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::lock_guard lock(platform::dispatcher_mutex());
    if (queue->ended) {
        SetLastError(ERROR_GEN_FAILURE);
        return 0;
    }
    try {
        queue->calls.emplace_back(pfnAPC, dwData);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (queue->alertable)
        queue->alertable->wake.notify_one();
    return 1;
}
