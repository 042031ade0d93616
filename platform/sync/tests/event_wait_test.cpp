// Events and the wait calls, against their documented contract, with real threads.
#include "platform/sync/tests/sync_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <vector>

namespace {

using sync_test::blocked_waiters;
using sync_test::eventually;

struct events {
    std::vector<HANDLE> handles;
    events(int count, BOOL manual, BOOL initial)
    {
        for (int i = 0; i < count; ++i)
            handles.push_back(CreateEventA(nullptr, manual, initial, nullptr));
    }
    ~events()
    {
        for (HANDLE h : handles)
            CloseHandle(h);
    }
    HANDLE operator[](std::size_t i) const { return handles[i]; }
};

TEST(Event, ManualResetStaysSignalledUntilReset)
{
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(SetEvent(e));  // setting a set event changes nothing
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(e));

    HANDLE initially_set = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(initially_set, 0), WAIT_OBJECT_0);
    CloseHandle(initially_set);
}

TEST(Event, AutoResetIsConsumedByOneWaitAndSignalsDoNotAccumulate)
{
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    SetEvent(e);
    SetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    SetEvent(e);
    ResetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Event, NamedEventsAndBadHandlesFail)
{
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "name"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(e);
    for (auto call : {SetEvent, ResetEvent, PulseEvent}) {
        for (HANDLE h : {e, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
            SetLastError(0);
            EXPECT_FALSE(call(h));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        }
    }
}

TEST(Wait, ParameterAndHandleErrors)
{
    events ev(65, TRUE, TRUE);
    auto expect_failure = [](DWORD result, DWORD error) {
        EXPECT_EQ(result, WAIT_FAILED);
        EXPECT_EQ(GetLastError(), error);
    };
    expect_failure(WaitForMultipleObjects(0, ev.handles.data(), FALSE, 0),
                   ERROR_INVALID_PARAMETER);
    expect_failure(WaitForMultipleObjects(65, ev.handles.data(), FALSE, 0),
                   ERROR_INVALID_PARAMETER);
    expect_failure(WaitForMultipleObjects(2, ev.handles.data(), TRUE, 0), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(WaitForMultipleObjects(64, ev.handles.data(), FALSE, 0), WAIT_OBJECT_0);

    // A closed handle anywhere in the array fails the whole wait, even when an earlier
    // handle is signalled.
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    CloseHandle(closed);
    HANDLE with_closed[] = {ev[0], closed};
    expect_failure(WaitForMultipleObjects(2, with_closed, FALSE, INFINITE), ERROR_INVALID_HANDLE);
    expect_failure(WaitForSingleObject(closed, INFINITE), ERROR_INVALID_HANDLE);
    expect_failure(WaitForSingleObject(nullptr, INFINITE), ERROR_INVALID_HANDLE);
    expect_failure(WaitForSingleObject(INVALID_HANDLE_VALUE, INFINITE), ERROR_INVALID_HANDLE);

    // A kernel object that cannot be waited for.
    class not_waitable : public platform::kernel_object {};
    HANDLE other = platform::insert_handle(std::make_shared<not_waitable>());
    expect_failure(WaitForSingleObject(other, INFINITE), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(other));
    CloseHandle(other);
}

TEST(Wait, LowestSignalledIndexWinsAndOnlyItIsConsumed)
{
    events autos(4, FALSE, FALSE);
    SetEvent(autos[3]);
    SetEvent(autos[1]);
    EXPECT_EQ(WaitForMultipleObjects(4, autos.handles.data(), FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(4, autos.handles.data(), FALSE, 0), WAIT_OBJECT_0 + 3);
    EXPECT_EQ(WaitForMultipleObjects(4, autos.handles.data(), FALSE, 0), WAIT_TIMEOUT);

    // A manual-reset event at a low index keeps winning.
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    SetEvent(autos[0]);
    HANDLE mixed[] = {autos[2], manual, autos[0]};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WaitForMultipleObjects(3, mixed, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(autos[0], 0), WAIT_OBJECT_0);  // still set
    CloseHandle(manual);
}

// The worker's loop: wait on the list, serve the signalled handle, rotate the list by one
// (last to the front). Handles that stay signalled must each get their turn.
TEST(Wait, RotationGivesEverySignalledHandleItsTurn)
{
    constexpr int count = MAXIMUM_WAIT_OBJECTS;
    events ev(count, TRUE, FALSE);
    std::vector<int> signalled_idx;
    for (int i = 0; i < count; ++i) {
        if (i % 3 != 1) {  // a mix of signalled and silent handles
            SetEvent(ev[i]);
            signalled_idx.push_back(i);
        }
    }
    std::deque<HANDLE> list(ev.handles.begin(), ev.handles.end());
    std::vector<int> last_served(count, -1);
    int max_gap = 0;
    const int passes = count * 5;
    for (int pass = 0; pass < passes; ++pass) {
        list.push_front(list.back());
        list.pop_back();
        HANDLE wait_array[MAXIMUM_WAIT_OBJECTS];
        std::copy(list.begin(), list.end(), wait_array);
        DWORD r = WaitForMultipleObjects(count, wait_array, FALSE, INFINITE);
        ASSERT_LT(r, static_cast<DWORD>(count));
        int served = static_cast<int>(std::find(ev.handles.begin(), ev.handles.end(),
                                                wait_array[r]) - ev.handles.begin());
        ASSERT_NE(served % 3, 1) << "a silent handle was reported";
        if (last_served[served] >= 0)
            max_gap = std::max(max_gap, pass - last_served[served]);
        last_served[served] = pass;
    }
    for (int i : signalled_idx)
        EXPECT_GE(last_served[i], passes - count) << "handle " << i << " starved";
    EXPECT_LE(max_gap, count);
}

TEST(Wait, TimeoutWaitsAtLeastTheGivenTime)
{
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(e, 30), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    HANDLE two[] = {e, e};
    EXPECT_EQ(WaitForMultipleObjects(2, two, FALSE, 5), WAIT_TIMEOUT);
    EXPECT_EQ(blocked_waiters(e), 0U);  // the timed-out waits left nothing behind
    CloseHandle(e);
}

TEST(Wait, BlockedWaitIsReleasedByTheEventThatFires)
{
    events autos(3, FALSE, FALSE);
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] {
        result = WaitForMultipleObjects(3, autos.handles.data(), FALSE, INFINITE);
    });
    ASSERT_TRUE(eventually([&] { return blocked_waiters(autos[2]) == 1; }));
    SetEvent(autos[2]);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForSingleObject(autos[2], 0), WAIT_TIMEOUT);  // consumed by that wait
    for (HANDLE h : autos.handles)
        EXPECT_EQ(blocked_waiters(h), 0U);
}

// Once one object has released a waiter, a second object signalled before the waiter
// runs must not be consumed on its behalf.
TEST(Wait, SatisfiedWaiterDoesNotConsumeASecondEvent)
{
    for (int round = 0; round < 200; ++round) {
        events autos(2, FALSE, FALSE);
        std::atomic<DWORD> result{WAIT_FAILED};
        std::thread waiter([&] {
            result = WaitForMultipleObjects(2, autos.handles.data(), FALSE, INFINITE);
        });
        ASSERT_TRUE(eventually([&] { return blocked_waiters(autos[1]) == 1; }));
        SetEvent(autos[1]);
        SetEvent(autos[0]);
        waiter.join();
        ASSERT_EQ(result, WAIT_OBJECT_0 + 1);
        ASSERT_EQ(WaitForSingleObject(autos[0], 0), WAIT_OBJECT_0);
    }
}

TEST(Wait, ManualResetReleasesEveryWaiter)
{
    constexpr int waiters = 8;
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < waiters; ++i)
        threads.emplace_back([&] {
            if (WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0)
                ++released;
        });
    ASSERT_TRUE(eventually([&] { return blocked_waiters(e) == waiters; }));
    SetEvent(e);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(released, waiters);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    CloseHandle(e);
}

TEST(Wait, AutoResetReleasesExactlyOneWaiterPerSignal)
{
    constexpr int waiters = 8;
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < waiters; ++i)
        threads.emplace_back([&] {
            if (WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0)
                ++released;
        });
    for (int signal = 1; signal <= waiters; ++signal) {
        ASSERT_TRUE(eventually([&] {
            return blocked_waiters(e) == static_cast<std::size_t>(waiters - signal + 1);
        }));
        SetEvent(e);
        ASSERT_TRUE(eventually([&] { return released == signal; }));
        EXPECT_EQ(blocked_waiters(e), static_cast<std::size_t>(waiters - signal));
        EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT) << "the signal was not consumed";
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(released, waiters);
    CloseHandle(e);
}

TEST(Wait, PulseReleasesOnlyCurrentWaitersAndLeavesTheEventUnsignalled)
{
    for (BOOL manual : {TRUE, FALSE}) {
        SCOPED_TRACE(manual ? "manual reset" : "auto reset");
        constexpr int waiters = 4;
        HANDLE e = CreateEventA(nullptr, manual, FALSE, nullptr);
        std::atomic<int> released{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < waiters; ++i)
            threads.emplace_back([&] {
                if (WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0)
                    ++released;
            });
        ASSERT_TRUE(eventually([&] { return blocked_waiters(e) == waiters; }));
        EXPECT_TRUE(PulseEvent(e));
        const int expected = manual ? waiters : 1;
        ASSERT_TRUE(eventually([&] { return released == expected; }));
        EXPECT_EQ(blocked_waiters(e), static_cast<std::size_t>(waiters - expected));
        // A wait that starts after the pulse finds the event unsignalled.
        EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);

        // A pulse with nobody waiting only resets.
        while (released < waiters) {
            const int before = released;
            SetEvent(e);
            ASSERT_TRUE(eventually([&] { return released > before; }));
        }
        for (auto& t : threads)
            t.join();
        SetEvent(e);
        PulseEvent(e);
        EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
        CloseHandle(e);
    }
}

// A signal that arrives just as a short wait times out is either reported by that wait
// or left for the next one, never consumed and lost.
TEST(Wait, TimeoutRacingASignalLosesNothing)
{
    HANDLE work = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    constexpr int rounds = 2000;
    std::thread consumer([&] {
        for (int i = 0; i < rounds; ++i) {
            while (WaitForSingleObject(work, 1) == WAIT_TIMEOUT) {
            }
            SetEvent(done);
        }
    });
    for (int i = 0; i < rounds; ++i) {
        SetEvent(work);
        ASSERT_EQ(WaitForSingleObject(done, 20000), WAIT_OBJECT_0) << "round " << i;
    }
    consumer.join();
    EXPECT_EQ(WaitForSingleObject(work, 0), WAIT_TIMEOUT);
    CloseHandle(work);
    CloseHandle(done);
}

TEST(Wait, HandleClosedDuringAWaitDoesNotBreakIt)
{
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] {
        HANDLE both[] = {e, stop};
        result = WaitForMultipleObjects(2, both, FALSE, INFINITE);
    });
    ASSERT_TRUE(eventually([&] { return blocked_waiters(e) == 1; }));
    CloseHandle(e);
    SetEvent(stop);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
    CloseHandle(stop);
}

}  // namespace
