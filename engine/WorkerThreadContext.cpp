#include "engine/WorkerThreadContext.h"

#include "trace/trace.h"

#include <algorithm>
#include <map>

// How a paused worker suspends itself without losing a wake-up or a stop.
//
// The worker acknowledges a pause by signalling m_hPausedEvent and then calls
// SuspendThread on its own handle; Start and Stop resume it only when they see
// m_hPausedEvent signalled.
//  - A resume that arrives between the acknowledgement and the suspension is not lost:
//    the platform keeps a resume that reaches a thread which is not suspended, and the
//    next SuspendThread consumes it and returns at once.
//  - The platform keeps at most one such resume and cannot tell a late resume from a
//    stray one, so a second resume for the same pause would make the next pause a no-op
//    (and leave a Pause caller waiting for an acknowledgement that is already gone).
//    Start and Stop therefore reset m_hPausedEvent themselves, under m_csConcurrent,
//    before they resume: each pause is resumed once, and IsRunning reports TRUE as soon
//    as Start returns. The worker still resets it after waking, for the case below.
//  - Pause holds m_csConcurrent from its IsRunning test until the acknowledgement, and
//    waits for the thread's end as well: otherwise a Stop from another thread could end
//    the thread between the test and the wait (a worker that sees the stop first never
//    acknowledges the pause), and a thread that has already ended (InitInstance failed)
//    would never acknowledge either. The worker never takes m_csConcurrent, so it can
//    always reach the acknowledgement; Start and Stop merely wait for it.
//  - A stop signalled while the worker is on its way to pausing must not leave it
//    suspended: the worker tests m_hStopEvent after signalling m_hPausedEvent and
//    suspends only when no stop is pending; Stop signals m_hStopEvent before it tests
//    m_hPausedEvent. Of the two tests at least one sees the other side's signal, so
//    either the worker does not suspend or Stop resumes it.
//  - The worker's SuspendThread needs its own handle, and m_hThread is written by Start
//    on another thread. Start therefore creates the thread suspended and lets it run
//    only after m_hThread and m_dwThreadId are stored; the ResumeThread orders those
//    stores before anything the worker does.
//
// What the worker does when its multi-object wait fails (a result that names no handle,
// e.g. when an active task's m_hEvent has been closed or could not be created): it
// traces the error at level 0 and leaves its loop as on a stop. Retrying would spin on
// the same failure; leaving lets the thread wind down, terminating and deleting the
// tasks it holds, so none is left with a pending operation and nobody frees it twice.
// A task its adder keeps is not deleted then but handed back with its waiter released
// (the adder may be a synchronous sender waiting for it). From then on the context reads
// as stopped and refuses tasks, like a thread whose InitInstance failed: a sender that
// checked IsStopped, or whose Add is refused, fails at once instead of waiting for a
// thread that will never run its task.

CWorkerThreadContext::CWorkerThreadContext()
    : m_hPausedEvent(nullptr),
      m_hPauseEvent(nullptr),
      m_hAddEvent(nullptr),
      m_hStopEvent(nullptr),
      m_hThread(nullptr),
      m_dwThreadId(0),
      m_csDequeSync{},
      m_csConcurrent{}
{
    Trace(TRACE_CAT_QUEUES, 1, "CWorkerThreadContext(%#x)::CWorkerThreadContext()\n", this);
    InitializeCriticalSection(&m_csDequeSync);
    InitializeCriticalSection(&m_csConcurrent);
    m_hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_hAddEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_hPauseEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_hPausedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Trace(TRACE_CAT_QUEUES, 3,
          "CWorkerThreadContext(%#x)::CWorkerThreadContext()  m_hStopEvent = %#x, m_hAddEvent = "
          "%#x, m_hPauseEvent = %#x\n",
          this, m_hStopEvent, m_hAddEvent, m_hPauseEvent);
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::CWorkerThreadContext()  Returning\n",
          this);
}

CWorkerThreadContext::~CWorkerThreadContext()
{
    Trace(TRACE_CAT_QUEUES, 1, "CWorkerThreadContext(%#x)::~CWorkerThreadContext()\n", this);
    CWorkerThreadContext::Stop();
    CWorkerThreadContext::Clear();
    CloseHandle(m_hStopEvent);
    CloseHandle(m_hAddEvent);
    CloseHandle(m_hPauseEvent);
    CloseHandle(m_hPausedEvent);
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::~CWorkerThreadContext() Returning.\n",
          this);
    DeleteCriticalSection(&m_csConcurrent);
    DeleteCriticalSection(&m_csDequeSync);
}

BOOL CWorkerThreadContext::InitInstance()
{
    Trace(TRACE_CAT_QUEUES, 1, "CWorkerThreadContext(%#x)::InitInstance()\n", this);
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::InitInstance()  Returning %i\n", this,
          TRUE);
    return TRUE;
}

DWORD CWorkerThreadContext::ExitInstance()
{
    Trace(TRACE_CAT_QUEUES, 1, "CWorkerThreadContext(%#x)::ExitInstance()\n", this);
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::ExitInstance()  Returning %i\n", this,
          0);
    return 0;
}

BOOL CWorkerThreadContext::Start()
{
    Trace(TRACE_CAT_QUEUES, 1, "CWorkerThreadContext(%#x)::Start()\n", this);
    BOOL bResult = FALSE;
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Start()  Lock Concurrent.\n", this);
    EnterCriticalSection(&m_csConcurrent);
    if (m_hThread == nullptr) {
        Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::Start() Starting new thread.\n",
              this);
        // Created suspended and released at once, so that the worker never reads its own
        // m_hThread before it is stored (see the top of this file).
        m_hThread = CreateThread(nullptr, 0, ThreadRun, this, CREATE_SUSPENDED, &m_dwThreadId);
        if (m_hThread != nullptr) {
            ResumeThread(m_hThread);
            bResult = TRUE;
            Trace(TRACE_CAT_QUEUES, 4, "CWorkerThreadContext(%#x)::Start() Thread %#x created.\n",
                  this, m_hThread);
        }
    } else if (m_bEnded.load()) {
        Trace(TRACE_CAT_QUEUES, 0,
              "CWorkerThreadContext(%#x)::Start() Error!  The thread has ended; stop it first.\n",
              this);
    } else {
        Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::Start() Resuming Thread.\n", this);
        if (WaitForSingleObject(m_hPausedEvent, 0) == WAIT_OBJECT_0) {
            // Consumed here so that a later Start or Stop cannot resume the same pause a
            // second time (see the top of this file).
            ResetEvent(m_hPausedEvent);
            ResumeThread(m_hThread);
            Trace(TRACE_CAT_QUEUES, 4, "CWorkerThreadContext(%#x)::Start() Thread %#x was resumed.\n",
                  this, m_hThread);
        } else {
            Trace(TRACE_CAT_QUEUES, 4,
                  "CWorkerThreadContext(%#x)::Start() Thread %#x was instructed to resume, but was "
                  "not paused.\n",
                  this, m_hThread);
        }
        bResult = TRUE;
    }
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Start()  Unlock Concurrent.\n", this);
    LeaveCriticalSection(&m_csConcurrent);
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::Start() returning %i.\n", this,
          bResult);
    return bResult;
}

DWORD CWorkerThreadContext::ThreadRun(LPVOID lpParameter)
{
    auto* pThis = static_cast<CWorkerThreadContext*>(lpParameter);
    Trace(TRACE_CAT_QUEUES, 1, "CWorkerThreadContext(%#x)::ThreadRun()\n", pThis);
    Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::ThreadRun()  Calling InitInstance.\n",
          pThis);
    if (pThis->InitInstance()) {
        Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::ThreadRun()  Calling Process.\n",
              pThis);
        pThis->Process();
    }
    if (WaitForSingleObject(pThis->m_hStopEvent, 0) != WAIT_OBJECT_0)
        pThis->EndOnItsOwn();
    Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::ThreadRun()  Calling ExitInstance.\n",
          pThis);
    DWORD dwExitCode = pThis->ExitInstance();
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::ThreadRun() returning %i.\n", pThis,
          dwExitCode);
    return dwExitCode;
}

void CWorkerThreadContext::Process()
{
    Trace(TRACE_CAT_QUEUES, 1, "CWorkerThreadContext(%#x)::Process()\n", this);

    // The worker's own state: no other thread touches it, so it needs no lock.
    std::map<HANDLE, CStrategy*> mapEvents;  // handle -> active task; control events -> null
    std::deque<HANDLE> dequeWait;             // the wait order, rotated every pass
    HANDLE ahWait[MAXIMUM_WAIT_OBJECTS];
    BOOL bKeepRunning = TRUE;
    BOOL bWaitFailed = FALSE;
    // The add event fired while the wait list was full: it stays out of the wait until an
    // active task leaves. It stays signalled meanwhile (the queued tasks are still there),
    // so waiting on it would return at once, pass after pass, and the worker would spin
    // on a full list instead of sleeping until one of its tasks' events fires.
    BOOL bAddParked = FALSE;

    Trace(TRACE_CAT_QUEUES, 3,
          "CWorkerThreadContext(%#x)::Process()  Initializing event handle map.\n", this);
    mapEvents[m_hStopEvent] = nullptr;
    mapEvents[m_hPauseEvent] = nullptr;
    mapEvents[m_hAddEvent] = nullptr;
    dequeWait.push_front(m_hStopEvent);
    dequeWait.push_front(m_hPauseEvent);
    dequeWait.push_front(m_hAddEvent);

    while (bKeepRunning) {
        Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::Process()  In run loop.\n", this);

        // The platform reports the lowest signalled index; moving the last handle to the
        // front every pass gives every signalled handle its turn at the head.
        HANDLE hLast = dequeWait.back();
        dequeWait.pop_back();
        dequeWait.push_front(hLast);
        DWORD dwCount = 0;
        for (HANDLE h : dequeWait)
            if (!bAddParked || h != m_hAddEvent)
                ahWait[dwCount++] = h;

        Trace(TRACE_CAT_QUEUES, 4, "CWorkerThreadContext(%#x)::Process()  %i events in the queue.\n",
              this, static_cast<DWORD>(dequeWait.size()) - 3);
        if (dequeWait.size() == MAXIMUM_WAIT_OBJECTS)
            Trace(TRACE_CAT_QUEUES, 0, "CWorkerThreadContext(%#x)::Process()  Queue Saturated!!\n",
                  this);

        const DWORD dwResult = WaitForMultipleObjects(dwCount, ahWait, FALSE, INFINITE);
        const DWORD dwIndex = dwResult - WAIT_OBJECT_0;
        if (dwIndex >= dwCount) {
            Trace(TRACE_CAT_QUEUES, 0,
                  "CWorkerThreadContext(%#x)::Process()  Error!  WaitForMultipleObjects returned "
                  "%#x.  Error = %#x\n",
                  this, dwResult, GetLastError());
            bWaitFailed = TRUE;
            break;
        }
        HANDLE hSignalled = ahWait[dwIndex];

        auto itEvent = mapEvents.find(hSignalled);
        if (itEvent != mapEvents.end() && itEvent->second != nullptr) {
            // An active task's event fired.
            CStrategy* pTask = itEvent->second;
            Trace(TRACE_CAT_QUEUES, 3,
                  "CWorkerThreadContext(%#x)::Process()  Processing CEventStrategy object %#x.\n",
                  this, pTask);
            HANDLE hEvent = pTask->m_hEvent;
            BOOL bAutoDelete = pTask->m_bAutoDelete;
            BOOL bDone = FALSE;
            if (pTask->AlgorithmInterface(bDone)) {
                Trace(TRACE_CAT_QUEUES, 4,
                      "CWorkerThreadContext(%#x)::Process() CStrategyInstance @ %#x is signaled.\n",
                      this, pTask);
                SetEvent(pTask->m_hCompleted);
            }
            if (bDone) {
                Trace(TRACE_CAT_QUEUES, 4,
                      "CWorkerThreadContext(%#x)::Process()  Removing CEventStrategy object %#x "
                      "from the thread.\n",
                      this, pTask);
                mapEvents.erase(hEvent);
                bAddParked = FALSE;  // a place is free for a queued task
                auto itWait = std::find(dequeWait.begin(), dequeWait.end(), hEvent);
                if (itWait != dequeWait.end())
                    dequeWait.erase(itWait);
                if (bAutoDelete) {
                    Trace(TRACE_CAT_QUEUES, 4,
                          "CWorkerThreadContext(%#x)::Process()  Deleting CEventStrategy object %#x "
                          "from the thread.\n",
                          this, pTask);
                    delete pTask;
                }
            }
            continue;
        }

        if (hSignalled == m_hStopEvent) {
            Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::Process()  Stop Detected.\n",
                  this);
            break;
        }

        if (hSignalled == m_hPauseEvent) {
            Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::Process()  Pause Detected.\n",
                  this);
            ResetEvent(m_hPauseEvent);
            SetEvent(m_hPausedEvent);
            // Suspend only when no stop is pending (see the top of this file).
            if (WaitForSingleObject(m_hStopEvent, 0) != WAIT_OBJECT_0)
                SuspendThread(m_hThread);
            ResetEvent(m_hPausedEvent);
            if (WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0)
                bKeepRunning = FALSE;
            continue;
        }

        if (hSignalled == m_hAddEvent) {
            Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::Process()  Add Detected.\n",
                  this);
            if (dequeWait.size() >= MAXIMUM_WAIT_OBJECTS) {
                // The task stays queued and the add event signalled until a task leaves;
                // the wait leaves the add event out until then.
                Trace(TRACE_CAT_QUEUES, 4,
                      "CWorkerThreadContext(%#x)::Process()  Too Many Events on the queue!\n",
                      this);
                bAddParked = TRUE;
                continue;
            }

            CStrategy* pTask = nullptr;
            EnterCriticalSection(&m_csDequeSync);
            if (!m_dequeTasks.empty()) {
                pTask = m_dequeTasks.front();
                m_dequeTasks.pop_front();
            }
            LeaveCriticalSection(&m_csDequeSync);

            if (pTask != nullptr) {
                HANDLE hEvent = pTask->m_hEvent;
                BOOL bAutoDelete = pTask->m_bAutoDelete;
                BOOL bDone = FALSE;
                Trace(TRACE_CAT_QUEUES, 4,
                      "CWorkerThreadContext(%#x)::Process()  Processing CStrategy instance @ %#x.\n",
                      this, pTask);
                if (pTask->AlgorithmInterface(bDone)) {
                    Trace(TRACE_CAT_QUEUES, 4,
                          "CWorkerThreadContext(%#x)::Process() CStrategy instance @ %#x is "
                          "signaled.\n",
                          this, pTask);
                    SetEvent(pTask->m_hCompleted);
                }
                if (hEvent == INVALID_HANDLE_VALUE || bDone) {
                    Trace(TRACE_CAT_QUEUES, 4,
                          "CWorkerThreadContext(%#x)::Process()  Removing CStrategy instance @ %#x "
                          "from the queue.\n",
                          this, pTask);
                    if (bAutoDelete) {
                        Trace(TRACE_CAT_QUEUES, 4,
                              "CWorkerThreadContext(%#x)::Process()  Deleting CStrategy instance @ "
                              "%#x from the queue.\n",
                              this, pTask);
                        delete pTask;
                    }
                } else {
                    Trace(TRACE_CAT_QUEUES, 4,
                          "CWorkerThreadContext(%#x)::Process()  Adding CStrategy instance @ %#x on "
                          "the active queue.\n",
                          this, pTask);
                    dequeWait.push_front(hEvent);
                    mapEvents[hEvent] = pTask;
                }
            }

            // Finding the queue empty and resetting the add event happen under the same
            // lock as Add's push and signal, so no added task is stranded.
            EnterCriticalSection(&m_csDequeSync);
            Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Process()  Lock DequeSync.\n",
                  this);
            if (m_dequeTasks.empty()) {
                Trace(TRACE_CAT_QUEUES, 4,
                      "CWorkerThreadContext(%#x)::Process()  Deque buffer is empty.\n", this);
                ResetEvent(m_hAddEvent);
            }
            Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Process()  Unlock DequeSync.\n",
                  this);
            LeaveCriticalSection(&m_csDequeSync);
        }
    }

    Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::Process()  Preparing to stop.\n", this);
    for (auto& entry : mapEvents) {
        if (entry.second == nullptr)
            continue;
        Trace(TRACE_CAT_QUEUES, 4,
              "CWorkerThreadContext(%#x)::Process()  Termininating/Deleting CStrategy object %#x "
              "from the thread.\n",
              this, entry.second);
        ReleaseTask(entry.second, !bWaitFailed || entry.second->m_bAutoDelete);
    }
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::Process()  Returning void.\n", this);
}

void CWorkerThreadContext::Pause()
{
    Trace(TRACE_CAT_QUEUES, 1, "CWorkerThreadContext(%#x)::Pause()\n", this);
    Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::Pause()  Setting the pause event.\n",
          this);
    // Held across the request and the wait, so that no Stop can end the thread (and close
    // its handle) between them; see the top of this file.
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Pause()  Lock Concurrent.\n", this);
    EnterCriticalSection(&m_csConcurrent);
    BOOL bWasRunning = IsRunning();
    SetEvent(m_hPauseEvent);
    if (bWasRunning) {
        HANDLE ahWait[2] = {m_hPausedEvent, m_hThread};
        WaitForMultipleObjects(2, ahWait, FALSE, INFINITE);
    }
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Pause()  Unlock Concurrent.\n", this);
    LeaveCriticalSection(&m_csConcurrent);
    Trace(TRACE_CAT_QUEUES, 4, "CWorkerThreadContext(%#x)::Pause()  Thread Paused.\n", this);
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::Pause()  Returning\n", this);
}

void CWorkerThreadContext::Stop()
{
    Trace(TRACE_CAT_QUEUES, 1, "CWorkerThreadContext(%#x)::Stop()\n", this);
    EnterCriticalSection(&m_csConcurrent);
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Stop()  Lock Concurrent.\n", this);
    if (m_hThread != nullptr) {
        Trace(TRACE_CAT_QUEUES, 3, "CWorkerThreadContext(%#x)::Stop()  Stopping the thread.\n",
              this);
        // The stop is signalled before the paused test: see the top of this file.
        SetEvent(m_hStopEvent);
        if (WaitForSingleObject(m_hPausedEvent, 0) == WAIT_OBJECT_0) {
            Trace(TRACE_CAT_QUEUES, 4,
                  "CWorkerThreadContext(%#x)::Stop()  Kick starting the thread so that it will "
                  "stop.\n",
                  this);
            ResetEvent(m_hPausedEvent);
            ResumeThread(m_hThread);
        }
        WaitForSingleObject(m_hThread, INFINITE);
        ResetEvent(m_hStopEvent);
        m_bEnded.store(FALSE);
        CloseHandle(m_hThread);
        m_hThread = nullptr;
        Trace(TRACE_CAT_QUEUES, 4, "CWorkerThreadContext(%#x)::Stop()  Thread is now stopped.\n",
              this);
    }
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Stop()  Unlock Concurrent.\n", this);
    LeaveCriticalSection(&m_csConcurrent);
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::Stop()  Returning\n", this);
}

BOOL CWorkerThreadContext::Add(CStrategy* pTask, BOOL bAtFront)
{
    Trace(TRACE_CAT_QUEUES, 1, "CWorkerThreadContext(%#x)::Add(%#x, %i)\n", this, pTask,
          bAtFront);
    if (pTask == nullptr) {
        Trace(TRACE_CAT_QUEUES, 0, "CWorkerThreadContext(%#x)::Add(%#x, %i)\n Error! Null Task!",
              this, pTask, bAtFront);
        return FALSE;
    }
    if (!pTask->m_bAutoDelete && !pTask->CanBeWaitedFor()) {
        Trace(TRACE_CAT_QUEUES, 0,
              "CWorkerThreadContext(%#x)::Add(%#x, %i)  Error!  The task cannot be waited for.\n",
              this, pTask, bAtFront);
        return FALSE;
    }
    BOOL bResult = FALSE;
    EnterCriticalSection(&m_csDequeSync);
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Add()  Lock DequeSync.\n", this);
    if (!m_bEnded.load()) {
        if (bAtFront)
            m_dequeTasks.push_front(pTask);
        else
            m_dequeTasks.push_back(pTask);
        SetEvent(m_hAddEvent);
        bResult = TRUE;
    }
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Add()  Unlock DequeSync.\n", this);
    LeaveCriticalSection(&m_csDequeSync);
    if (!bResult)
        Trace(TRACE_CAT_QUEUES, 0,
              "CWorkerThreadContext(%#x)::Add(%#x, %i)  Error!  The thread has ended.\n", this,
              pTask, bAtFront);
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::Add(%#x, %i)  Returning %i\n", this,
          pTask, bAtFront, bResult);
    return bResult;
}

void CWorkerThreadContext::EndOnItsOwn()
{
    Trace(TRACE_CAT_QUEUES, 0,
          "CWorkerThreadContext(%#x)::EndOnItsOwn()  The thread ended without a stop.\n", this);
    std::deque<CStrategy*> dequeLeft;
    EnterCriticalSection(&m_csDequeSync);
    m_bEnded.store(TRUE);
    dequeLeft.swap(m_dequeTasks);
    ResetEvent(m_hAddEvent);
    LeaveCriticalSection(&m_csDequeSync);
    for (CStrategy* pTask : dequeLeft)
        ReleaseTask(pTask, pTask->m_bAutoDelete);
}

void CWorkerThreadContext::ReleaseTask(CStrategy* pTask, BOOL bDelete)
{
    pTask->Terminate();
    if (bDelete) {
        delete pTask;
        return;
    }
    EnterCriticalSection(&pTask->m_cs);
    if (pTask->m_dwCompletionCode == 0)
        pTask->m_dwCompletionCode = ERROR_OPERATION_ABORTED;
    LeaveCriticalSection(&pTask->m_cs);
    SetEvent(pTask->m_hCompleted);
}

void CWorkerThreadContext::Clear()
{
    Trace(TRACE_CAT_QUEUES, 1, "CWorkerThreadContext(%#x)::Clear()\n", this);
    EnterCriticalSection(&m_csDequeSync);
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Clear()  Lock DequeSync.\n", this);
    Trace(TRACE_CAT_QUEUES, 3,
          "CWorkerThreadContext(%#x)::Clear()  Termininating/Deleting CEventStrategy objects from "
          "the thread.\n",
          this);
    for (CStrategy* pTask : m_dequeTasks) {
        Trace(TRACE_CAT_QUEUES, 4,
              "CWorkerThreadContext(%#x)::Clear()  Termininating/Deleting CEventStrategy object %#x "
              "from the thread.\n",
              this, pTask);
        pTask->Terminate();
        delete pTask;
    }
    Trace(TRACE_CAT_QUEUES, 4, "CWorkerThreadContext(%#x)::Clear()  Reset add event.\n", this);
    ResetEvent(m_hAddEvent);
    m_dequeTasks.clear();
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::Clear()  Unlock DequeSync.\n", this);
    LeaveCriticalSection(&m_csDequeSync);
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::Clear()  Returning\n", this);
}

BOOL CWorkerThreadContext::IsRunning()
{
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::IsRunning()\n", this);
    EnterCriticalSection(&m_csConcurrent);
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::IsRunning()  Lock Concurrent.\n", this);
    BOOL bResult = m_hThread != nullptr && !m_bEnded.load() &&
                   WaitForSingleObject(m_hPausedEvent, 0) != WAIT_OBJECT_0;
    LeaveCriticalSection(&m_csConcurrent);
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::IsRunning()  Returning %i.\n", this,
          bResult);
    return bResult;
}

BOOL CWorkerThreadContext::IsStopped()
{
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::IsStopped()\n", this);
    EnterCriticalSection(&m_csConcurrent);
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::IsStopped()  Lock Concurrent.\n", this);
    BOOL bResult = m_hThread == nullptr || m_bEnded.load();
    Trace(TRACE_CAT_QUEUES, 5, "CWorkerThreadContext(%#x)::IsStopped()  Unlock Concurrent.\n",
          this);
    LeaveCriticalSection(&m_csConcurrent);
    Trace(TRACE_CAT_QUEUES, 2, "CWorkerThreadContext(%#x)::IsStopped()  Returning %i.\n", this,
          bResult);
    return bResult;
}
