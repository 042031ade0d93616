// Tasks: the units of work a worker thread (CWorkerThreadContext) runs.
//
// A plain CStrategy runs once: the worker calls AlgorithmInterface as soon as it takes
// the task from its queue and then removes it. A CEventStrategy owns a wake-up event
// m_hEvent; the worker keeps it active and calls AlgorithmInterface again each time the
// event is signalled, until the task sets bDone.
//
// The AlgorithmInterface contract:
//  - it runs only on the worker thread, always called with bDone FALSE;
//  - the worker reads m_hEvent and m_bAutoDelete before the call and uses those values;
//  - TRUE means "a result is ready": the worker signals m_hCompleted, and a waiter in
//    GetCompletionCode receives m_dwCompletionCode as it stands;
//  - bDone TRUE on return makes the task leave the thread (deleted if m_bAutoDelete);
//    a plain task leaves after its one run whatever bDone says.
#pragma once

#include "platform/base/types.h"
#include "platform/sync/sync.h"

class CWorkerThreadContext;

class CStrategy {
public:
    // bAutoDelete TRUE: the worker deletes the task when it removes it. FALSE: the adder
    // keeps ownership and deletes it after GetCompletionCode has returned.
    explicit CStrategy(BOOL bAutoDelete);
    virtual ~CStrategy();
    CStrategy(const CStrategy&) = delete;
    CStrategy& operator=(const CStrategy&) = delete;

    // The work step; see the contract above.
    virtual BOOL AlgorithmInterface(BOOL& bDone) = 0;
    // Abandons outstanding work; called on the worker thread just before the worker
    // deletes a task it still holds at stop or clear. Nothing to abandon here.
    virtual void Terminate();
    // Waits, without a time-out, until the worker has signalled a result, then returns
    // m_dwCompletionCode (0 = success, else a platform error or a failed HRESULT).
    // ERROR_INVALID_HANDLE at once when the completion event could not be created.
    // The wait is alertable: should the thread be serving a call from another process
    // whose client leaves meanwhile (CoTestCancel then reports RPC_E_CALL_CANCELED), the
    // task is told once through OnCallCanceled, and the wait goes on until the worker has
    // signalled the task's result all the same, since the task is the worker's until
    // then. Any other wake-up of the wait is ignored.
    virtual DWORD GetCompletionCode();
    // Nobody waits for the task's result any more: the task may give its work up, and
    // must still end with a result. Called on the waiting thread, at most once. The
    // default gives nothing up: the wait lasts until the work is done.
    virtual void OnCallCanceled();
    // FALSE when the completion event could not be created: nobody can wait for the task.
    BOOL CanBeWaitedFor() const { return m_hCompleted != nullptr ? TRUE : FALSE; }

protected:
    friend class CWorkerThreadContext;

    BOOL m_bAutoDelete;
    CRITICAL_SECTION m_cs;      // guards m_dwCompletionCode and a derived task's state
    HANDLE m_hEvent;            // wake-up event; INVALID_HANDLE_VALUE in a plain task
    DWORD m_dwCompletionCode;
    HANDLE m_hCompleted;        // manual reset; signalled by the worker, never reset by it
};

// A task that stays active on its worker and runs each time m_hEvent is signalled.
class CEventStrategy : public CStrategy {
public:
    CEventStrategy(BOOL bManualReset, BOOL bInitialState, BOOL bAutoDelete);

    BOOL AlgorithmInterface(BOOL& bDone) override = 0;
};
