// Threads: waitable handles, exit codes, identifiers and the self-suspension hand-shake.
#include "platform/sync/tests/sync_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <vector>

namespace {

using sync_test::blocked_waiters;
using sync_test::eventually;

struct run_info {
    HANDLE go = nullptr;
    std::atomic<DWORD> seen_id{0};
    std::atomic<bool> ran{false};
    DWORD result = 0;
};

DWORD waiting_routine(LPVOID parameter)
{
    auto* info = static_cast<run_info*>(parameter);
    info->seen_id = GetCurrentThreadId();
    info->ran = true;
    if (info->go)
        WaitForSingleObject(info->go, INFINITE);
    return info->result;
}

TEST(Thread, HandleIsSignalledAtExitWithTheExitCode)
{
    run_info info;
    info.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    info.result = 42;
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, waiting_routine, &info, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0U);
    EXPECT_NE(id, GetCurrentThreadId());

    ASSERT_TRUE(eventually([&] { return info.ran.load(); }));
    EXPECT_EQ(info.seen_id, id);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);

    SetEvent(info.go);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42U);

    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(t, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(t);
    EXPECT_FALSE(GetExitCodeThread(t, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetExitCodeThread(info.go, &code));  // an event is no thread
    CloseHandle(info.go);
}

TEST(Thread, WaitAnyOverThreadsReportsTheOneThatEnded)
{
    run_info a, b;
    a.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    b.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[] = {CreateThread(nullptr, 0, waiting_routine, &a, 0, nullptr),
                        CreateThread(nullptr, 0, waiting_routine, &b, 0, nullptr)};
    ASSERT_TRUE(eventually([&] { return blocked_waiters(threads[1]) == 0 && b.ran; }));
    SetEvent(b.go);
    EXPECT_EQ(WaitForMultipleObjects(2, threads, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    SetEvent(a.go);
    EXPECT_EQ(WaitForSingleObject(threads[0], INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, threads, FALSE, 0), WAIT_OBJECT_0);
    for (HANDLE h : {threads[0], threads[1], a.go, b.go})
        CloseHandle(h);
}

TEST(Thread, KeepsRunningAfterItsHandleIsClosed)
{
    run_info info;
    info.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 64 * 1024, waiting_routine, &info, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(CloseHandle(t));
    SetEvent(info.go);
    EXPECT_TRUE(eventually([&] { return info.ran.load(); }));
    // The object dies with the thread; nothing to observe but the absence of a crash
    // under the sanitizers.
    CloseHandle(info.go);
}

TEST(Thread, CreateSuspendedRunsOnlyAfterResume)
{
    run_info info;
    HANDLE t = CreateThread(nullptr, 0, waiting_routine, &info, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 20), WAIT_TIMEOUT);
    EXPECT_FALSE(info.ran);
    EXPECT_EQ(ResumeThread(t), 1U);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(info.ran);
    CloseHandle(t);
}

TEST(Thread, BadArgumentsFail)
{
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (HANDLE h : {e, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        SetLastError(0);
        EXPECT_EQ(SuspendThread(h), static_cast<DWORD>(-1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(ResumeThread(h), static_cast<DWORD>(-1));
    }
    CloseHandle(e);
}

TEST(Thread, SuspendingAnotherThreadIsNotSupported)
{
    run_info info;
    info.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, waiting_routine, &info, 0, nullptr);
    SetLastError(0);
    EXPECT_EQ(SuspendThread(t), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    SetEvent(info.go);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    CloseHandle(info.go);
}

TEST(Thread, IdentifiersAreUniqueAndStable)
{
    const DWORD mine = GetCurrentThreadId();
    EXPECT_NE(mine, 0U);
    EXPECT_EQ(GetCurrentThreadId(), mine);
    constexpr int count = 16;
    std::vector<run_info> infos(count);
    std::vector<HANDLE> threads;
    std::set<DWORD> ids{mine};
    for (auto& info : infos) {
        DWORD id = 0;
        threads.push_back(CreateThread(nullptr, 0, waiting_routine, &info, 0, &id));
        ids.insert(id);
    }
    for (int i = 0; i < count; ++i) {
        WaitForSingleObject(threads[i], INFINITE);
        CloseHandle(threads[i]);
        EXPECT_TRUE(ids.count(infos[i].seen_id));
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(count + 1));
    EXPECT_EQ(ids.count(0), 0U);
}

// The worker's pause hand-shake: signal "paused", then suspend oneself; the other side
// resumes as soon as it sees the signal, which may be before the suspension has begun.
struct pausing {
    HANDLE self = nullptr;
    HANDLE paused = nullptr;
    int rounds = 0;
    std::atomic<int> suspend_results_nonzero{0};
};

DWORD pausing_routine(LPVOID parameter)
{
    auto* p = static_cast<pausing*>(parameter);
    for (int i = 0; i < p->rounds; ++i) {
        SetEvent(p->paused);
        if (SuspendThread(p->self) != 0)
            ++p->suspend_results_nonzero;
    }
    return 7;
}

TEST(Thread, ResumeNeverLosesTheWakeUpOfASelfSuspension)
{
    pausing p;
    p.rounds = 5000;
    p.paused = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    p.self = CreateThread(nullptr, 0, pausing_routine, &p, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(p.self, nullptr);
    ResumeThread(p.self);
    int really_suspended = 0;
    for (int i = 0; i < p.rounds; ++i) {
        ASSERT_EQ(WaitForSingleObject(p.paused, 20000), WAIT_OBJECT_0) << "round " << i;
        // 1: the thread was suspended; 0: not yet, and the resume is kept for it.
        const DWORD previous = ResumeThread(p.self);
        ASSERT_LE(previous, 1U);
        really_suspended += static_cast<int>(previous);
    }
    ASSERT_EQ(WaitForSingleObject(p.self, 20000), WAIT_OBJECT_0) << "the worker hung";
    DWORD code = 0;
    GetExitCodeThread(p.self, &code);
    EXPECT_EQ(code, 7U);
    EXPECT_EQ(p.suspend_results_nonzero, 0);
    RecordProperty("resumes_that_found_the_thread_suspended", really_suspended);
    CloseHandle(p.self);
    CloseHandle(p.paused);
}

TEST(Thread, SuspendedThreadBlocksUntilResumed)
{
    pausing p;
    p.rounds = 1;
    p.paused = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    p.self = CreateThread(nullptr, 0, pausing_routine, &p, CREATE_SUSPENDED, nullptr);
    ResumeThread(p.self);
    ASSERT_EQ(WaitForSingleObject(p.paused, INFINITE), WAIT_OBJECT_0);
    // Suspended or about to be: either way it must not end by itself.
    EXPECT_EQ(WaitForSingleObject(p.self, 50), WAIT_TIMEOUT);
    EXPECT_LE(ResumeThread(p.self), 1U);
    EXPECT_EQ(WaitForSingleObject(p.self, INFINITE), WAIT_OBJECT_0);
    CloseHandle(p.self);
    CloseHandle(p.paused);
}

struct early_resume {
    HANDLE self = nullptr;
    HANDLE go = nullptr;
};

DWORD suspend_after_go(LPVOID parameter)
{
    auto* r = static_cast<early_resume*>(parameter);
    WaitForSingleObject(r->go, INFINITE);
    return SuspendThread(r->self);
}

// A resume of a running thread is kept, however many arrive, for one later suspension.
TEST(Thread, ResumeBeforeSuspendIsKeptForTheNextSuspension)
{
    early_resume r;
    r.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    r.self = CreateThread(nullptr, 0, suspend_after_go, &r, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(ResumeThread(r.self), 1U);  // from CREATE_SUSPENDED to running
    EXPECT_EQ(ResumeThread(r.self), 0U);  // not suspended: kept
    EXPECT_EQ(ResumeThread(r.self), 0U);
    SetEvent(r.go);
    EXPECT_EQ(WaitForSingleObject(r.self, 20000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(r.self, &code);
    EXPECT_EQ(code, 0U);  // SuspendThread returned the previous count, 0
    CloseHandle(r.self);
    CloseHandle(r.go);
}

}  // namespace
