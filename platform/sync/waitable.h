// Waitable kernel objects and the dispatcher that wakes their waiters.
//
// Internal to the platform layer. One process-wide dispatcher mutex guards the state of
// every waitable object and every blocked waiter. A waiter that finds nothing signalled
// registers on each object it waits for and sleeps on its own condition variable; the
// thread that signals an object chooses the waiters it satisfies while it holds the
// mutex (all of them, or for an auto-reset object the first one, which consumes the
// signal). Deciding on the waker's side gives PulseEvent its exact meaning (only the
// waiters present at that moment are released) and loses no wake-up.
#pragma once

#include "platform/base/handle.h"
#include "platform/base/types.h"

#include "platform/sync/sync.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

// A blocked WaitForSingleObject/WaitForMultipleObjects/SleepEx call. It lives on the
// waiting thread's stack; wakers reach it only through the registrations it leaves on
// objects (and on its thread's call queue), and only while they hold the dispatcher
// mutex.
struct waiter {
    static constexpr DWORD not_satisfied = MAXDWORD;
    std::condition_variable wake;
    DWORD satisfied = not_satisfied;  // index of the object that satisfied the wait
};

// A thread's queue of asynchronous procedure calls (QueueUserAPC), guarded by the
// dispatcher mutex. Shared by the thread and by the handles that name it.
struct apc_queue {
    std::deque<std::pair<PAPCFUNC, ULONG_PTR>> calls;
    waiter* alertable = nullptr;  // the thread's alertable wait, while it blocks
    bool ended = false;           // the thread has ended: nothing more is queued
};

// The calling thread's queue, which lives as long as the thread; null only when it
// could not be allocated.
apc_queue* current_apc_queue();

class waitable : public kernel_object {
public:
    // Everything below runs with the dispatcher mutex held.

    // Whether a wait on the object would be satisfied now.
    virtual bool is_signalled() const = 0;
    // A wait has been satisfied by this object: an auto-reset object resets itself.
    virtual void consume() {}

    // Registered waiters, in the order they started waiting.
    struct registration {
        waiter* who;
        DWORD index;  // the object's place in that waiter's handle array
    };
    std::vector<registration> waiters;

protected:
    // The object has become signalled: satisfy every registered waiter that is still
    // blocked (manual reset, thread end), or only the first one when `only_one` (auto
    // reset). Returns whether any waiter was satisfied.
    bool wake_waiters(bool only_one);
};

// The process-wide mutex behind every waitable object's state.
std::mutex& dispatcher_mutex();

}  // namespace platform
