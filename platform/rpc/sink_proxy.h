// The server's stand-in for a sink that a client exports on its own connection: an
// IDispatch for _ISerialPortEvents, or an IPropertyNotifySink, whose calls become bus
// method calls on the client's connection and path.
//
// Notifications (OnData, OnPortEvent, OnError, OnChanged) are sent without waiting for
// their answers, at most kSinkWindow of them on the way per sink, fewer when many sinks
// share the server's budget of calls awaiting answers (call_budget.h: kServerCallBudget
// for all sinks, an equal window for each). While the window is
// full, further notifications queue in the proxy, in order, and go out as answers free
// places. An OnData that finds the queue's last entry to be an OnData as well is merged
// into it (its bytes appended) as long as the merged call carries at most
// kSinkMergeBytes: the sink still gets every byte in the port's order, in fewer and
// bigger calls, and an OnPortEvent or OnError keeps its place between the data before
// and after it. A single OnData bigger than kSinkMergeBytes goes out whole. When
// kSinkQueue entries wait and the next notification cannot be merged, the caller (the
// sink's own notification thread, or the setter that runs the change protocol) waits
// for room, so a slow client holds up only its own notifications and a proxy holds at
// most (kSinkWindow + kSinkQueue) calls of at most kSinkMergeBytes each.
//
// A notification keeps its place in the window until the bus ends the call: the sink
// answers, its connection leaves the bus, or the daemon's own reply time-out ends it. The
// server sets no time-out of its own on notifications, because a call it gave up would
// still count against its connection's limit at the daemon. A sink that never answers
// therefore keeps its window full; its later notifications queue and, once kSinkQueue
// entries wait, its notification thread waits up to 2 * kSinkCallTimeoutMs for room and
// then drops the notification.
//
// OnRequestEdit goes out after every queued notification and always waits for its
// answer: S_FALSE refuses, anything else (S_OK, an error, no answer within
// kSinkCallTimeoutMs, a client that is gone) consents. An OnRequestEdit that gets no
// answer within kSinkCallTimeoutMs is given up and not repeated.
//
// A call that fails with UnknownObject, UnknownInterface or UnknownMethod, like a sink
// whose introspection data lacks the interface, makes the proxy ask its owner to
// unadvise it (on a call thread, never on the thread that delivered the answer).
#pragma once

#include "platform/com/typeinfo.h"
#include "platform/rpc/call_budget.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace platform::rpc {

// The most bytes one merged OnData call carries. 64 KiB makes a 512-byte read stream
// about 16 calls per MiB once the window is full, while a sink's process never holds
// more than (kSinkWindow + kSinkQueue) * 64 KiB of undelivered data per sink.
inline constexpr qsizetype kSinkMergeBytes = 64 * 1024;
// How many notifications may wait in a proxy behind a full window.
inline constexpr std::size_t kSinkQueue = 16;

class sink_proxy : public IDispatch, public IPropertyNotifySink, private call_budget::waiter {
public:
    // Called (at most once) when the sink must be unadvised, with the reason.
    using drop_fn = std::function<void(sink_proxy*, const QString& reason)>;
    // post runs a function on the thread that serves the bus connection.
    using post_fn = std::function<void(std::function<void()>)>;

    sink_proxy(const QDBusConnection& bus, const QString& client, const QString& path,
               const interface_info& itf, post_fn post, drop_fn drop);

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
    virtual ~sink_proxy() = default;
    QDBusMessage make_call(const char* method) const;
    // A notification waiting behind the full window; data holds an OnData's bytes.
    struct queued {
        QDBusMessage call;
        QByteArray data;
        bool is_data;
    };
    // Sends a notification within the window, or queues (merges) it behind it.
    void notify(QDBusMessage call, const QByteArray* data);
    // Sends one notification; mutex_ held, so sends leave in the order decided.
    void send_locked(queued& item);
    // An answer (or its absence) arrived for a call of this proxy.
    void answered(const QDBusMessage& reply, bool windowed);
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
    post_fn post_;
    drop_fn drop_fn_;
    std::atomic<bool> dropped_{false};
    call_budget::seat seat_;

    std::mutex mutex_;
    std::condition_variable room_;
    DWORD in_flight_ = 0;
    std::deque<queued> queue_;
    bool disconnected_ = false;
};

}  // namespace platform::rpc
