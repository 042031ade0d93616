// Threads: waitable handles, exit codes, identifiers and the self-suspension hand-shake.
#include "platform/sync/tests/sync_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <utility>
#include <vector>

namespace {

using sync_test::eventually;

struct run_info {
    HANDLE go = nullptr;
    std::atomic<DWORD> seen_id{0};
    DWORD result = 0;
};

DWORD waiting_routine(LPVOID parameter)
{
    auto* info = static_cast<run_info*>(parameter);
    info->seen_id = GetCurrentThreadId();
    if (info->go)
        WaitForSingleObject(info->go, INFINITE);
    return info->result;
}

TEST(Thread, HandleIsSignalledAtExitWithTheExitCode)
{
    run_info a, b;
    a.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    b.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    b.result = 42;
    DWORD id = 0;
    HANDLE t[2] = {CreateThread(nullptr, 0, waiting_routine, &a, 0, nullptr),
                   CreateThread(nullptr, 64 * 1024, waiting_routine, &b, 0, &id)};
    ASSERT_TRUE(t[0] && t[1]);
    ASSERT_TRUE(eventually([&] { return b.seen_id != 0; }));
    EXPECT_EQ(b.seen_id, id);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t[1], &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForMultipleObjects(2, t, FALSE, 0), WAIT_TIMEOUT);

    SetEvent(b.go);
    EXPECT_EQ(WaitForMultipleObjects(2, t, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(t[1], 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_TRUE(GetExitCodeThread(t[1], &code));
    EXPECT_EQ(code, 42U);

    // The thread outlives its closed handle.
    CloseHandle(t[0]);
    SetEvent(a.go);
    EXPECT_FALSE(GetExitCodeThread(t[0], &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetExitCodeThread(a.go, &code));  // an event is no thread
    EXPECT_FALSE(GetExitCodeThread(t[1], nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    for (HANDLE h : {t[1], a.go, b.go})
        CloseHandle(h);
}

TEST(Thread, CreateSuspendedAndBadArguments)
{
    run_info info;
    HANDLE t = CreateThread(nullptr, 0, waiting_routine, &info, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 20), WAIT_TIMEOUT);
    EXPECT_EQ(info.seen_id, 0U);  // held before its routine
    EXPECT_EQ(SuspendThread(t), static_cast<DWORD>(-1));  // not the calling thread
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(ResumeThread(t), 1U);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_NE(info.seen_id, 0U);
    CloseHandle(t);

    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (HANDLE bad : {event, t}) {
        SetLastError(0);
        EXPECT_EQ(SuspendThread(bad), static_cast<DWORD>(-1));
        EXPECT_EQ(ResumeThread(bad), static_cast<DWORD>(-1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    CloseHandle(event);
}

TEST(Thread, IdentifiersAreUniqueNonZeroAndStable)
{
    const DWORD mine = GetCurrentThreadId();
    EXPECT_EQ(GetCurrentThreadId(), mine);
    std::set<DWORD> ids{0, mine};
    for (int i = 0; i < 16; ++i) {
        run_info info;
        DWORD id = 0;
        HANDLE t = CreateThread(nullptr, 0, waiting_routine, &info, 0, &id);
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
        EXPECT_EQ(info.seen_id, id);
        EXPECT_TRUE(ids.insert(id).second) << id;
    }
}

// The worker's pause hand-shake: signal "paused", then suspend oneself; the other side
// resumes as soon as it sees the signal, often before the suspension has begun.
struct pausing {
    HANDLE self = nullptr;
    HANDLE paused = nullptr;
    HANDLE go = nullptr;
    int rounds = 0;
};

DWORD pausing_routine(LPVOID parameter)
{
    auto* p = static_cast<pausing*>(parameter);
    if (p->go)
        WaitForSingleObject(p->go, INFINITE);
    DWORD nonzero = 0;
    for (int i = 0; i < p->rounds; ++i) {
        SetEvent(p->paused);
        if (SuspendThread(p->self) != 0)
            ++nonzero;
    }
    return nonzero;
}

HANDLE start_pausing(pausing& p)
{
    p.paused = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    p.self = CreateThread(nullptr, 0, pausing_routine, &p, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(ResumeThread(p.self), 1U);
    return p.self;
}

TEST(Thread, ResumeNeverLosesTheWakeUpOfASelfSuspension)
{
    pausing p;
    p.rounds = 5000;
    HANDLE t = start_pausing(p);
    for (int i = 0; i < p.rounds; ++i) {
        WaitForSingleObject(p.paused, INFINITE);
        // 1: it was suspended; 0: not yet, and the resume is kept for it.
        ASSERT_LE(ResumeThread(t), 1U);
    }
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);  // a lost one hangs here
    DWORD code = 1;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 0U);
    CloseHandle(t);
    CloseHandle(p.paused);
}

TEST(Thread, SuspensionBlocksUntilResumeAndAnEarlyResumeIsKept)
{
    pausing blocked;
    blocked.rounds = 1;
    HANDLE t = start_pausing(blocked);
    WaitForSingleObject(blocked.paused, INFINITE);
    EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);  // suspended or about to be
    ResumeThread(t);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
    CloseHandle(blocked.paused);

    // Resumes that reach a running thread leave one pending resume, however many arrive.
    pausing early;
    early.rounds = 1;
    early.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    t = start_pausing(early);
    EXPECT_EQ(ResumeThread(t), 0U);
    EXPECT_EQ(ResumeThread(t), 0U);
    SetEvent(early.go);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
    CloseHandle(early.paused);
    CloseHandle(early.go);
}

// ---- asynchronous procedure calls ----------------------------------------------------

std::vector<std::pair<DWORD, ULONG_PTR>> g_calls;  // (thread, data) of each call run

void record_call(ULONG_PTR data)
{
    g_calls.emplace_back(GetCurrentThreadId(), data);
}

// A call wakes an alertable wait, runs on the waiting thread and leaves the object
// alone; a plain wait is not woken; calls die with their thread.
TEST(Apc, AQueuedCallWakesOnlyAnAlertableWait)
{
    g_calls.clear();
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> id{0}, first{MAXDWORD}, second{MAXDWORD};
    std::thread waiter([&] {
        id = GetCurrentThreadId();
        first = WaitForSingleObjectEx(ev, INFINITE, TRUE);
        second = WaitForSingleObjectEx(ev, INFINITE, FALSE);
    });
    ASSERT_TRUE(eventually([&] { return sync_test::blocked_waiters(ev) == 1; }));
    HANDLE thread = OpenThread(THREAD_SET_CONTEXT, FALSE, id);
    ASSERT_NE(QueueUserAPC(record_call, thread, 7), 0U);
    ASSERT_TRUE(eventually([&] { return first == WAIT_IO_COMPLETION; }));
    ASSERT_TRUE(eventually([&] { return sync_test::blocked_waiters(ev) == 1; }));
    ASSERT_NE(QueueUserAPC(record_call, thread, 8), 0U);  // stays queued
    SetEvent(ev);
    waiter.join();
    EXPECT_EQ(second, WAIT_OBJECT_0);
    EXPECT_EQ(g_calls, (std::vector<std::pair<DWORD, ULONG_PTR>>{{id, 7}}));
    EXPECT_EQ(QueueUserAPC(record_call, thread, 9), 0U);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(OpenThread(THREAD_SET_CONTEXT, FALSE, id), nullptr);
    CloseHandle(thread);
    CloseHandle(ev);
}

// Calls queued before an alertable wait run first, in order, and leave a signalled
// object to the next wait.
TEST(Apc, QueuedCallsRunFirstInOrder)
{
    g_calls.clear();
    HANDLE ev = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE self = OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId());
    ASSERT_NE(QueueUserAPC(record_call, self, 1), 0U);
    ASSERT_NE(QueueUserAPC(record_call, self, 2), 0U);
    EXPECT_EQ(SleepEx(0, FALSE), 0U);
    EXPECT_EQ(WaitForSingleObjectEx(ev, INFINITE, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(WaitForSingleObjectEx(ev, INFINITE, TRUE), WAIT_OBJECT_0);
    ASSERT_NE(QueueUserAPC(record_call, self, 3), 0U);
    EXPECT_EQ(SleepEx(INFINITE, TRUE), WAIT_IO_COMPLETION);
    const DWORD me = GetCurrentThreadId();
    EXPECT_EQ(g_calls, (std::vector<std::pair<DWORD, ULONG_PTR>>{{me, 1}, {me, 2}, {me, 3}}));
    EXPECT_EQ(QueueUserAPC(record_call, ev, 4), 0U);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(self);
    CloseHandle(ev);
}

}  // namespace
