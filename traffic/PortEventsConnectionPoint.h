// The shared port object's connection point for _ISerialPortEvents, and the gate that
// lets a client disconnect from inside its own event handler.
//
// Every connection has its own CEventNotificationThread, created by Advise and ended
// after Unadvise, and its own gate. The two fan-out operations queue one notification
// task per connection on that connection's thread, so a client that is slow or blocked
// in a handler delays only its own notifications, and each client receives its
// notifications one at a time in the order they were produced.
//
// Disconnecting safely. A client may call Unadvise from inside OnData (in-process, on
// the notification thread itself; or from another process, where the Unadvise arrives on
// a different server thread while the notification thread is blocked in the call to
// that client). Stopping the connection's thread there would wait for a call that waits
// for the Unadvise. So Unadvise never waits for a call into a client while it holds the
// object lock:
//  - under the object lock it closes the connection's gate, takes the thread out of
//    m_mapThreads into the retired list and removes and releases the sink;
//  - outside the lock it stops and deletes every retired thread that is not in a call
//    to its client; a thread that is in a call is handed to a reaper thread of its own,
//    which stops it (waiting for the call to end) and deletes it. Should no reaper thread
//    be available, the thread stays retired and the next Advise or Unadvise tries again.
// The destructor ends its threads the same way, so destroying the port does not wait
// for a client either (a client may release its port from inside a handler).
// A notification task calls its sink only through the gate: under the gate's lock it
// checks that the gate is open, takes a reference of its own on the sink and marks the
// gate "in call"; after the call it releases its reference and clears the mark. Once the
// gate is closed no call starts, so after Unadvise has returned no further call reaches
// that sink; a call already under way finishes on the task's own reference, and the
// connection's reference has been released. Queued notifications of a closed gate are
// discarded when their thread is stopped, or skipped if the thread reaches them first.
#pragma once

#include "engine/EventNotificationThread.h"
#include "platform/base/types.h"
#include "platform/com/interfaces.h"
#include "platform/com/object.h"
#include "platform/sync/sync.h"

#include <atomic>
#include <map>
#include <vector>

// One connection's gate, shared by the connection point and the connection's queued
// notification tasks; reference counted, freed by the last holder.
class CConnectionGate {
public:
    CConnectionGate();
    CConnectionGate(const CConnectionGate&) = delete;
    CConnectionGate& operator=(const CConnectionGate&) = delete;

    void AddRef();
    void Release();

    // A notification task's entry: TRUE, with a reference on the sink for the caller
    // and the gate marked "in call", when the gate is open; FALSE once it is closed.
    BOOL EnterCall(IUnknown* pSink);
    // Ends the call begun by a successful EnterCall: clears the mark and releases the
    // caller's reference on the sink (outside the gate's lock).
    void LeaveCall(IUnknown* pSink);
    // Closes the gate for good; returns whether a call is under way at this moment.
    BOOL Close();

private:
    ~CConnectionGate();

    std::atomic<LONG> m_lRef;
    CRITICAL_SECTION m_cs;  // guards the two flags
    BOOL m_bClosed;
    BOOL m_bInCall;
};

class CPortEventsConnectionPoint : public platform::connection_point {
public:
    // pContainer is the shared port object's container interface, pLock its object lock.
    CPortEventsConnectionPoint(IConnectionPointContainer* pContainer, CRITICAL_SECTION* pLock);
    // Runs when the shared port object is destroyed, after its comm-port thread is gone:
    // ends every notification thread (those in a call to their client by way of a
    // reaper, so that the destruction never waits for a client) and releases every sink.
    ~CPortEventsConnectionPoint() override;

    // Both end the threads retired so far (outside the object lock) besides their own
    // work: Advise before it connects, Unadvise after it has disconnected.
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;

    // Fan-out, on the comm-port thread: one task per connection, queued at the back of
    // the connection's thread. A data task carries its own copy of the bytes, so pData
    // may be reused as soon as this returns. Both always return 0.
    DWORD FireDataNotification(DWORD dwLength, const BYTE* pData);
    DWORD FireEventNotification(LONG lCode);

    // Waits until every reaper thread started so far has ended its thread; FALSE when
    // dwMilliseconds pass first. For tests and an orderly end of the process.
    static BOOL WaitForReapers(DWORD dwMilliseconds);

    // Connection cookie -> the connection's started notification thread (owned).
    std::map<DWORD, CEventNotificationThread*> m_mapThreads;

protected:
    // Under the object lock: creates and starts the connection's thread and gate.
    HRESULT after_advise(DWORD dwCookie, IUnknown* pSink) override;
    // Under the object lock: closes the gate and retires the thread.
    void before_unadvise(DWORD dwCookie) override;

private:
    struct CRetiredThread {
        CEventNotificationThread* pThread;
        BOOL bInCall;  // the gate reported a call under way when it was closed
    };

    // Takes the retired threads out of the list under the lock and ends them outside it;
    // one that cannot be ended now goes back to the list for the next try.
    void ReapRetiredThreads();
    // Stops and deletes a thread that is not in a call; hands one that is to a reaper
    // thread. FALSE when no reaper thread can be created (nothing done then).
    static BOOL EndThread(CEventNotificationThread* pThread, BOOL bInCall);
    static DWORD ReaperThreadRun(LPVOID lpParameter);
    // The fan-out walk: under the object lock, one task per connected sink, made by
    // makeLeaf(sink, gate) and added at the back of that connection's thread; a task that
    // cannot be allocated is skipped for its connection.
    template <class MakeLeaf>
    void FanOut(MakeLeaf makeLeaf);

    std::map<DWORD, CConnectionGate*> m_mapGates;  // cookie -> the connection's gate
    std::vector<CRetiredThread> m_vecRetired;      // taken out of m_mapThreads, not yet ended
};
