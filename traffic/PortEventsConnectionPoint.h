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
//
// Bounded queue per client. Every connection may have at most a limit of notification
// bytes waiting for it: the registry value "MaxClientQueue" (REG_DWORD, in KB) under
// HKEY_LOCAL_MACHINE\SOFTWARE\Ostra\Tethra, read once when the shared port object is
// made, so a change applies to ports opened afterwards. Missing, of another type or 0, it
// is 4096 KB (4 MiB); a value below 64 KB counts as 64 KB, one above 1048576 KB (1 GiB)
// as 1048576 KB.
//  - What counts: a notification task from the fan-out until it is deleted (after its
//    call to the client has returned, or when its thread is stopped), at its bytes plus
//    kNotificationTaskCharge for the task itself. Line events and errors are tiny but
//    count too, at kNotificationTaskCharge each: a client that stops answering while a
//    line toggles fast would otherwise grow without end just the same.
//  - A notification that would take the connection past its limit, less the room kept
//    for the report below, is not queued, unless nothing at all is queued for it (so one
//    read bigger than the limit still reaches a client that keeps up). From that first dropped notification the connection is in an
//    overflow episode: every data, event and error notification for it is dropped, and
//    one OnError(spoMemoryError) is queued for it behind what it already has waiting. The
//    client thus receives everything from before the gap, then spoMemoryError where the
//    gap is, then what arrives after the episode, each in the port's order.
//  - The client has caught up, and the episode ends, when the bytes it has waiting have
//    fallen to half its limit or less (the low-water mark) at the next notification for
//    it; that notification and later ones are queued again. Resuming only at half the
//    limit keeps a client that is just a little too slow from switching on and off with
//    every read; each new episode sends its own spoMemoryError.
//  - The spoMemoryError notification itself is never dropped; it is charged like an event.
//  - Dropping costs the port and the other clients nothing: no task is allocated.
// The proxy of a sink in another process keeps a bounded window of its own on top of this
// (platform/rpc/sink_proxy.h).
#pragma once

#include "engine/EventNotificationThread.h"
#include "platform/base/types.h"
#include "platform/com/interfaces.h"
#include "platform/com/object.h"
#include "platform/sync/sync.h"

#include <atomic>
#include <map>
#include <vector>

// What a notification task counts against its connection's limit on top of its bytes: a
// generous figure for the task object, its critical section, its completion event and
// its queue slot.
#define NOTIFICATION_TASK_CHARGE 512U
// The default, least and most "MaxClientQueue", in KB.
#define CLIENT_QUEUE_DEFAULT_KB 4096U
#define CLIENT_QUEUE_MIN_KB 64U
#define CLIENT_QUEUE_MAX_KB 1048576U

// A connection's queue account, as the tests and the benchmarks read it.
struct CClientQueueState {
    ULONGLONG qwLimit;         // bytes
    ULONGLONG qwQueued;        // bytes charged now
    ULONGLONG qwPeak;          // the most ever charged at once
    ULONGLONG qwDropped;       // bytes of data dropped
    DWORD dwEpisodes;          // overflow episodes begun
    BOOL bOverflow;            // in an episode now
};

// One connection's gate and queue account, shared by the connection point and the
// connection's queued notification tasks; reference counted, freed by the last holder.
class CConnectionGate {
public:
    explicit CConnectionGate(ULONGLONG qwLimit = ULONGLONG{CLIENT_QUEUE_DEFAULT_KB} * 1024U);
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

    // The fan-out's admission of a notification of qwCharge bytes (see "Bounded queue per
    // client" above). TRUE: it is charged and goes into the queue. FALSE: it is dropped
    // (qwDataBytes of it counted as dropped data), and *pbReport says whether the episode's
    // spoMemoryError is still to be queued.
    BOOL TryCharge(ULONGLONG qwCharge, ULONGLONG qwDataBytes, BOOL* pbReport);
    // The episode's spoMemoryError has been queued; qwCharge is charged for it.
    void ChargeReport(ULONGLONG qwCharge);
    // A charged task has gone (run, discarded or never queued).
    void Discharge(ULONGLONG qwCharge);
    CClientQueueState QueueState();

private:
    ~CConnectionGate();

    std::atomic<LONG> m_lRef;
    CRITICAL_SECTION m_cs;  // guards the flags and the account
    BOOL m_bClosed;
    BOOL m_bInCall;
    CClientQueueState m_state;
    BOOL m_bReported;       // this episode's spoMemoryError is queued
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
    // the connection's thread. The data tasks of one read share one copy of its bytes
    // (CSharedBytes), so pData may be reused as soon as this returns. Both always return 0.
    DWORD FireDataNotification(DWORD dwLength, const BYTE* pData);
    DWORD FireEventNotification(LONG lCode);

    // The limit read from the registry store for this port's connections, in bytes.
    ULONGLONG GetQueueLimit() const { return m_qwQueueLimit; }
    // The queue account of the connection dwCookie; FALSE when there is none.
    BOOL GetQueueState(DWORD dwCookie, CClientQueueState* pState);
    // "MaxClientQueue" from the registry store, in bytes, with the default and bounds above.
    static ULONGLONG ReadQueueLimit();

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
    // The fan-out walk: under the object lock, one task per connected sink that its gate
    // admits at qwCharge (qwDataBytes of them data), made by makeLeaf(sink, gate) and added
    // at the back of that connection's thread; a task that cannot be allocated or queued
    // is skipped for its connection. A connection whose gate drops the task gets its
    // episode's spoMemoryError instead, once.
    template <class MakeLeaf>
    void FanOut(ULONGLONG qwCharge, ULONGLONG qwDataBytes, MakeLeaf makeLeaf);
    // Queues pLeaf on pThread; deletes it and gives its charge back when it cannot be.
    static BOOL Queue(CEventNotificationThread* pThread, CStrategy* pLeaf, CConnectionGate* pGate,
                      ULONGLONG qwCharge);

    const ULONGLONG m_qwQueueLimit;  // each connection's limit, in bytes

    std::map<DWORD, CConnectionGate*> m_mapGates;  // cookie -> the connection's gate
    std::vector<CRetiredThread> m_vecRetired;      // taken out of m_mapThreads, not yet ended
};
