// A worker thread that runs tasks (CStrategy) handed to it by other threads.
//
// Add queues a task; the worker takes queued tasks one per pass of its wait loop, runs
// each once, and keeps every event task that is not done in its active set, running it
// again each time its m_hEvent fires. The loop waits on the stop, pause and add events
// and the wake-up events of all active tasks in one multi-object wait, so an idle worker
// costs no processor time. At most MAXIMUM_WAIT_OBJECTS handles fit in the wait: three
// control events and up to 61 active tasks; further tasks wait in the queue until an
// active task leaves. While the list is full the add event stays signalled; the loop
// leaves it out of its wait from the pass that found the list full until a task leaves,
// so a full worker sleeps until a task's event fires instead of turning on the add event.
//
// States as other threads see them:
//   Stopped  m_hThread null, or the thread ended   -> Start creates the thread (an ended
//                                                      one must be stopped first)
//   Running  m_hThread set, m_hPausedEvent reset   -> Pause, Stop
//   Paused   m_hThread set, m_hPausedEvent set     -> Start resumes, Stop resumes and ends
// A thread that ends on its own (its InitInstance failed, or its wait failed) reads as
// stopped from that moment: IsStopped TRUE, IsRunning FALSE, and Add refuses tasks,
// since nobody would run them. Stop still joins it and closes its handle.
//
// Ownership: queued tasks belong to the context; the worker deletes a task it removes
// when its m_bAutoDelete is TRUE, and terminates and deletes every task it still holds
// when its loop ends on a stop (whatever m_bAutoDelete says). Clear does the same for
// tasks left in the queue. When the thread ends on its own, every task it holds or that
// is still queued is terminated; those with m_bAutoDelete are deleted, the others are
// handed back to their adders, who may be waiting for them: their completion code
// becomes ERROR_OPERATION_ABORTED (unless the task had set one) and m_hCompleted is
// signalled.
//
// Add refuses a task whose adder keeps it (m_bAutoDelete FALSE) when its completion
// event could not be created: such a task cannot be waited for, and its adder would
// delete it while it is still queued.
//
// Locks: m_csDequeSync guards the queue and the resetting of m_hAddEvent; m_csConcurrent
// guards m_hThread (Start, Stop, Pause, IsRunning, IsStopped). They are never held
// together, and the worker never takes m_csConcurrent, so Stop can hold it while it
// joins the thread. A task's work step must not call Start, Stop, Pause, IsRunning or
// IsStopped of its own context.
#pragma once

#include "engine/Strategy.h"
#include "platform/base/types.h"
#include "platform/sync/sync.h"

#include <atomic>
#include <deque>

class CWorkerThreadContext {
public:
    CWorkerThreadContext();
    // Stops the thread and clears the queue. A derived class whose InitInstance or
    // ExitInstance must not run after its own destructor stops the thread first.
    virtual ~CWorkerThreadContext();
    CWorkerThreadContext(const CWorkerThreadContext&) = delete;
    CWorkerThreadContext& operator=(const CWorkerThreadContext&) = delete;

    // Per-thread start-up, on the worker before the loop; FALSE skips the loop.
    virtual BOOL InitInstance();
    // Per-thread tear-down, on the worker last; its result is the thread's exit code.
    virtual DWORD ExitInstance();
    // Creates the worker thread, or resumes it when it is paused. TRUE when a thread
    // exists afterwards.
    virtual BOOL Start();
    // Asks the worker to pause and, when it was running, waits until it has (or has
    // ended). A pause asked of a paused or not yet started thread takes effect at the
    // worker's next pass.
    virtual void Pause();
    // Ends the worker thread and waits for it; without a thread it does nothing.
    virtual void Stop();
    // Queues a task, at the front (taken before every queued task) or at the back. FALSE
    // for a null task, for a kept task that cannot be waited for, and once the thread has
    // ended on its own (until Stop). Otherwise the thread's state does not matter: a task
    // added to a thread that has not started, or has been stopped, waits in the queue.
    virtual BOOL Add(CStrategy* pTask, BOOL bAtFront = FALSE);
    // Terminates and deletes every task still queued; runs after Stop, with no worker.
    virtual void Clear();
    // The wait loop, on the worker; returns when the thread is to end.
    virtual void Process();

    // TRUE when a thread exists, has not ended and is not paused.
    BOOL IsRunning();
    // TRUE when there is no thread, or it has ended on its own.
    BOOL IsStopped();

protected:
    // The thread's entry routine; lpParameter is the context.
    static DWORD ThreadRun(LPVOID lpParameter);
    // On the worker, when it ends without a stop: refuses further tasks and hands back
    // the queued ones (see Ownership above).
    void EndOnItsOwn();
    // Terminates a task the worker lets go of; deletes it when bDelete, else hands it
    // back to its waiter with ERROR_OPERATION_ABORTED.
    static void ReleaseTask(CStrategy* pTask, BOOL bDelete);

    std::deque<CStrategy*> m_dequeTasks;
    HANDLE m_hPausedEvent;   // set by the worker while it is paused
    HANDLE m_hPauseEvent;    // the pause request
    HANDLE m_hAddEvent;      // set while m_dequeTasks may hold tasks
    HANDLE m_hStopEvent;     // the stop request
    HANDLE m_hThread;
    DWORD m_dwThreadId;
    // TRUE from the moment the thread ends on its own until Stop; written under
    // m_csDequeSync (so no Add slips in after it), read by IsStopped without it.
    std::atomic<BOOL> m_bEnded{FALSE};
    CRITICAL_SECTION m_csDequeSync;
    CRITICAL_SECTION m_csConcurrent;
};
