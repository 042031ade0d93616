// The dispatcher and the wait calls.
#include "platform/sync/waitable.h"

#include "platform/sync/sync.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>

namespace platform {

std::mutex& dispatcher_mutex()
{
    static std::mutex* mutex = new std::mutex;  // lives until the process ends
    return *mutex;
}

bool waitable::wake_waiters(bool only_one)
{
    bool woke = false;
    for (auto& r : waiters) {
        if (r.who->satisfied != waiter::not_satisfied)
            continue;  // already released by another object; it unregisters itself
        r.who->satisfied = r.index;
        r.who->wake.notify_one();
        woke = true;
        if (only_one)
            break;
    }
    return woke;
}

namespace {

void unregister(std::shared_ptr<waitable>* objects, DWORD count, waiter* self)
{
    for (DWORD i = 0; i < count; ++i)
        std::erase_if(objects[i]->waiters,
                      [self](const waitable::registration& r) { return r.who == self; });
}

// Runs the calls queued for the calling thread, which holds the dispatcher mutex
// through `lock`; they run without it, in the order queued, and the wait is over.
void run_queued_calls(std::unique_lock<std::mutex>& lock, apc_queue& queue)
{
    std::deque<std::pair<PAPCFUNC, ULONG_PTR>> calls;
    calls.swap(queue.calls);
    lock.unlock();
    for (const auto& [function, data] : calls)
        function(data);
}

// Wait-any over `count` handles, 0 <= count <= MAXIMUM_WAIT_OBJECTS (0: a sleep);
// alertable when `alertable`.
DWORD wait_any(const HANDLE* handles, DWORD count, DWORD milliseconds, bool alertable)
{
    // Held for the whole wait, so a handle closed meanwhile cannot free its object.
    std::shared_ptr<waitable> objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = lookup_handle_as<waitable>(handles[i]);
        if (!objects[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    apc_queue* const queue = alertable ? current_apc_queue() : nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);

    std::unique_lock lock(dispatcher_mutex());
    // Calls queued before the wait win over a signalled object.
    if (queue && !queue->calls.empty()) {
        run_queued_calls(lock, *queue);
        return WAIT_IO_COMPLETION;
    }
    // The lowest signalled index wins, the rule that callers' rotation schemes rely on.
    for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->is_signalled()) {
            objects[i]->consume();
            return WAIT_OBJECT_0 + i;
        }
    }
    if (milliseconds == 0)
        return WAIT_TIMEOUT;

    waiter self;
    // Registration order is index order, so a handle listed twice wakes with its lower
    // index.
    DWORD registered = 0;
    try {
        for (; registered < count; ++registered)
            objects[registered]->waiters.push_back({&self, registered});
    } catch (const std::bad_alloc&) {
        unregister(objects, registered, &self);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
    }
    if (queue)
        queue->alertable = &self;

    auto satisfied = [&self] { return self.satisfied != waiter::not_satisfied; };
    auto woken = [&] { return satisfied() || (queue && !queue->calls.empty()); };
    if (milliseconds == INFINITE)
        self.wake.wait(lock, woken);
    else
        self.wake.wait_until(lock, deadline, woken);
    unregister(objects, count, &self);
    if (queue)
        queue->alertable = nullptr;

    // A waiter satisfied just as its time ran out still reports the object: an auto-reset
    // event has already been consumed on its behalf. So does one satisfied as a call was
    // queued; the call waits for the next alertable wait.
    if (satisfied())
        return WAIT_OBJECT_0 + self.satisfied;
    if (queue && !queue->calls.empty()) {
        run_queued_calls(lock, *queue);
        return WAIT_IO_COMPLETION;
    }
    return WAIT_TIMEOUT;
}

}  // namespace
}  // namespace platform

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return platform::wait_any(&hHandle, 1, dwMilliseconds, false);
}

DWORD WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable)
{
    return platform::wait_any(&hHandle, 1, dwMilliseconds, bAlertable != FALSE);
}

DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable)
{
    const DWORD result = platform::wait_any(nullptr, 0, dwMilliseconds, bAlertable != FALSE);
    return result == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (bWaitAll) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    return platform::wait_any(lpHandles, nCount, dwMilliseconds, false);
}
