// The worker with real threads and events: queueing, active tasks, the wait rotation,
// the 64-handle limit, ownership at stop and clear, and failures of start-up and wait.
#include "engine/tests/engine_test_support.h"

#include <gtest/gtest.h>

#include <map>

namespace {

class TestContext : public CWorkerThreadContext {
public:
    HANDLE thread() const { return m_hThread; }
    DWORD thread_id() const { return m_dwThreadId; }
};

using Entries = Journal::Entries;

Entries runs_of(Journal& journal)
{
    Entries runs;
    for (const auto& e : journal.entries())
        if (e.rfind("run:", 0) == 0)
            runs.push_back(e);
    return runs;
}

TEST(Worker, StartStopAndTheTwoKindsOfTask)
{
    Journal journal;
    TestContext context;
    context.Stop();  // no thread: nothing to do
    ASSERT_TRUE(context.Start());
    DWORD first = context.thread_id();
    EXPECT_TRUE(context.Start());  // running and not paused: creates nothing
    EXPECT_EQ(context.thread_id(), first);
    context.Stop();
    context.Stop();
    ASSERT_TRUE(context.Start());  // a new thread
    EXPECT_NE(context.thread_id(), first);
    EXPECT_FALSE(context.Add(nullptr));

    // A plain task runs once, even when it neither signals nor says it is done.
    context.Add(new Task(journal, "once", TRUE, true, 0, FALSE));
    auto* kept = new Task(journal, "kept", FALSE);  // kept by its adder
    context.Add(kept);
    EXPECT_EQ(kept->GetCompletionCode(), 1u);
    EXPECT_EQ(kept->GetCompletionCode(), 1u);
    ASSERT_TRUE(journal.wait_for("delete:once"));
    EXPECT_EQ(journal.count("run:once"), 1);

    // An event task runs on each signal until its third run says it is done.
    auto* task = new Task(journal, "e", FALSE, false, 3);
    context.Add(task);
    for (size_t run = 1; run <= 3; ++run) {
        ASSERT_TRUE(journal.wait([&](const Entries& e) {
            return size_t(std::count_if(e.begin(), e.end(), [](auto& x) { return x[0] == 'r'; })) ==
                   2 + run;
        }));
        EXPECT_EQ(task->GetCompletionCode(), run);
        SetEvent(task->event());
    }
    // Left signalled: two markers show the worker went round with it in no wait.
    for (const char* marker : {"m1", "m2"}) {
        context.Add(new Task(journal, marker, TRUE));
        ASSERT_TRUE(journal.wait_for(std::string("delete:") + marker));
    }
    EXPECT_EQ(journal.count("run:e"), 3);
    context.Stop();
    EXPECT_EQ(journal.count("delete:kept") + journal.count("terminate:e"), 0);
    delete kept;
    delete task;
}

TEST(Worker, FrontAdditionsJumpTheQueue)
{
    Journal journal;
    TestContext context;
    for (const char* name : {"a", "b", "c", "d", "e"})
        context.Add(new Task(journal, name, TRUE), *name == 'c' || *name == 'd');
    ASSERT_TRUE(context.Start());
    ASSERT_TRUE(journal.wait_for("delete:e"));
    EXPECT_EQ(runs_of(journal), (Entries{"run:d", "run:c", "run:a", "run:b", "run:e"}));
}

TEST(Worker, RotationGivesEverySignalledHandleItsTurn)
{
    // Events that stay signalled: the lowest signalled index alone would starve all but
    // one task. From the moment the last task is active, each runs at least once in
    // every (tasks + 3) passes.
    constexpr size_t kTasks = 8, kHandles = kTasks + 3;
    Journal journal;
    TestContext context;
    for (size_t i = 0; i < kTasks; ++i) {
        auto* task = new Task(journal, std::to_string(i), TRUE, false);
        task->keep_signalled = true;
        SetEvent(task->event());
        context.Add(task);
    }
    ASSERT_TRUE(context.Start());
    ASSERT_TRUE(journal.wait([](const Entries& e) { return e.size() >= 60 * kHandles; }));
    context.Stop();
    Entries runs = runs_of(journal);
    size_t steady = 0;
    for (size_t i = 0; i < kTasks; ++i)
        steady = std::max<size_t>(
            steady, std::find(runs.begin(), runs.end(), "run:" + std::to_string(i)) - runs.begin());
    std::map<std::string, size_t> last;
    for (size_t i = steady; i < steady + 50 * kHandles; ++i) {
        if (last.count(runs[i])) {
            EXPECT_LE(i - last[runs[i]], kHandles) << runs[i] << " at " << i;
        }
        last[runs[i]] = i;
    }
}

TEST(Worker, TaskBeyondSixtyOneActiveWaitsUntilOneLeaves)
{
    Journal journal;
    TraceCapture capture(journal, 4);
    TestContext context;
    std::vector<HANDLE> events;
    for (int i = 0; i < 61; ++i) {
        auto* task = new Task(journal, "t" + std::to_string(i), TRUE, false, 2);
        events.push_back(task->event());
        context.Add(task);
    }
    context.Add(new Task(journal, "late", TRUE));
    ASSERT_TRUE(context.Start());
    ASSERT_TRUE(journal.wait_for("::Process()  Too Many Events on the queue!"));
    ASSERT_TRUE(journal.wait_for("::Process()  Queue Saturated!!"));
    // Full, with a task queued and no task's event signalled: the worker sleeps. (The add
    // event stays signalled all along; waiting on it would turn the loop without end.)
    const int passes = journal.count_containing("::Process()  In run loop.");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LE(journal.count_containing("::Process()  In run loop."), passes + 1);
    atlTraceCat = 0;
    EXPECT_EQ(runs_of(journal).size(), 61u);
    SetEvent(events[17]);  // t17's second run ends it and frees a place
    ASSERT_TRUE(journal.wait_for("delete:late"));
    EXPECT_LT(journal.index("delete:t17"), journal.index("run:late"));
    context.Stop();
    EXPECT_EQ(journal.count("terminate:t0"), 1);
}

TEST(Worker, OwnershipAtStopAndClear)
{
    Journal journal;
    {
        TraceCapture capture(journal, 4);
        TestContext context;
        ASSERT_TRUE(context.Start());
        context.Add(new Task(journal, "auto", TRUE, false));
        context.Add(new Task(journal, "owned", FALSE, false));
        ASSERT_TRUE(journal.wait_for("run:owned"));
        context.Pause();
        EXPECT_FALSE(context.IsRunning());
        context.Add(new Task(journal, "queued", TRUE));
        // Stopped while paused: both active tasks are terminated and deleted, whoever
        // owned them; the queued task is left for Clear, which never runs it.
        context.Stop();
        EXPECT_TRUE(context.IsStopped());
        for (std::string name : {"auto", "owned"}) {
            EXPECT_LT(journal.index("terminate:" + name), journal.index("delete:" + name));
            EXPECT_GE(journal.index("terminate:" + name), 0);
        }
        EXPECT_EQ(journal.index("delete:queued"), -1);
        context.Clear();
        EXPECT_LT(journal.index("terminate:queued"), journal.index("delete:queued"));
    }
    EXPECT_GE(journal.index("::Stop()  Kick starting the thread so that it will stop."), 0);
    EXPECT_EQ(journal.index("::Process()  Stop Detected."), -1);  // ended after its resume
    EXPECT_EQ(journal.count("run:queued"), 0);

    Journal never;  // a context never started deletes its queue without running it
    {
        TestContext context;
        context.Add(new Task(never, "p", TRUE));
        context.Add(new Task(never, "e", FALSE, false));
    }
    EXPECT_EQ(never.entries(), (Entries{"terminate:p", "delete:p", "terminate:e", "delete:e"}));
}

class FailingContext : public TestContext {
public:
    explicit FailingContext(Journal& journal) : journal_(journal) {}
    ~FailingContext() override { Stop(); }
    BOOL InitInstance() override
    {
        journal_.add("init");
        return FALSE;
    }
    DWORD ExitInstance() override
    {
        journal_.add("exit");
        return 7;
    }

private:
    Journal& journal_;
};

TEST(Worker, FailedInitInstanceSkipsTheLoopButNotExitInstance)
{
    Journal journal;
    FailingContext context(journal);
    context.Add(new Task(journal, "never", TRUE));
    ASSERT_TRUE(context.Start());
    ASSERT_EQ(WaitForSingleObject(context.thread(), INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(context.thread(), &code));
    EXPECT_EQ(code, 7u);
    // The queued task is let go of before ExitInstance: nobody would ever run it.
    EXPECT_EQ(journal.entries(), (Entries{"init", "terminate:never", "delete:never", "exit"}));
    // Gone, so stopped: nothing more is queued, and it must be stopped before a restart.
    EXPECT_FALSE(context.IsRunning());
    EXPECT_TRUE(context.IsStopped());
    auto* late = new Task(journal, "late", TRUE);
    EXPECT_FALSE(context.Add(late));
    EXPECT_FALSE(context.Start());
    context.Pause();  // does not wait for a thread that has ended
    context.Stop();
    EXPECT_TRUE(context.IsStopped());
    EXPECT_TRUE(context.Add(late));  // stopped by Stop: queued for the next start
}

// Closes its event on its first run, so the worker's next wait fails.
class SelfClosingTask : public Task {
public:
    using Task::Task;
    BOOL AlgorithmInterface(BOOL& bDone) override
    {
        CloseHandle(m_hEvent);
        m_hEvent = INVALID_HANDLE_VALUE;
        return Task::AlgorithmInterface(bDone);
    }
};

TEST(Worker, FailedWaitWindsTheWorkerDownAndLeavesNoWaiterHanging)
{
    Journal journal;
    TestContext context;
    // Taken one per pass: "held" becomes active, the closer's run makes the next wait
    // fail, and "queued" is still in the queue when the worker winds down.
    auto* held = new Task(journal, "held", FALSE, false, 0, FALSE);
    auto* queued = new Task(journal, "queued", FALSE);
    context.Add(held);
    context.Add(new Task(journal, "bystander", TRUE, false));
    context.Add(new SelfClosingTask(journal, "closer", TRUE, false));
    context.Add(queued);
    ASSERT_TRUE(context.Start());
    ASSERT_EQ(WaitForSingleObject(context.thread(), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(journal.count("terminate:bystander") + journal.count("delete:bystander"), 2);
    EXPECT_EQ(journal.count("delete:closer"), 1);

    // Kept tasks are handed back to their waiters, not deleted under them.
    EXPECT_EQ(WaitForSingleObject(held->completed(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(held->GetCompletionCode(), 1u);  // the code it had set stays
    EXPECT_EQ(WaitForSingleObject(queued->completed(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(queued->GetCompletionCode(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(journal.count("run:queued"), 0);
    EXPECT_EQ(journal.count("terminate:held") + journal.count("terminate:queued"), 2);
    EXPECT_EQ(journal.count("delete:held") + journal.count("delete:queued"), 0);

    // The dead thread reads as stopped, so a sender refuses at once instead of queueing
    // a task nobody will run.
    EXPECT_TRUE(context.IsStopped());
    EXPECT_FALSE(context.IsRunning());
    auto* late = new Task(journal, "late", FALSE);
    EXPECT_FALSE(context.Add(late));
    context.Stop();
    ASSERT_TRUE(context.Add(late));
    ASSERT_TRUE(context.Start());
    EXPECT_EQ(late->GetCompletionCode(), 1u);
    context.Stop();
    delete held;
    delete queued;
    delete late;
}

TEST(Worker, AKeptTaskThatCannotBeWaitedForIsNeverQueued)
{
    Journal journal;
    TestContext context;
    ASSERT_TRUE(context.Start());
    auto* kept = new Task(journal, "kept", FALSE);
    kept->lose_completion_event();
    EXPECT_FALSE(context.Add(kept));
    EXPECT_EQ(kept->GetCompletionCode(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    delete kept;  // its adder's to delete: it was never queued
    // Nobody waits for a task the worker deletes itself.
    auto* dropped = new Task(journal, "dropped", TRUE);
    dropped->lose_completion_event();
    EXPECT_TRUE(context.Add(dropped));
    ASSERT_TRUE(journal.wait_for("delete:dropped"));
    EXPECT_EQ(journal.count("run:kept"), 0);
}

}  // namespace
