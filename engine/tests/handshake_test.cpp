// The pause hand-shake raced thousands of times while another thread keeps adding tasks:
// no resume and no stop may be lost, whatever the worker is doing when Start, Pause or
// Stop arrive. A lost wake-up shows as a hang (the test's time-out).
#include "engine/WorkerThreadContext.h"

#include <gtest/gtest.h>

#include <atomic>
#include <semaphore>
#include <thread>

namespace {

std::atomic<int> g_live{0};
// Bounds the queued tasks, so that the feeder blocks while the worker is paused or
// stopped instead of outrunning it.
std::counting_semaphore<1 << 20> g_slots{64};

class CountingTask : public CEventStrategy {
public:
    // bIdle: an event task that stays active until its thread stops; else a plain task.
    explicit CountingTask(bool bIdle) : CEventStrategy(TRUE, FALSE, TRUE), idle_(bIdle)
    {
        ++g_live;
        if (!bIdle) {
            CloseHandle(m_hEvent);
            m_hEvent = INVALID_HANDLE_VALUE;
        }
    }
    ~CountingTask() override
    {
        --g_live;
        if (!idle_)
            g_slots.release();
    }
    BOOL AlgorithmInterface(BOOL&) override { return TRUE; }

private:
    bool idle_;
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
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            while (feeding) {
                g_slots.acquire();
                context.Add(new CountingTask(false));
            }
        });
        for (int round = 0; round < kRounds; ++round) {
            context.Add(new CountingTask(true), TRUE);
            if (round % 6 != 1) {
                ASSERT_TRUE(context.Start());
            }
            switch (round % 6) {
            case 0:  // pause and resume, twice
                context.Pause();
                ASSERT_FALSE(context.IsRunning());
                ASSERT_TRUE(context.Start());
                context.Pause();
                ASSERT_FALSE(context.IsRunning());
                break;
            case 1:  // paused before it starts: the stop meets the worker on its way to pause
                context.Pause();
                ASSERT_TRUE(context.Start());
                break;
            case 2:  // stop a paused thread
                context.Pause();
                break;
            case 3:  // resumed twice for one pause: the next pause must still hold
                context.Pause();
                ASSERT_TRUE(context.Start());
                ASSERT_TRUE(context.Start());
                context.Pause();
                ASSERT_FALSE(context.IsRunning());
                break;
            case 4: {  // a pause from another thread meets the stop
                std::thread pauser([&] { context.Pause(); });
                context.Stop();
                pauser.join();
                break;
            }
            default:  // start and stop at once
                break;
            }
            context.Stop();
            ASSERT_TRUE(context.IsStopped());
        }
        feeding = false;
        g_slots.release();  // lets a feeder blocked on a full queue see the end
        feeder.join();
    }
    EXPECT_EQ(g_live.load(), 0);  // every task deleted once, by the worker or by Clear
}

}  // namespace
