// The server's stand-in for a sink that a client exports on its own connection: an
// IDispatch for _ISerialPortEvents, or an IPropertyNotifySink, whose calls become bus
// method calls on the client's connection and path.
//
// Notifications (OnData, OnPortEvent, OnError, OnChanged) are sent without waiting for
// their answers, at most kSinkWindow of them on the way per sink, fewer when many sinks
// share the server's budget of calls awaiting answers (call_budget.h: kServerCallBudget
// for all sinks, an equal window for each). While the window is
// full, further notifications queue in the proxy, in order, and go out as answers free
// places. An OnData goes out at once only while fewer than kSinkEager calls are on the
// way; otherwise it waits in the queue for the next answer and merges with the data that
// comes meanwhile. So a lone message (a keystroke, a short reply) leaves at once, while a
// stream under load travels in calls that grow with the sink's round trip instead of one
// call per read: every call costs a wake-up of each thread on its way and of the bus
// daemon, both ways. An OnData that finds the queue's last entry to be an OnData as well
// fills it up (its bytes appended) to kSinkMergeBytes, and what does not fit starts the
// next entry: the sink still gets every byte in the port's order, in fewer and bigger
// calls, and an OnPortEvent or OnError keeps its place between the data before and after
// it. Filling rather than appending whole reads only keeps queued calls full: reads of
// 64 KiB would otherwise travel as calls of 48 and 16 KiB in turn, half again as many
// calls for the same bytes. Where one read ends and the next begins is not kept (a
// read may end in one call and go on in the next), as it is not kept by merging either.
// An OnData bigger than kSinkMergeBytes (a read with a big ReceiveBufferSize) goes out
// in pieces of kSinkMergeBytes: the bus carries calls of a few tens of KiB at several
// times the rate of calls of 64 KiB or more, whose buffers the bus library grows into
// mapped memory on each side. When
// kSinkQueue entries wait and the next notification cannot be merged, the caller (the
// sink's own notification thread, or the setter that runs the change protocol) waits
// for room, so a slow client holds up only its own notifications and a proxy holds at
// most (kSinkWindow + kSinkQueue) calls of at most kSinkMergeBytes each.
//
// Notifications have no time-out: a window place is freed by the sink's answer (or an
// error, a client that leaves, or the bus daemon's own reply time-out), and the wait for
// room ends with it or with disconnect. So a client that stops answering has at most
// kSinkWindow calls pending at the bus daemon, whose limit of pending calls per
// connection (max_replies_per_connection) the server shares among all its clients, and
// its notification thread waits while the queue in front of it stays within that
// client's bound (traffic/PortEventsConnectionPoint.h).
//
// OnRequestEdit goes out after every queued notification and always waits for its
// answer: S_FALSE refuses, anything else (S_OK, an error, no answer within
// kSinkCallTimeoutMs, a client that is gone) consents; it is then given up and not
// repeated.
//
// A call that fails with UnknownObject, UnknownInterface or UnknownMethod, like a sink
// whose introspection data lacks the interface, makes the proxy ask its owner to
// unadvise it (on a call thread, never on the thread that delivered the answer).
//
// Answers. Calls leave from the thread that makes them (QtDBus hands them to its own
// thread); their answers go to a small object of the proxy's that lives on the context's
// thread. The runtime's context is an object of QtDBus's own connection thread, which
// reads the answers: an answer is handled where it arrives, and the queued calls it makes
// room for leave from there, with no other thread woken on the way. They are not written
// at once but queued as events of that thread, behind the calls that other threads made
// before them (which QtDBus queues there to be written), so a sink's calls leave in the
// order they were decided. A context on a thread of its own (the tests') sends the calls
// its answers make room for at once, through the same queue of QtDBus's thread. An error
// answer counts by its error name. Each call on the way holds a reference on the proxy
// until its answer arrives; abandon_all(), on the context's thread, ends that for every
// proxy at once when the runtime stops, so proxies whose calls were never answered do not
// outlive it.
//
// Copies. An OnData sent at once is marshalled from the caller's bytes where they are;
// only what waits in the queue is copied (and merged there).
#pragma once

#include "platform/com/typeinfo.h"
#include "platform/rpc/call_budget.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace platform::rpc {

class sink_answers;

// The most bytes one merged OnData call carries. Not 64 KiB: libdbus reads a message
// into a buffer that doubles as it fills, and a call of 64 KiB takes the bus daemon's and
// the client's buffers to 128 KiB, where glibc maps them (mmap) instead of taking heap
// memory; every such message then costs the daemon a mremap and a TLB shootdown of
// every processor, and the bus carries a third to a quarter of the bytes per second it
// carries in calls of 48 KiB (bench/rpc, "bus alone"). A sink's process never holds
// more than (kSinkWindow + kSinkQueue) * 48 KiB of undelivered data per sink.
inline constexpr qsizetype kSinkMergeBytes = 48 * 1024;
// How many calls may be on the way to a sink before an OnData waits to be merged.
inline constexpr DWORD kSinkEager = 2;
// How many notifications may wait in a proxy behind a full window.
inline constexpr std::size_t kSinkQueue = 16;

class sink_proxy : public IDispatch, public IPropertyNotifySink, private call_budget::waiter {
public:
    // Called (at most once) when the sink must be unadvised, with the reason.
    using drop_fn = std::function<void(sink_proxy*, const QString& reason)>;
    // Answers arrive on context's thread, which must run an event loop and never block.
    sink_proxy(const QDBusConnection& bus, const QString& client, const QString& path,
               const interface_info& itf, QObject* context, drop_fn drop);

    // On the context's thread: every proxy stops calling its client and gives back the
    // references of the calls still unanswered; their answers, should they come, are
    // ignored. For the end of the runtime, after its sinks were unadvised.
    static void abandon_all();
    // How many proxies exist (for the runtime's tests).
    static std::size_t live_count();

    const QString& client() const { return client_; }
    const QString& path() const { return path_; }
    const interface_info& itf() const { return itf_; }

    // Asks the client for the sink's introspection data; drops the sink when it is not
    // there or does not list the interface.
    void check_sink();
    // No more calls to the client: waiters return at once, later calls do nothing.
    void disconnect();

    // ---- IUnknown: IUnknown, and IDispatch with the dispatch interface's IID for an
    // event sink or IPropertyNotifySink for a property sink.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // ---- IDispatch (event sinks): Invoke of a member of the dispatch interface with its
    // positional arguments; DISP_E_MEMBERNOTFOUND, DISP_E_BADPARAMCOUNT,
    // DISP_E_TYPEMISMATCH for a call that has no bus form. Returns once the call is sent.
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                               DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                        DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                        UINT* puArgErr) override;

    // ---- IPropertyNotifySink
    STDMETHODIMP OnChanged(DISPID dispID) override;
    STDMETHODIMP OnRequestEdit(DISPID dispID) override;

private:
    friend class sink_answers;
    virtual ~sink_proxy();
    QDBusMessage make_call(const QString& method) const;
    // A notification waiting behind the full window; data holds an OnData's bytes.
    struct queued {
        QDBusMessage call;
        QByteArray data;
        bool is_data;
    };
    // Sends a notification within the window, or queues (merges) it behind it; an
    // OnData (data: the size bytes at bytes) of any size, in pieces of at most
    // kSinkMergeBytes. Only what is queued is copied: the bytes need to live only until
    // this returns.
    void notify(QDBusMessage call, const char* bytes, qsizetype size, bool data);
    // Sends one notification; mutex_ held, so sends leave in the order decided.
    void send_locked(queued& item);
    // An answer (or its absence) arrived for a call of this proxy.
    void answered(const QDBusMessage& reply, bool windowed);
    // The answer to check_sink's introspection.
    void introspected(const QDBusMessage& reply);
    // Sends a call whose answer goes to answers_ (to its slot for a notification or for
    // an introspection); false when the proxy no longer calls. mutex_ held.
    bool call_locked(const QDBusMessage& call, bool notification);
    // No more calls; the number of references held for unanswered calls is handed back.
    DWORD abandon();
    bool try_add_ref();
    void drop(const QString& reason);
    // call_budget::waiter: a place of the shared budget handed to this proxy.
    call_budget::waiter* budget_granted() override;
    void budget_hold() override { AddRef(); }
    void budget_unhold() override { Release(); }

    std::atomic<ULONG> refs_{1};
    QDBusConnection bus_;
    const QString client_;
    const QString path_;
    const interface_info& itf_;
    const bool events_;
    const QString interface_;
    const QString on_data_;
    drop_fn drop_fn_;
    std::atomic<bool> dropped_{false};
    call_budget::seat seat_;

    std::mutex mutex_;
    std::condition_variable room_;
    DWORD in_flight_ = 0;
    DWORD unanswered_ = 0;  // calls on the way, each holding a reference
    std::deque<queued> queue_;
    bool disconnected_ = false;
    sink_answers* answers_ = nullptr;  // lives on the context's thread
    QThread* const bus_thread_;         // QtDBus's thread for the connection
};

}  // namespace platform::rpc
