// Test tasks that write what happens to them ("run:a", "terminate:a", "delete:a") into a
// journal, and a capture of trace records into the same journal.
#pragma once

#include "engine/WorkerThreadContext.h"
#include "platform/sync/sync.h"
#include "platform/ui/message.h"
#include "trace/trace.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Journal {
public:
    using Entries = std::vector<std::string>;
    void add(const std::string& entry)
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
        changed_.notify_all();
    }
    // Waits, with a bound generous enough for any machine, until done(entries) holds.
    bool wait(const std::function<bool(const Entries&)>& done)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return done(entries_); });
    }
    bool wait_for(const std::string& part)
    {
        return wait([&](const Entries& e) { return find(e, part) >= 0; });
    }
    Entries entries()
    {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    int index(const std::string& part) { return find(entries(), part); }
    int count(const std::string& entry)
    {
        Entries e = entries();
        return static_cast<int>(std::count(e.begin(), e.end(), entry));
    }
    int count_containing(const std::string& part)
    {
        Entries e = entries();
        return static_cast<int>(std::count_if(
            e.begin(), e.end(), [&](const std::string& s) { return s.find(part) != std::string::npos; }));
    }
    // First entry that contains `part`, or -1.
    static int find(const Entries& e, const std::string& part)
    {
        for (size_t i = 0; i < e.size(); ++i)
            if (e[i].find(part) != std::string::npos)
                return static_cast<int>(i);
        return -1;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Entries entries_;
};

// A plain task (no event) or an event task (manual reset) that records its runs, its
// termination and its deletion. An event task resets its event on each run (unless
// told to keep it) and leaves on run number done_at (never when 0). The completion code
// is the run number.
class Task : public CEventStrategy {
public:
    Task(Journal& journal, std::string name, BOOL bAutoDelete, bool plain = true, int done_at = 0,
         BOOL result = TRUE)
        : CEventStrategy(TRUE, FALSE, bAutoDelete), journal_(journal), name_(std::move(name)),
          done_at_(done_at), result_(result)
    {
        if (plain) {
            CloseHandle(m_hEvent);
            m_hEvent = INVALID_HANDLE_VALUE;
        }
    }
    ~Task() override { journal_.add("delete:" + name_); }
    BOOL AlgorithmInterface(BOOL& bDone) override
    {
        if (m_hEvent != INVALID_HANDLE_VALUE && !keep_signalled)
            ResetEvent(m_hEvent);  // before the run shows, so no later signal is lost
        EnterCriticalSection(&m_cs);
        m_dwCompletionCode = static_cast<DWORD>(++runs_);
        LeaveCriticalSection(&m_cs);
        bDone = runs_ == done_at_;
        journal_.add("run:" + name_);
        return result_;
    }
    void Terminate() override { journal_.add("terminate:" + name_); }
    HANDLE event() const { return m_hEvent; }
    HANDLE completed() const { return m_hCompleted; }
    // As when the completion event could not be created.
    void lose_completion_event()
    {
        CloseHandle(m_hCompleted);
        m_hCompleted = nullptr;
    }
    bool keep_signalled = false;

private:
    Journal& journal_;
    std::string name_;
    int done_at_;
    BOOL result_;
    int runs_ = 0;
};

// A plain task that runs a function on the worker and signals when it has: a test runs
// code on a worker's own thread with it and waits for it.
class RunOnThread : public CStrategy {
public:
    explicit RunOnThread(std::function<void()> f) : CStrategy(FALSE), f_(std::move(f)) {}
    BOOL AlgorithmInterface(BOOL& bDone) override
    {
        f_();
        bDone = TRUE;
        return TRUE;
    }

private:
    std::function<void()> f_;
};

inline void run_on(CWorkerThreadContext& worker, std::function<void()> f)
{
    RunOnThread task(std::move(f));
    if (worker.Add(&task))
        task.GetCompletionCode();
}

// Trace records of every thread go to the journal through a message-only window served
// by a thread of its own, as the debug window receives them. Every traced thread but the
// caller's must have ended before finish() (or destruction), so that all records are
// queued ahead of the quit message.
class TraceCapture {
public:
    TraceCapture(Journal& journal, DWORD level, DWORD category = TRACE_CAT_QUEUES)
    {
        sink = &journal;
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, ready] {
            thread_id_ = GetCurrentThreadId();
            window_ = CreateMessageWindow(&Receive);
            SetEvent(ready);
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0)
                DispatchMessageA(&msg);
            DestroyWindow(window_);
        });
        WaitForSingleObject(ready, INFINITE);
        CloseHandle(ready);
        atlTraceLevel = level;
        atlTraceCat = category;
        g_hDebugWnd = window_;
    }
    ~TraceCapture() { finish(); }
    // Stops capturing; every record posted before is in the journal afterwards.
    void finish()
    {
        if (!thread_.joinable())
            return;
        atlTraceCat = 0;
        atlTraceLevel = 0;
        g_hDebugWnd = nullptr;
        PostThreadMessageA(thread_id_, WM_QUIT, 0, 0);
        thread_.join();
    }

private:
    static inline Journal* sink = nullptr;
    static LRESULT Receive(HWND, UINT uMsg, WPARAM, LPARAM lParam)
    {
        if (uMsg == WM_DEBUG_MESSAGE) {
            auto* record = reinterpret_cast<CTraceMessage*>(lParam);
            sink->add(record->m_pszText);
            delete record;
        }
        return 0;
    }
    std::thread thread_;
    DWORD thread_id_ = 0;
    HWND window_ = nullptr;
};
