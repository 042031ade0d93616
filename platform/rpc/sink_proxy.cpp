#include "platform/rpc/sink_proxy.h"

#include "idl/tethra.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/wire.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusPendingReply>
#include <QObject>
#include <QThread>
#include <QXmlStreamReader>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <vector>

namespace platform::rpc {

// Receives the answers to one proxy's calls on the thread that serves the bus connection.
// Every call it can still receive an answer for holds a reference on its proxy, so the
// proxy is there for each of them; abandon() deletes it on its own thread, after which no
// answer reaches the proxy.
class sink_answers : public QObject {
    Q_OBJECT
public:
    explicit sink_answers(sink_proxy* proxy) : proxy_(proxy) {}

public Q_SLOTS:
    void notified(const QDBusMessage& reply) { done(reply, false); }
    // An error answer arrives as its error; the message beside it is the call that failed.
    void notify_failed(const QDBusError& error, const QDBusMessage&)
    {
        done(QDBusMessage::createError(error), false);
    }
    void introspected(const QDBusMessage& reply) { done(reply, true); }
    void introspect_failed(const QDBusError& error, const QDBusMessage&)
    {
        done(QDBusMessage::createError(error), true);
    }

private:
    void done(const QDBusMessage& reply, bool introspection)
    {
        sink_proxy* proxy = proxy_;
        {
            std::lock_guard lock(proxy->mutex_);
            --proxy->unanswered_;
        }
        if (introspection)
            proxy->introspected(reply);
        else
            proxy->answered(reply, true);
        proxy->Release();  // the call's reference
    }
    sink_proxy* proxy_;
};

namespace {

// The bus library's "never time out".
constexpr int kNoCallTimeout = std::numeric_limits<int>::max();

// Every proxy, so that the runtime's end can reach the ones its tables no longer hold.
std::mutex g_live_mutex;
std::set<sink_proxy*>& live()
{
    static std::set<sink_proxy*> s;
    return s;
}

}  // namespace

sink_proxy::sink_proxy(const QDBusConnection& bus, const QString& client, const QString& path,
                       const interface_info& itf, QObject* context, drop_fn drop)
    : bus_(bus),
      client_(client),
      path_(path),
      itf_(itf),
      events_(itf.kind == interface_kind::dispinterface),
      interface_(bus_interface_name(itf)),
      on_data_(QStringLiteral("OnData")),
      drop_fn_(std::move(drop)),
      answers_(new sink_answers(this)),
      bus_thread_(bus_.interface() ? bus_.interface()->thread() : nullptr)
{
    answers_->moveToThread(context->thread());
    std::lock_guard lock(g_live_mutex);
    live().insert(this);
}

sink_proxy::~sink_proxy()
{
    std::lock_guard lock(g_live_mutex);
    live().erase(this);
    // No call is unanswered (each holds a reference), so no answer can reach it any more.
    if (answers_)
        answers_->deleteLater();
}

bool sink_proxy::try_add_ref()
{
    ULONG n = refs_.load();
    while (n != 0)
        if (refs_.compare_exchange_weak(n, n + 1))
            return true;
    return false;  // on its way to the destructor
}

DWORD sink_proxy::abandon()
{
    DWORD unanswered = 0;
    DWORD places = 0;
    {
        std::lock_guard lock(mutex_);
        disconnected_ = true;
        queue_.clear();
        room_.notify_all();
        delete answers_;  // on its own thread: queued answers go with it
        answers_ = nullptr;
        unanswered = unanswered_;
        unanswered_ = 0;
        places = in_flight_;
        in_flight_ = 0;
    }
    // The places of the calls given up go back to the shared budget (outside the lock, as
    // a place handed over is used under the receiving proxy's lock).
    for (; places > 0; --places)
        call_budget::hand_over(call_budget::shared().give_back());
    return unanswered;
}

void sink_proxy::abandon_all()
{
    std::vector<sink_proxy*> proxies;
    {
        std::lock_guard lock(g_live_mutex);
        for (sink_proxy* p : live())
            if (p->try_add_ref())
                proxies.push_back(p);
    }
    for (sink_proxy* p : proxies) {
        for (DWORD n = p->abandon(); n > 0; --n)
            p->Release();
        p->Release();
    }
}

std::size_t sink_proxy::live_count()
{
    std::lock_guard lock(g_live_mutex);
    return live().size();
}

// ---- IUnknown ---------------------------------------------------------------------------

STDMETHODIMP sink_proxy::QueryInterface(REFIID riid, void** ppvObject)
{
    if (!ppvObject)
        return E_POINTER;
    *ppvObject = nullptr;
    if (riid == IID_IUnknown || (events_ && (riid == IID_IDispatch || riid == *itf_.iid)))
        *ppvObject = static_cast<IDispatch*>(this);
    else if (!events_ && riid == IID_IPropertyNotifySink)
        *ppvObject = static_cast<IPropertyNotifySink*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) sink_proxy::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) sink_proxy::Release()
{
    const ULONG left = --refs_;
    if (left == 0)
        delete this;
    return left;
}

// ---- calls ------------------------------------------------------------------------------

QDBusMessage sink_proxy::make_call(const QString& method) const
{
    return QDBusMessage::createMethodCall(client_, path_, interface_, method);
}

bool sink_proxy::call_locked(const QDBusMessage& call, bool notification)
{
    if (!answers_)
        return false;
    AddRef();  // for the answer
    ++unanswered_;
    const auto send = [this, notification](const QDBusMessage& message) {
        return bus_.callWithCallback(
            message, answers_,
            notification ? SLOT(notified(QDBusMessage)) : SLOT(introspected(QDBusMessage)),
            notification ? SLOT(notify_failed(QDBusError, QDBusMessage))
                         : SLOT(introspect_failed(QDBusError, QDBusMessage)),
            // Notifications without a time-out: a call given up here would stay pending at
            // the bus daemon, which refuses every further call of this connection, to any
            // client, once it holds max_replies_per_connection of them.
            notification ? kNoCallTimeout : static_cast<int>(kSinkCallTimeoutMs));
    };
    if (QThread::currentThread() == bus_thread_ && answers_->thread() == bus_thread_) {
        // On QtDBus's own thread (an answer that made room) a call is written at once,
        // while a call made on any other thread waits in that thread's event queue to be
        // written. So this one joins the same queue, behind the calls made before it.
        // Its answer (or, should it not go out, its failure) settles it as any other;
        // should the runtime end first, abandon() counts it among the unanswered.
        // Answers handled on a thread of their own send at once: QtDBus queues those
        // calls in its thread like any other thread's, in the order they were made.
        // A message of its own: copies of a QDBusMessage share their arguments, and the
        // caller clears the ones it set once this returns. What is sent from here comes
        // from the queue, whose bytes are the queue's own (never a view of a caller's).
        QDBusMessage message = QDBusMessage::createMethodCall(call.service(), call.path(),
                                                              call.interface(), call.member());
        message.setArguments(call.arguments());
        QMetaObject::invokeMethod(
            answers_,
            [answers = answers_, message, notification, send] {
                if (!send(message)) {
                    const QDBusError gone(QDBusError::Disconnected, QStringLiteral("not sent"));
                    if (notification)
                        answers->notify_failed(gone, message);
                    else
                        answers->introspect_failed(gone, message);
                }
            },
            Qt::QueuedConnection);
        return true;
    }
    if (!send(call)) {
        // Not sent (the connection is gone): no answer will come.
        --unanswered_;
        refs_--;  // never the last: the caller holds one
        return false;
    }
    return true;
}

void sink_proxy::notify(QDBusMessage call, const char* bytes, qsizetype size, bool data)
{
    // An OnData's bytes not yet sent or queued, from offset `at` on: for the queue a copy
    // of the next piece, for a call sent at once the bytes where they are (send_locked
    // marshals them before it returns and leaves the message none of them).
    qsizetype at = 0;
    auto next_piece = [&](bool copy) {
        const qsizetype n = std::min(kSinkMergeBytes, size - at);
        QByteArray piece = copy ? QByteArray(bytes + at, n) : QByteArray::fromRawData(bytes + at, n);
        at += n;
        return piece;
    };
    std::unique_lock lock(mutex_);
    for (;;) {
        if (disconnected_)
            return;
        // The last queued OnData takes what it has room for.
        if (data && !queue_.empty() && queue_.back().is_data &&
            queue_.back().data.size() < kSinkMergeBytes) {
            QByteArray& back = queue_.back().data;
            const qsizetype n = std::min(kSinkMergeBytes - back.size(), size - at);
            back.append(bytes + at, n);
            at += n;
            if (at == size)
                return;
            continue;
        }
        if (queue_.empty() && (!data || in_flight_ < kSinkEager) &&
            call_budget::shared().take(in_flight_, this)) {
            queued item{data ? call : std::move(call), data ? next_piece(false) : QByteArray(), data};
            send_locked(item);
            if (at == size)
                return;
            continue;
        }
        if (queue_.size() < kSinkQueue) {
            queue_.push_back({data ? call : std::move(call), data ? next_piece(true) : QByteArray(), data});
            if (at == size)
                return;
            continue;
        }
        // Until an answer frees a place, or the sink is disconnected; meanwhile the
        // caller's own queue holds what follows, within its bound.
        room_.wait(lock);
    }
}

void sink_proxy::send_locked(queued& item)
{
    if (item.is_data)
        item.call.setArguments({QVariant(item.data)});
    if (call_locked(item.call, true))
        ++in_flight_;
    // The call is marshalled: its message keeps no view of bytes that may go once the
    // notification returns.
    if (item.is_data)
        item.call.setArguments({});
}

void sink_proxy::answered(const QDBusMessage& reply, bool windowed)
{
    if (windowed) {
        call_budget::waiter* next = nullptr;
        {
            std::lock_guard lock(mutex_);
            --in_flight_;
            // The answer's place goes to the sinks in line first.
            next = call_budget::shared().give_back();
            while (!disconnected_ && !queue_.empty() &&
                   call_budget::shared().take(in_flight_, this)) {
                send_locked(queue_.front());
                queue_.pop_front();
            }
            room_.notify_all();
        }
        call_budget::hand_over(next);
    }
    if (reply.type() == QDBusMessage::ErrorMessage && is_missing_object_error(reply.errorName()))
        drop(QStringLiteral("calls fail with ") + reply.errorName());
}

call_budget::waiter* sink_proxy::budget_granted()
{
    std::lock_guard lock(mutex_);
    if (disconnected_ || queue_.empty())
        return call_budget::shared().give_back();  // nothing to send: the next in line
    send_locked(queue_.front());
    queue_.pop_front();
    room_.notify_all();
    return nullptr;
}

void sink_proxy::drop(const QString& reason)
{
    if (dropped_.exchange(true))
        return;
    drop_fn_(this, reason);
}

void sink_proxy::disconnect()
{
    std::lock_guard lock(mutex_);
    disconnected_ = true;
    queue_.clear();
    room_.notify_all();
}

void sink_proxy::check_sink()
{
    const QDBusMessage call = QDBusMessage::createMethodCall(
        client_, path_, QLatin1String(kIntrospectable), QStringLiteral("Introspect"));
    std::lock_guard lock(mutex_);
    if (!disconnected_)
        call_locked(call, false);
}

void sink_proxy::introspected(const QDBusMessage& reply)
{
    if (reply.type() == QDBusMessage::ErrorMessage) {
        // A client that does not answer introspection in time keeps its sink.
        if (reply.errorName() != QLatin1String(kErrNoReply))
            drop(QStringLiteral("introspection fails with ") + reply.errorName());
        return;
    }
    bool found = false;
    QXmlStreamReader xml(reply.arguments().value(0).toString());
    while (!xml.atEnd() && !found)
        if (xml.readNext() == QXmlStreamReader::StartElement &&
            xml.name() == QLatin1String("interface") &&
            xml.attributes().value(QLatin1String("name")) == interface_)
            found = true;
    if (!found)
        drop(QStringLiteral("the sink does not implement ") + interface_);
}

// ---- IDispatch ----------------------------------------------------------------------------

STDMETHODIMP sink_proxy::GetTypeInfoCount(UINT* pctinfo)
{
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}

STDMETHODIMP sink_proxy::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo)
{
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    return DISP_E_BADINDEX;
}

STDMETHODIMP sink_proxy::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                       DISPID* rgDispId)
{
    return dispatch_get_ids_of_names(itf_, riid, rgszNames, cNames, rgDispId);
}

STDMETHODIMP sink_proxy::Invoke(DISPID dispIdMember, REFIID, LCID, WORD, DISPPARAMS* pDispParams,
                                VARIANT* pVarResult, EXCEPINFO*, UINT* puArgErr)
{
    if (pVarResult)
        VariantInit(pVarResult);
    const member_info* member = find_member(itf_, dispIdMember, INVOKE_FUNC);
    if (!member)
        return DISP_E_MEMBERNOTFOUND;
    if (!pDispParams || pDispParams->cArgs != member->param_count)
        return DISP_E_BADPARAMCOUNT;
    if (pDispParams->cArgs > 0 && !pDispParams->rgvarg)
        return E_INVALIDARG;
    const bool data = member->param_count == 1 && std::strcmp(member->method, "OnData") == 0;
    QDBusMessage call = make_call(data ? on_data_ : QString::fromLatin1(member->method));
    if (data) {
        // OnData's bytes travel apart from the call so that queued ones can be merged; a
        // read bigger than kSinkMergeBytes travels in pieces of that size (notify). Only a
        // byte array has a bus form; a call sent at once marshals it from where it is.
        const VARIANT& arg = pDispParams->rgvarg[0];
        const VARIANT& inner = arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal ? *arg.pvarVal : arg;
        if (inner.vt != (VT_ARRAY | VT_UI1) || !inner.parray) {
            if (puArgErr)
                *puArgErr = 0;
            return DISP_E_TYPEMISMATCH;
        }
        const auto size = static_cast<qsizetype>(inner.parray->rgsabound[0].cElements);
        notify(std::move(call), size ? static_cast<const char*>(inner.parray->pvData) : "", size,
               true);
        return S_OK;
    }
    QList<QVariant> args;
    for (UINT i = 0; i < member->param_count; ++i) {
        QVariant value;
        const VARIANT& arg = pDispParams->rgvarg[member->param_count - 1 - i];
        if (FAILED(variant_to_value(member->params[i], true, arg, &value))) {
            if (puArgErr)
                *puArgErr = member->param_count - 1 - i;
            return DISP_E_TYPEMISMATCH;
        }
        args.push_back(value);
    }
    call.setArguments(args);
    notify(std::move(call), nullptr, 0, false);
    return S_OK;
}

// ---- IPropertyNotifySink ------------------------------------------------------------------

STDMETHODIMP sink_proxy::OnChanged(DISPID dispID)
{
    QDBusMessage call = make_call(QStringLiteral("OnChanged"));
    call << static_cast<int>(dispID);
    notify(std::move(call), nullptr, 0, false);
    return S_OK;
}

STDMETHODIMP sink_proxy::OnRequestEdit(DISPID dispID)
{
    QDBusMessage call = make_call(QStringLiteral("OnRequestEdit"));
    call << static_cast<int>(dispID);
    std::optional<QDBusPendingCall> pending;
    {
        // After every queued notification, so the sink hears the changes in order.
        std::unique_lock lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(2 * kSinkCallTimeoutMs);
        if (!room_.wait_until(lock, deadline, [&] { return disconnected_ || queue_.empty(); }) ||
            disconnected_)
            return S_OK;
        pending = bus_.asyncCall(call, static_cast<int>(kSinkCallTimeoutMs));
    }
    pending->waitForFinished();
    const QDBusMessage reply = pending->reply();
    answered(reply, false);
    return hresult_from_reply(reply) == S_FALSE ? S_FALSE : S_OK;
}

}  // namespace platform::rpc

#include "sink_proxy.moc"
