#include "platform/rpc/sink_proxy.h"

#include "idl/tethra.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/wire.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QXmlStreamReader>

#include <chrono>
#include <cstring>
#include <limits>
#include <optional>

namespace platform::rpc {

namespace {

// libdbus's "no time-out" (DBUS_TIMEOUT_INFINITE).
constexpr int kNoTimeout = std::numeric_limits<int>::max();

}  // namespace

sink_proxy::sink_proxy(const QDBusConnection& bus, const QString& client, const QString& path,
                       const interface_info& itf, post_fn post, drop_fn drop)
    : bus_(bus),
      client_(client),
      path_(path),
      itf_(itf),
      events_(itf.kind == interface_kind::dispinterface),
      post_(std::move(post)),
      drop_fn_(std::move(drop))
{
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

QDBusMessage sink_proxy::make_call(const char* method) const
{
    return QDBusMessage::createMethodCall(client_, path_, bus_interface_name(itf_),
                                          QString::fromLatin1(method));
}

void sink_proxy::notify(QDBusMessage call, const QByteArray* data)
{
    std::unique_lock lock(mutex_);
    // Each call on the way ends within its time-out, so the wait is bounded; the extra
    // margin covers an answer that is late to be delivered.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * kSinkCallTimeoutMs);
    for (;;) {
        if (disconnected_)
            return;
        if (queue_.empty() && call_budget::shared().take(in_flight_, this)) {
            queued item{std::move(call), data ? *data : QByteArray(), data != nullptr};
            send_locked(item);
            return;
        }
        if (data && !queue_.empty() && queue_.back().is_data &&
            queue_.back().data.size() + data->size() <= kSinkMergeBytes) {
            queue_.back().data.append(*data);
            return;
        }
        if (queue_.size() < kSinkQueue) {
            queue_.push_back({std::move(call), data ? *data : QByteArray(), data != nullptr});
            return;
        }
        if (room_.wait_until(lock, deadline) == std::cv_status::timeout)
            return;  // given up: the notification is dropped, not repeated
    }
}

void sink_proxy::send_locked(queued& item)
{
    if (item.is_data)
        item.call.setArguments({QVariant(item.data)});
    ++in_flight_;
    // No time-out of our own: the bus daemon counts the call against the server's
    // connection until the sink answers, leaves the bus or the daemon gives up on it, and
    // each of those ends it here too, so the budget's count is the daemon's.
    QDBusPendingCall pending = bus_.asyncCall(item.call, kNoTimeout);
    AddRef();  // for the watcher
    post_([this, pending] {
        auto* watcher = new QDBusPendingCallWatcher(pending);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [this, watcher] {
            answered(watcher->reply(), true);
            watcher->deleteLater();
            Release();
        });
    });
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
    QDBusMessage call = QDBusMessage::createMethodCall(
        client_, path_, QLatin1String(kIntrospectable), QStringLiteral("Introspect"));
    QDBusPendingCall pending = bus_.asyncCall(call, static_cast<int>(kSinkCallTimeoutMs));
    AddRef();
    post_([this, pending] {
        auto* watcher = new QDBusPendingCallWatcher(pending);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [this, watcher] {
            const QDBusMessage reply = watcher->reply();
            if (reply.type() == QDBusMessage::ErrorMessage) {
                // A client that does not answer introspection in time keeps its sink.
                if (reply.errorName() != QLatin1String(kErrNoReply))
                    drop(QStringLiteral("introspection fails with ") + reply.errorName());
            } else {
                const QString wanted = bus_interface_name(itf_);
                bool found = false;
                QXmlStreamReader xml(reply.arguments().value(0).toString());
                while (!xml.atEnd() && !found)
                    if (xml.readNext() == QXmlStreamReader::StartElement &&
                        xml.name() == QLatin1String("interface") &&
                        xml.attributes().value(QLatin1String("name")) == wanted)
                        found = true;
                if (!found)
                    drop(QStringLiteral("the sink does not implement ") + wanted);
            }
            watcher->deleteLater();
            Release();
        });
    });
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
    QDBusMessage call = make_call(member->method);
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
    // OnData's bytes travel apart from the call so that queued ones can be merged.
    const bool data = args.size() == 1 && std::strcmp(member->method, "OnData") == 0;
    const QByteArray bytes = data ? args.front().toByteArray() : QByteArray();
    if (!data)
        call.setArguments(args);
    notify(std::move(call), data ? &bytes : nullptr);
    return S_OK;
}

// ---- IPropertyNotifySink ------------------------------------------------------------------

STDMETHODIMP sink_proxy::OnChanged(DISPID dispID)
{
    QDBusMessage call = make_call("OnChanged");
    call << static_cast<int>(dispID);
    notify(std::move(call), nullptr);
    return S_OK;
}

STDMETHODIMP sink_proxy::OnRequestEdit(DISPID dispID)
{
    QDBusMessage call = make_call("OnRequestEdit");
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
