// Helpers shared by the sync tests.
#pragma once

#include "platform/sync/sync.h"
#include "platform/sync/waitable.h"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <thread>

namespace sync_test {

// Threads currently blocked in a wait on the object behind `handle`, read from the
// dispatcher's own registrations: the one way to know that a waiter is really blocked
// (rather than about to block) before the test signals.
inline std::size_t blocked_waiters(HANDLE handle)
{
    auto object = platform::lookup_handle_as<platform::waitable>(handle);
    if (!object)
        return 0;
    std::lock_guard lock(platform::dispatcher_mutex());
    return object->waiters.size();
}

// Polls (this is a test) until `pred` holds, for at most 20 s; returns pred().
template <class Pred>
bool eventually(Pred pred)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pred() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
}

inline bool is_set(HANDLE manual_event)
{
    return WaitForSingleObject(manual_event, 0) == WAIT_OBJECT_0;
}

}  // namespace sync_test
