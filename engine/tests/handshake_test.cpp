// The pause hand-shake raced thousands of times: no resume and no stop may be lost,
// whatever the worker is doing when Start, Pause or Stop arrive. A lost wake-up shows
// as a hang (the test's time-out).
#include "engine/WorkerThreadContext.h"

#include <gtest/gtest.h>

#include <atomic>
#include <semaphore>
#include <thread>

namespace {

std::atomic<int> g_live{0};
std::atomic<int> g_runs{0};
// Bounds how many counting tasks are queued at once, so that the feeder blocks instead of
// outrunning the worker while it is paused or stopped.
std::counting_semaphore<1 << 20> g_slots{64};

class CountingTask : public CStrategy {
public:
    CountingTask() : CStrategy(TRUE) { ++g_live; }
    ~CountingTask() override
    {
        --g_live;
        g_slots.release();
    }
    BOOL AlgorithmInterface(BOOL&) override
    {
        ++g_runs;
        return TRUE;
    }
};

// Stays active until its thread stops, which then terminates and deletes it.
class IdleTask : public CEventStrategy {
public:
    IdleTask() : CEventStrategy(TRUE, FALSE, TRUE) { ++g_live; }
    ~IdleTask() override { --g_live; }
    BOOL AlgorithmInterface(BOOL&) override { return FALSE; }
};

#if defined(__SANITIZE_THREAD__)
constexpr int kRounds = 600;
#else
constexpr int kRounds = 3000;
#endif

TEST(WorkerHandshake, PauseStartStopRacedWithoutAHang)
{
    {
        CWorkerThreadContext context;
        // Tasks arrive from another thread all the time.
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            while (feeding) {
                g_slots.acquire();
                context.Add(new CountingTask);
            }
        });

        for (int round = 0; round < kRounds; ++round) {
            context.Add(new IdleTask, TRUE);
            switch (round % 6) {
            case 0:  // pause and resume, twice
                ASSERT_TRUE(context.Start());
                context.Pause();
                ASSERT_FALSE(context.IsRunning());
                ASSERT_TRUE(context.Start());
                context.Pause();
                ASSERT_FALSE(context.IsRunning());
                break;
            case 1:  // a pause requested before the thread starts: Stop meets it on its way
                context.Pause();
                ASSERT_TRUE(context.Start());
                break;
            case 2:  // stop a paused thread
                ASSERT_TRUE(context.Start());
                context.Pause();
                break;
            case 3:  // resumed twice for one pause: the second Start must not pre-empt
                     // the next pause
                ASSERT_TRUE(context.Start());
                context.Pause();
                ASSERT_TRUE(context.Start());
                ASSERT_TRUE(context.Start());
                context.Pause();
                ASSERT_FALSE(context.IsRunning());
                break;
            case 4: {  // a pause from another thread meets the stop
                ASSERT_TRUE(context.Start());
                std::thread pauser([&] { context.Pause(); });
                context.Stop();
                pauser.join();
                break;
            }
            default:  // start and stop at once
                ASSERT_TRUE(context.Start());
                break;
            }
            context.Stop();
            ASSERT_TRUE(context.IsStopped());
        }
        // One more slot lets a feeder blocked on a full queue see the end.
        feeding = false;
        g_slots.release();
        feeder.join();
    }
    EXPECT_GT(g_runs.load(), 0);
    EXPECT_EQ(g_live.load(), 0);  // every task deleted once, by the worker or by Clear
}

}  // namespace
