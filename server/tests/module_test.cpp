// The server's lock count: interlocked counting from many threads and the shutdown
// signal when the count falls to zero.
#include "server/Module.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(ServerModule, CountsLocksFromManyThreadsAndSignalsOnlyAtZero)
{
    CServerModule module;
    HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(hEvent, nullptr);
    module.m_hShutdownEvent = hEvent;

    EXPECT_EQ(module.Lock(), 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&module] {
            for (int i = 0; i < 10000; ++i) {
                module.Lock();
                module.Unlock();
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(module.GetLockCount(), 1);
    // The count never reached 0 while the first lock was held.
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(module.m_bActivity.load());

    EXPECT_EQ(module.Unlock(), 0);
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(module.m_bActivity.load());
    CloseHandle(hEvent);
}

TEST(ServerModule, UnlockWithoutShutdownEventOnlyCounts)
{
    CServerModule module;
    module.Lock();
    EXPECT_EQ(module.Unlock(), 0);
    EXPECT_TRUE(module.m_bActivity.load());
    EXPECT_EQ(module.GetLockCount(), 0);
}

}  // namespace
