// Critical sections, interlocked counters, the tick count and Sleep.
#include "platform/sync/sync.h"

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
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    auto other_thread_gets_it = [&] {
        BOOL got = FALSE;
        std::thread([&] {
            if ((got = TryEnterCriticalSection(&cs)))
                LeaveCriticalSection(&cs);
        }).join();
        return got;
    };
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(other_thread_gets_it());  // still held once
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(other_thread_gets_it());
    DeleteCriticalSection(&cs);
}

TEST(Interlocked, ReturnValuesAndAtomicity)
{
    LONG volatile value = 0x7fffffff;
    EXPECT_EQ(InterlockedIncrement(&value), static_cast<LONG>(0x80000000U));
    EXPECT_EQ(InterlockedDecrement(&value), 0x7fffffff);
    EXPECT_EQ(InterlockedExchange(&value, 9), 0x7fffffff);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9);  // no match: unchanged
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
    EXPECT_EQ(value, 1);

    LONG volatile counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                InterlockedIncrement(&counter);
                LONG seen;
                do
                    seen = InterlockedCompareExchange(&counter, 0, 0);  // atomic read
                while (InterlockedCompareExchange(&counter, seen + 1, seen) != seen);
                InterlockedDecrement(&counter);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 200000);
}

void on_signal(int) {}

TEST(Time, SleepIsNotShortenedBySignalsAndTheTickCountFollows)
{
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = on_signal;  // no SA_RESTART: the sleep sees EINTR
    sigaction(SIGUSR1, &action, &previous);

    std::atomic<bool> done{false};
    std::chrono::steady_clock::duration slept{};
    DWORD ticks = 0;
    std::thread sleeper([&] {
        const auto start = std::chrono::steady_clock::now();
        const DWORD before = GetTickCount();
        Sleep(100);
        ticks = GetTickCount() - before;  // unsigned: right across a wrap too
        slept = std::chrono::steady_clock::now() - start;
        done = true;
    });
    while (!done) {
        pthread_kill(sleeper.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    sleeper.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GE(slept, std::chrono::milliseconds(100));
    EXPECT_GE(ticks, 100U);
}

}  // namespace
