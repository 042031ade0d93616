// Events and the wait calls, against their documented contract, with real threads.
#include "platform/sync/tests/sync_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <thread>
#include <vector>

namespace {

using sync_test::blocked_waiters;
using sync_test::eventually;

// `count` threads each waiting once on `e`; counts those released.
struct waiters {
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    waiters(HANDLE e, int count)
    {
        for (int i = 0; i < count; ++i)
            threads.emplace_back([this, e] {
                if (WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0)
                    ++released;
            });
        EXPECT_TRUE(eventually([&] { return blocked_waiters(e) == std::size_t(count); }));
    }
    ~waiters()
    {
        for (auto& t : threads)
            t.join();
    }
};

TEST(Event, ManualAndAutoResetStates)
{
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);  // stays signalled
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(automatic);
    SetEvent(automatic);  // signals do not accumulate
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    SetEvent(automatic);
    PulseEvent(automatic);  // nobody waiting: a pulse only resets
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    CloseHandle(manual);
    CloseHandle(automatic);
}

TEST(Wait, ParameterAndHandleErrors)
{
    std::vector<HANDLE> ev(65);
    for (HANDLE& h : ev)
        h = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    auto expect_failure = [](DWORD result, DWORD error) {
        EXPECT_EQ(result, WAIT_FAILED);
        EXPECT_EQ(GetLastError(), error);
    };
    expect_failure(WaitForMultipleObjects(0, ev.data(), FALSE, 0), ERROR_INVALID_PARAMETER);
    expect_failure(WaitForMultipleObjects(65, ev.data(), FALSE, 0), ERROR_INVALID_PARAMETER);
    expect_failure(WaitForMultipleObjects(2, ev.data(), TRUE, 0), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(WaitForMultipleObjects(64, ev.data(), FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "named"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    // A closed handle fails the whole wait even after a signalled one; so does a kernel
    // object that cannot be waited for.
    class not_waitable : public platform::kernel_object {};
    HANDLE other = platform::insert_handle(std::make_shared<not_waitable>());
    CloseHandle(ev[64]);
    for (HANDLE bad : {ev[64], other, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        HANDLE pair[] = {ev[0], bad};
        expect_failure(WaitForMultipleObjects(2, pair, FALSE, INFINITE), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(SetEvent(bad));
        EXPECT_FALSE(PulseEvent(bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    CloseHandle(other);
    for (int i = 0; i < 64; ++i)
        CloseHandle(ev[i]);
}

TEST(Wait, LowestSignalledIndexWinsAndOnlyItIsConsumed)
{
    HANDLE e[4];
    for (HANDLE& h : e)
        h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(e[3]);
    SetEvent(e[1]);
    EXPECT_EQ(WaitForMultipleObjects(4, e, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(4, e, FALSE, 0), WAIT_OBJECT_0 + 3);
    EXPECT_EQ(WaitForMultipleObjects(4, e, FALSE, 30), WAIT_TIMEOUT);
    EXPECT_EQ(blocked_waiters(e[0]), 0U);  // the timed-out wait left nothing behind
    for (HANDLE h : e)
        CloseHandle(h);
}

// The worker's loop: rotate the list by one (last to the front), wait, serve the handle.
// Handles that stay signalled must each be served at least once every list-length passes.
TEST(Wait, RotationGivesEverySignalledHandleItsTurn)
{
    constexpr int count = MAXIMUM_WAIT_OBJECTS;
    std::vector<HANDLE> ev(count);
    for (int i = 0; i < count; ++i)
        ev[i] = CreateEventA(nullptr, TRUE, i % 3 != 1, nullptr);  // some stay silent
    std::deque<HANDLE> list(ev.begin(), ev.end());
    std::vector<int> last_served(count, -1);
    for (int pass = 0; pass < count * 4; ++pass) {
        list.push_front(list.back());
        list.pop_back();
        HANDLE wait_array[MAXIMUM_WAIT_OBJECTS];
        std::copy(list.begin(), list.end(), wait_array);
        DWORD r = WaitForMultipleObjects(count, wait_array, FALSE, INFINITE);
        ASSERT_LT(r, static_cast<DWORD>(count));
        auto served = std::find(ev.begin(), ev.end(), wait_array[r]) - ev.begin();
        ASSERT_NE(served % 3, 1) << "a silent handle was reported";
        ASSERT_LE(pass - last_served[served], count) << "handle " << served << " starved";
        last_served[served] = pass;
    }
    for (HANDLE h : ev)
        CloseHandle(h);
}

// Once one object has released a waiter, a second one signalled before the waiter runs
// must not be consumed on its behalf.
TEST(Wait, SatisfiedWaiterConsumesOnlyTheEventThatReleasedIt)
{
    for (int round = 0; round < 200; ++round) {
        HANDLE e[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr),
                       CreateEventA(nullptr, FALSE, FALSE, nullptr)};
        std::atomic<DWORD> result{WAIT_FAILED};
        std::thread waiter([&] { result = WaitForMultipleObjects(2, e, FALSE, INFINITE); });
        ASSERT_TRUE(eventually([&] { return blocked_waiters(e[1]) == 1; }));
        SetEvent(e[1]);
        SetEvent(e[0]);
        waiter.join();
        ASSERT_EQ(result, WAIT_OBJECT_0 + 1);
        ASSERT_EQ(WaitForSingleObject(e[1], 0), WAIT_TIMEOUT);
        ASSERT_EQ(WaitForSingleObject(e[0], 0), WAIT_OBJECT_0);
        CloseHandle(e[0]);
        CloseHandle(e[1]);
    }
}

TEST(Wait, SetReleasesAllOrExactlyOneWaiter)
{
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        waiters w(manual, 6);
        SetEvent(manual);
    }
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);

    HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    waiters w(automatic, 6);
    for (int signal = 1; signal <= 6; ++signal) {
        SetEvent(automatic);
        ASSERT_TRUE(eventually([&] { return w.released == signal; }));
        EXPECT_EQ(blocked_waiters(automatic), std::size_t(6 - signal));
        EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT) << "not consumed";
    }
    CloseHandle(manual);
    CloseHandle(automatic);
}

TEST(Wait, PulseReleasesOnlyCurrentWaitersAndLeavesTheEventUnsignalled)
{
    for (BOOL manual : {TRUE, FALSE}) {
        HANDLE e = CreateEventA(nullptr, manual, FALSE, nullptr);
        waiters w(e, 4);
        EXPECT_TRUE(PulseEvent(e));
        const int expected = manual ? 4 : 1;
        ASSERT_TRUE(eventually([&] { return w.released == expected; }));
        EXPECT_EQ(blocked_waiters(e), std::size_t(4 - expected));
        EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);  // a later wait finds nothing
        for (int i = w.released; i < 4; ++i)  // the rest are still blocked
            SetEvent(e);
        CloseHandle(e);
    }
}

// A signal arriving just as a short wait times out is reported by that wait or left for
// the next; it is never consumed and lost (the test would hang).
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
        WaitForSingleObject(done, INFINITE);
    }
    consumer.join();
    EXPECT_EQ(WaitForSingleObject(work, 0), WAIT_TIMEOUT);
    CloseHandle(work);
    CloseHandle(done);
}

}  // namespace
