// Critical sections, interlocked counters, the tick count and Sleep.
#include "platform/sync/tests/sync_test_util.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));

    auto try_from_other_thread = [&] {
        BOOL got = FALSE;
        std::thread([&] {
            got = TryEnterCriticalSection(&cs);
            if (got)
                LeaveCriticalSection(&cs);
        }).join();
        return got;
    };
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(try_from_other_thread());  // still held once
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(try_from_other_thread());
    DeleteCriticalSection(&cs);
}

TEST(CriticalSection, GuardsAPlainCounter)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                EnterCriticalSection(&cs);
                EnterCriticalSection(&cs);
                ++counter;
                LeaveCriticalSection(&cs);
                LeaveCriticalSection(&cs);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
    DeleteCriticalSection(&cs);
}

TEST(Interlocked, ReturnValues)
{
    LONG volatile value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9);  // no match: unchanged
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
    EXPECT_EQ(value, 1);
    value = 0x7fffffff;
    EXPECT_EQ(InterlockedIncrement(&value), static_cast<LONG>(0x80000000U));
    value = 1;
    EXPECT_EQ(InterlockedDecrement(&value), 0);
}

TEST(Interlocked, CountersAreAtomicAcrossThreads)
{
    LONG volatile counter = 0;
    LONG volatile cas_counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                InterlockedIncrement(&counter);
                InterlockedIncrement(&counter);
                InterlockedDecrement(&counter);
                LONG seen = 0;
                do {
                    seen = InterlockedCompareExchange(&cas_counter, 0, 0);
                } while (InterlockedCompareExchange(&cas_counter, seen + 1, seen) != seen);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 200000);
    EXPECT_EQ(cas_counter, 200000);
}

TEST(Time, TickCountAdvancesWithSleep)
{
    const DWORD before = GetTickCount();
    Sleep(25);
    const DWORD after = GetTickCount();
    EXPECT_GE(static_cast<DWORD>(after - before), 25U);  // unsigned: correct across a wrap
    Sleep(0);
}

void on_signal(int) {}

TEST(Time, SleepIsNotShortenedBySignals)
{
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = on_signal;  // no SA_RESTART: the sleep sees EINTR
    sigaction(SIGUSR1, &action, &previous);

    std::atomic<bool> done{false};
    std::chrono::steady_clock::duration slept{};
    std::thread sleeper([&] {
        auto start = std::chrono::steady_clock::now();
        Sleep(100);
        slept = std::chrono::steady_clock::now() - start;
        done = true;
    });
    const pthread_t target = sleeper.native_handle();
    while (!done) {
        pthread_kill(target, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    sleeper.join();
    EXPECT_GE(slept, std::chrono::milliseconds(100));
    sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
