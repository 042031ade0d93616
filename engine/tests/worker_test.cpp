// The worker thread context with real threads and events: queueing, active tasks, the
// wait rotation, the 64-handle limit, ownership at stop and clear, and start-up failure.
#include "engine/WorkerThreadContext.h"
#include "engine/tests/recording_tasks.h"
#include "engine/tests/trace_capture.h"

#include <gtest/gtest.h>

#include <map>

namespace {

class TestContext : public CWorkerThreadContext {
public:
    HANDLE thread() const { return m_hThread; }
    DWORD thread_id() const { return m_dwThreadId; }
};

TEST(Worker, PlainTasksRunOnceAndCarryTheirCompletionCode)
{
    Journal journal;
    TestContext context;
    ASSERT_TRUE(context.Start());

    // Kept by the adder: survives its removal and answers its waiter, twice.
    auto* kept = new PlainTask(journal, "kept", FALSE, TRUE, 42);
    ASSERT_TRUE(context.Add(kept));
    EXPECT_EQ(kept->GetCompletionCode(), 42u);
    EXPECT_EQ(kept->GetCompletionCode(), 42u);

    // Returns FALSE with bDone FALSE: removed all the same, and deleted.
    ASSERT_TRUE(context.Add(new PlainTask(journal, "once", TRUE, FALSE)));
    ASSERT_TRUE(journal.wait_for("delete:once"));
    EXPECT_EQ(journal.count("run:once"), 1);
    EXPECT_LT(journal.index("run:once"), journal.index("delete:once"));

    EXPECT_EQ(journal.count("delete:kept"), 0);
    delete kept;
    EXPECT_FALSE(context.Add(nullptr));
}

TEST(Worker, EventTaskRunsOnEachSignalUntilDone)
{
    Journal journal;
    TestContext context;
    ASSERT_TRUE(context.Start());
    auto* task = new EventTask(journal, "e", FALSE, 3);
    ASSERT_TRUE(context.Add(task));
    ASSERT_TRUE(journal.wait([](const auto& e) { return e.size() == 1; }));
    // TRUE with bDone FALSE signals the waiter and keeps the task active.
    EXPECT_EQ(task->GetCompletionCode(), 1u);
    for (int run = 2; run <= 3; ++run) {
        SetEvent(task->event());
        ASSERT_TRUE(journal.wait([run](const auto& e) { return e.size() == size_t(run); }));
    }
    // Done on run 3: its event no longer wakes it. Two markers prove that the worker
    // went round its loop with the event signalled.
    SetEvent(task->event());
    context.Add(new PlainTask(journal, "m1", TRUE));
    ASSERT_TRUE(journal.wait_for("delete:m1"));
    context.Add(new PlainTask(journal, "m2", TRUE));
    ASSERT_TRUE(journal.wait_for("delete:m2"));
    EXPECT_EQ(journal.count("run:e"), 3);
    context.Stop();
    EXPECT_EQ(journal.count("terminate:e"), 0);
    delete task;
}

TEST(Worker, FrontAdditionsJumpTheQueue)
{
    Journal journal;
    TestContext context;
    context.Add(new PlainTask(journal, "a", TRUE));
    context.Add(new PlainTask(journal, "b", TRUE));
    context.Add(new PlainTask(journal, "c", TRUE), TRUE);
    context.Add(new PlainTask(journal, "d", TRUE), TRUE);
    context.Add(new PlainTask(journal, "e", TRUE));
    ASSERT_TRUE(context.Start());
    ASSERT_TRUE(journal.wait_for("delete:e"));
    std::vector<std::string> runs;
    for (const auto& entry : journal.entries())
        if (entry.rfind("run:", 0) == 0)
            runs.push_back(entry);
    EXPECT_EQ(runs, (std::vector<std::string>{"run:d", "run:c", "run:a", "run:b", "run:e"}));
}

TEST(Worker, RotationGivesEverySignalledHandleItsTurn)
{
    // Eight tasks whose events stay signalled: the lowest signalled index would starve
    // all but one of them without the rotation.
    constexpr int kTasks = 8;
    constexpr size_t kHandles = kTasks + 3;
    Journal journal;
    TestContext context;
    for (int i = 0; i < kTasks; ++i) {
        auto* task = new EventTask(journal, std::to_string(i), TRUE, 0, TRUE);
        task->keep_signalled();
        context.Add(task);
    }
    ASSERT_TRUE(context.Start());
    ASSERT_TRUE(journal.wait([](const auto& e) { return e.size() >= 60 * kHandles; }));
    context.Stop();

    std::vector<std::string> runs;
    for (const auto& entry : journal.entries())
        if (entry.rfind("run:", 0) == 0)
            runs.push_back(entry);
    // From the moment the last task was taken, each task runs at least once in every
    // kHandles passes.
    size_t steady = 0;
    for (int i = 0; i < kTasks; ++i)
        steady = std::max<size_t>(steady, std::find(runs.begin(), runs.end(),
                                                    "run:" + std::to_string(i)) - runs.begin());
    std::map<std::string, size_t> last;
    for (size_t i = steady; i < steady + 50 * kHandles; ++i) {
        auto it = last.find(runs[i]);
        if (it != last.end()) {
            EXPECT_LE(i - it->second, kHandles) << runs[i] << " at " << i;
        }
        last[runs[i]] = i;
    }
    EXPECT_EQ(last.size(), size_t(kTasks));
}

TEST(Worker, TaskBeyondSixtyOneActiveWaitsUntilOneLeaves)
{
    Journal journal;
    std::vector<HANDLE> events;
    {
        TraceCapture capture(journal, 4, TRACE_CAT_QUEUES);
        TestContext context;
        for (int i = 0; i < 61; ++i) {
            auto* task = new EventTask(journal, "t" + std::to_string(i), TRUE, 2);
            events.push_back(task->event());
            context.Add(task);
        }
        context.Add(new PlainTask(journal, "late", TRUE));
        ASSERT_TRUE(context.Start());
        ASSERT_TRUE(journal.wait_for_text("Process()  Too Many Events on the queue!"));
        ASSERT_TRUE(journal.wait_for_text("Process()  Queue Saturated!!"));
        atlTraceCat = 0;
        EXPECT_EQ(journal.count("run:late"), 0);
        for (int i = 0; i < 61; ++i)
            EXPECT_EQ(journal.count("run:t" + std::to_string(i)), 1);

        SetEvent(events[17]);  // t17's second run ends it
        ASSERT_TRUE(journal.wait_for("delete:late"));
        EXPECT_LT(journal.index("delete:t17"), journal.index("run:late"));
        context.Stop();
        EXPECT_EQ(journal.count("terminate:t0"), 1);
    }
}

TEST(Worker, OwnershipAtStopAndClear)
{
    Journal journal;
    {
        TraceCapture capture(journal, 4, TRACE_CAT_QUEUES);
        TestContext context;
        ASSERT_TRUE(context.Start());
        context.Add(new EventTask(journal, "auto", TRUE, 0));
        context.Add(new EventTask(journal, "owned", FALSE, 0));
        ASSERT_TRUE(journal.wait_for("run:owned"));
        context.Pause();
        EXPECT_FALSE(context.IsRunning());
        context.Add(new PlainTask(journal, "queued", TRUE));
        // Stopped while paused: no "Stop Detected." pass, yet both active tasks are
        // terminated and deleted, whoever owned them.
        context.Stop();
        EXPECT_TRUE(context.IsStopped());
        for (const char* name : {"auto", "owned"}) {
            EXPECT_EQ(journal.count(std::string("terminate:") + name), 1) << name;
            EXPECT_EQ(journal.count(std::string("delete:") + name), 1) << name;
            EXPECT_LT(journal.index(std::string("terminate:") + name),
                      journal.index(std::string("delete:") + name));
        }
        EXPECT_EQ(journal.count("run:queued"), 0);
        EXPECT_EQ(journal.count("delete:queued"), 0);
        context.Clear();
        EXPECT_EQ(journal.count("terminate:queued"), 1);
        EXPECT_EQ(journal.count("delete:queued"), 1);
    }
    // The capture has drained every record by now.
    auto has = [&journal](const char* text) {
        auto e = journal.entries();
        return std::any_of(e.begin(), e.end(), [&](const auto& s) { return s.find(text) != s.npos; });
    };
    EXPECT_TRUE(has("::Stop()  Kick starting the thread so that it will stop."));
    EXPECT_FALSE(has("::Process()  Stop Detected."));
    EXPECT_EQ(journal.count("run:queued"), 0);

    // A context that never started deletes its queue on destruction without running it.
    Journal never;
    {
        TestContext context;
        context.Add(new PlainTask(never, "p", TRUE));
        context.Add(new EventTask(never, "e", FALSE, 0));
    }
    EXPECT_EQ(never.entries(),
              (std::vector<std::string>{"terminate:p", "delete:p", "terminate:e", "delete:e"}));
}

TEST(Worker, StartStopAndRestart)
{
    Journal journal;
    TestContext context;
    context.Stop();  // no thread: nothing to do
    EXPECT_TRUE(context.IsStopped());
    EXPECT_FALSE(context.IsRunning());
    ASSERT_TRUE(context.Start());
    DWORD first = context.thread_id();
    EXPECT_TRUE(context.Start());  // running and not paused: creates nothing
    EXPECT_EQ(context.thread_id(), first);
    EXPECT_TRUE(context.IsRunning());
    context.Stop();
    context.Stop();
    EXPECT_TRUE(context.IsStopped());

    ASSERT_TRUE(context.Start());
    EXPECT_NE(context.thread_id(), first);
    context.Add(new PlainTask(journal, "again", TRUE));
    EXPECT_TRUE(journal.wait_for("delete:again"));
}

class FailingContext : public CWorkerThreadContext {
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
    HANDLE thread() const { return m_hThread; }

private:
    Journal& journal_;
};

TEST(Worker, FailedInitInstanceSkipsTheLoopButNotExitInstance)
{
    Journal journal;
    FailingContext context(journal);
    context.Add(new PlainTask(journal, "never", TRUE));
    ASSERT_TRUE(context.Start());
    ASSERT_EQ(WaitForSingleObject(context.thread(), INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(context.thread(), &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(journal.entries(), (std::vector<std::string>{"init", "exit"}));
    // The thread is gone, yet it counts as running until Stop; Pause does not wait for it.
    EXPECT_TRUE(context.IsRunning());
    EXPECT_FALSE(context.IsStopped());
    context.Pause();
    context.Stop();
    EXPECT_TRUE(context.IsStopped());
    EXPECT_EQ(journal.count("run:never"), 0);
}

// Closes its own event on its first run, so the worker's next wait fails.
class SelfClosingTask : public EventTask {
public:
    using EventTask::EventTask;
    BOOL AlgorithmInterface(BOOL& bDone) override
    {
        CloseHandle(m_hEvent);
        m_hEvent = INVALID_HANDLE_VALUE;
        return EventTask::AlgorithmInterface(bDone);
    }
};

TEST(Worker, FailedWaitWindsTheWorkerDown)
{
    Journal journal;
    TestContext context;
    ASSERT_TRUE(context.Start());
    context.Add(new EventTask(journal, "bystander", TRUE, 0));
    ASSERT_TRUE(journal.wait_for("run:bystander"));
    context.Add(new SelfClosingTask(journal, "closer", TRUE, 0));
    ASSERT_EQ(WaitForSingleObject(context.thread(), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(journal.count("terminate:bystander"), 1);
    EXPECT_EQ(journal.count("delete:bystander"), 1);
    EXPECT_EQ(journal.count("delete:closer"), 1);
    EXPECT_TRUE(context.IsRunning());
    context.Stop();
}

}  // namespace
