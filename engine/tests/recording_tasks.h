// Test tasks that write what happens to them into a shared journal.
#pragma once

#include "engine/Strategy.h"
#include "engine/WorkerThreadContext.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Entries such as "run:a", "terminate:a", "delete:a", in the order they happened.
class Journal {
public:
    void add(const std::string& entry)
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
        changed_.notify_all();
    }
    // Waits, with a bound generous enough for any machine, until the predicate holds.
    bool wait(const std::function<bool(const std::vector<std::string>&)>& done)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return done(entries_); });
    }
    bool wait_for(const std::string& entry)
    {
        return wait([&](const auto& e) { return std::find(e.begin(), e.end(), entry) != e.end(); });
    }
    bool wait_for_text(const std::string& part)
    {
        return wait([&](const auto& e) {
            return std::any_of(e.begin(), e.end(),
                               [&](const std::string& s) { return s.find(part) != s.npos; });
        });
    }
    std::vector<std::string> entries()
    {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    int count(const std::string& entry)
    {
        auto e = entries();
        return static_cast<int>(std::count(e.begin(), e.end(), entry));
    }
    // Position of the first occurrence, or -1.
    int index(const std::string& entry)
    {
        auto e = entries();
        auto it = std::find(e.begin(), e.end(), entry);
        return it == e.end() ? -1 : static_cast<int>(it - e.begin());
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
};

// Runs once; returns `result` with `code` as its completion code.
class PlainTask : public CStrategy {
public:
    PlainTask(Journal& journal, std::string name, BOOL bAutoDelete, BOOL result = TRUE,
              DWORD code = 0)
        : CStrategy(bAutoDelete), journal_(journal), name_(std::move(name)), result_(result),
          code_(code)
    {
    }
    ~PlainTask() override { journal_.add("delete:" + name_); }
    BOOL AlgorithmInterface(BOOL& bDone) override
    {
        journal_.add("run:" + name_ + (bDone ? ":done-in" : ""));
        EnterCriticalSection(&m_cs);
        m_dwCompletionCode = code_;
        LeaveCriticalSection(&m_cs);
        return result_;
    }
    void Terminate() override { journal_.add("terminate:" + name_); }
    HANDLE completed() const { return m_hCompleted; }
    HANDLE event() const { return m_hEvent; }

private:
    Journal& journal_;
    std::string name_;
    BOOL result_;
    DWORD code_;
};

// Runs each time its manual-reset event is signalled (resetting it) and leaves the
// thread on run number `done_at` (never when 0). Returns TRUE with code = run number.
class EventTask : public CEventStrategy {
public:
    EventTask(Journal& journal, std::string name, BOOL bAutoDelete, int done_at,
              BOOL bInitialState = FALSE)
        : CEventStrategy(TRUE, bInitialState, bAutoDelete), journal_(journal),
          name_(std::move(name)), done_at_(done_at)
    {
    }
    ~EventTask() override { journal_.add("delete:" + name_); }
    BOOL AlgorithmInterface(BOOL& bDone) override
    {
        // Reset before the run is visible, so a signal sent after it is not lost.
        if (!keep_signalled_)
            ResetEvent(m_hEvent);
        ++runs_;
        journal_.add("run:" + name_);
        EnterCriticalSection(&m_cs);
        m_dwCompletionCode = static_cast<DWORD>(runs_);
        LeaveCriticalSection(&m_cs);
        bDone = runs_ == done_at_;
        return TRUE;
    }
    void Terminate() override { journal_.add("terminate:" + name_); }
    HANDLE event() const { return m_hEvent; }
    // Leaves the event signalled after each run, so the task wants to run every pass.
    void keep_signalled() { keep_signalled_ = true; }

private:
    Journal& journal_;
    std::string name_;
    int done_at_;
    int runs_ = 0;
    bool keep_signalled_ = false;
};
