// The server runtime: the bus connection, the class object, the objects handed to clients
// with their per-connection references, the generic stubs and the sinks' proxies.
//
// Threads. QtDBus reads the connection on a thread of its own and hands each incoming
// call, as an event, to the thread the receiving object lives in: here the runtime's Qt
// thread (see rpc.h), which therefore runs an event loop, and for that an application
// object must exist. Its handler only looks at a call's sender and path and queues the
// call on the call pool in the strand (sender, path); it never blocks and never calls a
// client. Everything else (the stubs, the objects' methods, releases, the clean-up after
// a client left) runs on call threads; replies are sent from there (QDBusConnection::send
// may be called from any thread). The same Qt thread watches NameOwnerChanged. The
// answers to the sink proxies' calls go to QtDBus's own thread (answers_context()), which
// sends the notifications they make room for at once.
//
// State. One mutex guards the tables below; it is never held while an object's method
// or a client is called.
//
// Calls whose client leaves. Each client call runs with a call context on its thread
// (platform::set_current_call), entered in a table while it runs. When its client leaves
// the bus, the Qt thread marks the context cancelled and queues a procedure call to
// the call thread (QueueUserAPC): a call that waits alertably (a synchronous Send waiting
// for its write, CStrategy::GetCompletionCode) wakes, finds CoTestCancel reporting
// RPC_E_CALL_CANCELED and gives its work up, so that the clean-up after the client,
// which waits for the client's calls to end, is not held up by a device that will not
// take the bytes. Its reply goes nowhere. A call that waits any other way runs to its
// end as before. A wake-up the call did not use is run off when the call ends
// (SleepEx(0, TRUE)), so it cannot wake the thread's next call.
//
// Memory. libdbus reads a message into a buffer that doubles as it fills and shrinks
// again once the message is complete. A call of 64 KiB or more (a client's Send of a
// 64 KiB array) takes that buffer past glibc's 128 KiB threshold, above which it maps
// memory instead of using the heap; the buffer then stays mapped, and every such call
// grows and shrinks it with mremap, whose shrink unmaps pages at the cost of a TLB
// shootdown on every processor. The runtime therefore raises that threshold for its
// process to kHeapUpTo before it connects, and keeps the heap from being trimmed below
// it, so the buffers of calls up to a few MiB stay heap memory (bench/rpc,
// rpc_fanout_bench --to-device).
#include "platform/rpc/rpc.h"

#include "idl/tethra.h"
#include "platform/com/runtime.h"
#include "platform/rpc/call_pool.h"
#include "platform/rpc/sink_proxy.h"
#include "platform/rpc/wire.h"
#include "platform/sync/sync.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QThread>

#include <malloc.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace platform::rpc {

namespace {

constexpr char kConnectionName[] = "tethra-rpc-server";

// Allocations below this size come from the heap, and the heap is not trimmed below
// twice that (see Memory above).
constexpr int kHeapUpTo = 4 << 20;

void keep_bus_buffers_on_the_heap()
{
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, kHeapUpTo);
        mallopt(M_TRIM_THRESHOLD, 2 * kHeapUpTo);
    });
}

void trace(const QString& text)
{
    const QByteArray line = (QStringLiteral("rpc: ") + text + QLatin1Char('\n')).toLocal8Bit();
    OutputDebugStringA(line.constData());
}

QString iid_string(REFIID iid)
{
    char text[40];
    StringFromGUID2(iid, text, static_cast<int>(sizeof text));
    return QString::fromLatin1(text);
}

bool parse_iid(const QString& text, IID* iid)
{
    const QByteArray latin = text.toLatin1();
    return SUCCEEDED(IIDFromString(latin.constData(), iid));
}

// An interface pointer that releases its reference.
template <class T>
struct com_ptr {
    T* p = nullptr;
    com_ptr() = default;
    explicit com_ptr(T* q) : p(q) {}
    ~com_ptr()
    {
        if (p)
            p->Release();
    }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    T** put() { return &p; }
    void** put_void() { return reinterpret_cast<void**>(&p); }
};

// ---- the Qt thread ---------------------------------------------------------------------------

// The thread that serves the bus connection; an event loop of the host's application
// object, or of one made here.
class qt_thread {
public:
    void start()
    {
        if (QCoreApplication::instance()) {
            thread_ = new QThread;
            thread_->start();
            context_ = new QObject;
            context_->moveToThread(thread_);
            return;
        }
        std::mutex m;
        std::condition_variable cv;
        bool ready = false;
        own_ = std::thread([&] {
            static int argc = 1;
            static char name[] = "tethra-server";
            static char* argv[] = {name, nullptr};
            QCoreApplication app(argc, argv);
            auto* context = new QObject;
            {
                // Notified under the lock: the waiter's cv is gone once it has returned.
                std::lock_guard lock(m);
                context_ = context;
                ready = true;
                cv.notify_one();
            }
            app.exec();
            delete context;
        });
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return ready; });
    }
    void stop()
    {
        if (thread_) {
            thread_->quit();
            thread_->wait();
            delete context_;  // its thread has ended: no event can reach it any more
            delete thread_;
            thread_ = nullptr;
        } else if (own_.joinable()) {
            QMetaObject::invokeMethod(context_, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
            own_.join();
        }
        context_ = nullptr;
    }
    template <class F>
    void run(F f)
    {
        QMetaObject::invokeMethod(context_, std::move(f), Qt::BlockingQueuedConnection);
    }
    QObject* context() const { return context_; }

private:
    QThread* thread_ = nullptr;
    std::thread own_;
    QObject* context_ = nullptr;
};

// ---- tables ----------------------------------------------------------------------------------

enum class object_kind { tethra, serial_port, connection_point, other };

struct exported_object {
    QString path;
    object_kind kind;
    IUnknown* identity;                   // the runtime's reference
    const interface_info* itf = nullptr;  // the type-library interface it serves
    std::map<QString, ULONG> refs;        // per client connection
};

struct advise_record {
    QString client;
    QString point_path;
    DWORD cookie;
    IConnectionPoint* point;  // counted
    sink_proxy* proxy;        // counted
};

struct class_record {
    DWORD cookie;
    CLSID clsid;
    IClassFactory* factory;  // counted
    bool resumed;
};

// A client's call while a call thread runs it; on that thread's stack, linked into the
// server's list of calls under way (no allocation per call).
struct running_call {
    QString client;
    platform::call_context context;  // what CoTestCancel reads on the call thread
    HANDLE thread;                   // the call thread, for the wake-up; null if unknown
    running_call* prev = nullptr;
    running_call* next = nullptr;
};

// The calling call thread's own handle, for QueueUserAPC; opened once per thread.
HANDLE call_thread_handle()
{
    struct own_handle {
        HANDLE handle = OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId());
        ~own_handle()
        {
            if (handle)
                CloseHandle(handle);
        }
    };
    thread_local own_handle self;
    return self.handle;
}

// The wake-up: running it ends the call thread's alertable wait; the call then asks
// CoTestCancel.
void wake_call(ULONG_PTR) {}

class server;

// Receives NameOwnerChanged on the Qt thread.
class name_watcher : public QObject {
    Q_OBJECT
public:
    explicit name_watcher(server* s) : server_(s) {}
public Q_SLOTS:
    void nameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);
    void busDisconnected();

private:
    server* server_;
};

class bus_object : public QDBusVirtualObject {
public:
    explicit bus_object(server* s) : server_(s) {}
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
    QString introspect(const QString&) const override { return {}; }

private:
    server* server_;
};

class server {
public:
    // ---- class objects
    HRESULT register_class(REFCLSID clsid, IClassFactory* factory, bool suspended, DWORD* cookie);
    HRESULT revoke_class(DWORD cookie);
    HRESULT resume();
    HRESULT suspend();
    void stop();

    // ---- the bus side (Qt thread)
    void dispatch(const QDBusMessage& call);
    void client_left(const QString& client);
    void bus_lost();
    // Every client that holds an object, a sink or a lock.
    std::set<QString> holders();

private:
    HRESULT connect_locked();
    void release_name();
    void reply(const QDBusMessage& reply) { bus_.send(reply); }
    // Where the sink proxies' answers arrive: an object of QtDBus's own connection thread,
    // which reads them, so that no answer waits for a second thread to wake up.
    QObject* answers_context() { return bus_.interface(); }
    // The HRESULT alone: its error, or a reply with the success code.
    void reply_hr(const QDBusMessage& call, HRESULT hr)
    {
        reply(FAILED(hr) ? error_reply(call, hr) : call.createReply(QVariant(static_cast<int>(hr))));
    }
    // A successful HRESULT and an object path.
    void reply_object(const QDBusMessage& call, HRESULT hr, const QString& path)
    {
        reply(call.createReply({QVariant(static_cast<int>(hr)), QVariant::fromValue(QDBusObjectPath(path))}));
    }
    // The interface identifier a call carries as its one argument ("s"); false after an
    // error reply (InvalidArgs for another signature, E_INVALIDARG for a malformed IID).
    bool riid_argument(const QDBusMessage& call, IID* iid);
    void reply_error(const QDBusMessage& call, const char* name, const QString& text)
    {
        bus_.send(call.createErrorReply(QLatin1String(name), text));
    }

    // ---- objects
    // Exports pUnk for the client with one reference; its path, or "/" for null.
    QString export_object(IUnknown* pUnk, const QString& client, const QString& parent);
    std::shared_ptr<exported_object> held(const QString& path, const QString& client);
    ULONG add_ref(const QString& path, const QString& client);
    // Drops one of the client's references; the count it still holds, or -1 if none.
    // When the client holds no more reference on a client port object nor on any of its
    // connection points, the sinks it advised through them are unadvised as well.
    long release(const QString& path, const QString& client);
    // Moves the client's advise records on the port's connection points into *taken,
    // unless the client still holds the port or one of its connection points.
    void take_port_advises_locked(const QString& port_path, const QString& client,
                                  std::vector<advise_record>* taken);

    // ---- stubs (call threads)
    // serve() with the call linked into running_ and its context installed.
    void run_call(const QDBusMessage& call);
    // Cancels a call under way (mutex_ held).
    static void cancel_locked(running_call& call);
    void serve(const QDBusMessage& call);
    void serve_class_object(const QDBusMessage& call);
    void serve_unknown(const QDBusMessage& call, const exported_object& obj);
    void serve_container(const QDBusMessage& call, const exported_object& obj);
    void serve_point(const QDBusMessage& call, const exported_object& obj);
    void serve_properties(const QDBusMessage& call, const exported_object& obj);
    void serve_member(const QDBusMessage& call, const exported_object& obj,
                      const member_info& member);
    HRESULT call_member(const exported_object& obj, const member_info& member,
                        const QList<QVariant>& in, QList<QVariant>* out, const QString& client,
                        bool* bad_args);
    QString introspect(const exported_object& obj);
    void drop_sink(sink_proxy* proxy, const QString& reason);
    // Removes the first advise record that matches from the table into *record.
    bool take_advise(const std::function<bool(const advise_record&)>& match,
                     advise_record* record);
    // Unadvises a record taken from the table: no more calls reach the client, the
    // connection point lets the sink go, the record's references are released.
    static HRESULT end_advise(advise_record& record);
    void clean_up(const QString& client);

    std::mutex mutex_;
    qt_thread qt_;
    bool started_ = false;
    QDBusConnection bus_{QString()};
    bus_object* object_ = nullptr;
    name_watcher* watcher_ = nullptr;
    bool own_name_ = false;
    call_pool pool_;

    std::vector<class_record> classes_;
    DWORD next_class_cookie_ = 1;
    std::map<QString, std::shared_ptr<exported_object>> objects_;  // by path
    std::map<IUnknown*, QString> paths_;                          // identity -> path
    ULONG next_port_ = 1;
    std::vector<advise_record> advises_;
    std::multimap<QString, IClassFactory*> locks_;  // client -> a lock it holds (counted)
    std::set<QString> gone_;                        // clients that left, until cleaned up
    running_call* running_ = nullptr;  // the calls under way, as many as call threads
};

// ---- the bus side ------------------------------------------------------------------------

void name_watcher::nameOwnerChanged(const QString& name, const QString&, const QString& newOwner)
{
    if (name.startsWith(QLatin1Char(':')) && newOwner.isEmpty())
        server_->client_left(name);
}

void name_watcher::busDisconnected()
{
    server_->bus_lost();
}

bool bus_object::handleMessage(const QDBusMessage& message, const QDBusConnection&)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    server_->dispatch(message);
    return true;
}

std::string strand_of(const QString& client, const QString& path)
{
    return ("c:" + client + QLatin1Char('\n') + path).toStdString();
}

void server::dispatch(const QDBusMessage& call)
{
    // Only queued here: the stub runs on a call thread, in order per (client, object).
    pool_.post(strand_of(call.service(), call.path()), [this, call] { run_call(call); });
}

void server::run_call(const QDBusMessage& call)
{
    running_call self{call.service(), {}, call_thread_handle()};
    platform::call_context* outer = platform::set_current_call(&self.context);
    {
        std::lock_guard lock(mutex_);
        self.next = running_;
        if (running_)
            running_->prev = &self;
        running_ = &self;
        // Its client left before it started: nobody waits for it either.
        if (gone_.count(self.client))
            cancel_locked(self);
    }
    serve(call);
    {
        std::lock_guard lock(mutex_);
        (self.prev ? self.prev->next : running_) = self.next;
        if (self.next)
            self.next->prev = self.prev;
    }
    platform::set_current_call(outer);
    if (self.context.cancelled())
        SleepEx(0, TRUE);
}

void server::cancel_locked(running_call& call)
{
    call.context.cancel();
    if (call.thread)
        QueueUserAPC(wake_call, call.thread, 0);
}

std::set<QString> server::holders()
{
    std::set<QString> clients;
    std::lock_guard lock(mutex_);
    for (const auto& [path, obj] : objects_)
        for (const auto& [client, count] : obj->refs)
            clients.insert(client);
    for (const advise_record& a : advises_)
        clients.insert(a.client);
    for (const auto& [client, factory] : locks_)
        clients.insert(client);
    return clients;
}

// The bus daemon ended (or dropped this connection): no client can reach this process
// again. Every client gives back what it held, as if each had left, and every class
// object gets a LockServer(TRUE)/LockServer(FALSE) pair, so a host that ends when its
// last lock goes ends now too, even when nobody ever used it.
void server::bus_lost()
{
    trace(QStringLiteral("the bus connection is lost: every client's objects are given back"));
    for (const QString& client : holders())
        client_left(client);
    std::vector<IClassFactory*> factories;
    {
        std::lock_guard lock(mutex_);
        for (class_record& c : classes_) {
            c.factory->AddRef();
            factories.push_back(c.factory);
        }
    }
    pool_.post("x:bus", [factories] {
        for (IClassFactory* factory : factories) {
            factory->LockServer(TRUE);
            factory->LockServer(FALSE);
            factory->Release();
        }
    });
}

void server::client_left(const QString& client)
{
    {
        std::lock_guard lock(mutex_);
        gone_.insert(client);
        // Its calls under way have nobody to answer to.
        for (running_call* c = running_; c; c = c->next)
            if (c->client == client)
                cancel_locked(*c);
    }
    pool_.post(("x:" + client).toStdString(), [this, client] { clean_up(client); });
}

HRESULT server::connect_locked()
{
    if (started_)
        return S_OK;
    keep_bus_buffers_on_the_heap();
    qt_.start();
    bool ok = false;
    qt_.run([&] {
        // The address is read each time: Qt keeps the session bus's first address.
        const char* address = std::getenv("DBUS_STARTER_ADDRESS");
        if (!address || !*address)
            address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        bus_ = address && *address
                   ? QDBusConnection::connectToBus(QString::fromLocal8Bit(address),
                                                   QLatin1String(kConnectionName))
                   : QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                   QLatin1String(kConnectionName));
        if (!bus_.isConnected())
            return;
        // Every change of a name's owner: the ones of unique names that lose their owner
        // tell of clients that left.
        watcher_ = new name_watcher(this);
        bus_.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                     QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
                     watcher_, SLOT(nameOwnerChanged(QString, QString, QString)));
        // The connection's own end: the bus daemon ended or dropped it.
        bus_.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                     QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"),
                     watcher_, SLOT(busDisconnected()));
        object_ = new bus_object(this);
        ok = bus_.registerVirtualObject(QLatin1String(kClassObjectPath), object_,
                                        QDBusConnection::SubPath);
    });
    if (!ok) {
        trace(QStringLiteral("cannot serve on the bus: ") + bus_.lastError().message());
        qt_.stop();
        return E_FAIL;
    }
    started_ = true;
    return S_OK;
}

// ---- class objects -----------------------------------------------------------------------

HRESULT server::register_class(REFCLSID clsid, IClassFactory* factory, bool suspended,
                               DWORD* cookie)
{
    {
        std::lock_guard lock(mutex_);
        for (const class_record& c : classes_)
            if (c.clsid == clsid)
                return CO_E_OBJISREG;
        factory->AddRef();
        classes_.push_back({next_class_cookie_++, clsid, factory, false});
        *cookie = classes_.back().cookie;
    }
    return suspended ? S_OK : resume();
}

HRESULT server::revoke_class(DWORD cookie)
{
    IClassFactory* factory = nullptr;
    bool last = false;
    {
        std::lock_guard lock(mutex_);
        for (auto it = classes_.begin(); it != classes_.end(); ++it)
            if (it->cookie == cookie) {
                factory = it->factory;
                classes_.erase(it);
                break;
            }
        last = classes_.empty();
    }
    if (!factory)
        return CO_E_OBJNOTREG;
    if (last)
        release_name();
    factory->Release();
    return S_OK;
}

HRESULT server::resume()
{
    {
        std::lock_guard lock(mutex_);
        const HRESULT hr = connect_locked();
        if (FAILED(hr))
            return hr;
        if (classes_.empty() || own_name_)
            return S_OK;
        // Resumed before the name is owned: the bus hands the request that started this
        // process over as soon as the name is ours, which may be before registerService
        // has returned here.
        for (class_record& c : classes_)
            c.resumed = true;
    }
    // A blocking call on this thread; the Qt thread goes on serving meanwhile.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus_.interface()->registerService(QLatin1String(kServiceName),
                                          QDBusConnectionInterface::DontQueueService,
                                          QDBusConnectionInterface::DontAllowReplacement);
    std::lock_guard lock(mutex_);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        for (class_record& c : classes_)
            c.resumed = false;
        trace(QStringLiteral("cannot own ") + QLatin1String(kServiceName) + QStringLiteral(": ") +
              reply.error().message());
        return E_FAIL;
    }
    own_name_ = true;
    return S_OK;
}

void server::release_name()
{
    {
        std::lock_guard lock(mutex_);
        for (class_record& c : classes_)
            c.resumed = false;
        if (!own_name_)
            return;
        own_name_ = false;
    }
    bus_.interface()->unregisterService(QLatin1String(kServiceName));
}

HRESULT server::suspend()
{
    release_name();
    return S_OK;
}

void server::stop()
{
    {
        std::lock_guard lock(mutex_);
        if (!started_)
            return;
    }
    release_name();
    qt_.run([this] {
        bus_.unregisterObject(QLatin1String(kClassObjectPath), QDBusConnection::UnregisterTree);
        bus_.disconnect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
                        watcher_, SLOT(nameOwnerChanged(QString, QString, QString)));
        bus_.disconnect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                        QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"),
                        watcher_, SLOT(busDisconnected()));
    });
    {
        // Nobody will hear the answers of the calls still under way.
        std::lock_guard lock(mutex_);
        for (running_call* c = running_; c; c = c->next)
            cancel_locked(*c);
    }
    // Every client that still holds something gives it back now.
    for (const QString& client : holders())
        clean_up(client);
    pool_.stop();
    std::vector<IClassFactory*> factories;
    {
        std::lock_guard lock(mutex_);
        for (class_record& c : classes_)
            factories.push_back(c.factory);
        classes_.clear();
    }
    for (IClassFactory* f : factories)
        f->Release();
    // Calls to sinks that were never answered hold their proxies: given up now, on the
    // thread their answers arrive on.
    if (QObject* context = answers_context())
        QMetaObject::invokeMethod(context, &sink_proxy::abandon_all, Qt::BlockingQueuedConnection);
    else
        sink_proxy::abandon_all();
    qt_.run([this] {
        delete object_;
        object_ = nullptr;
        delete watcher_;
        watcher_ = nullptr;
        bus_ = QDBusConnection(QString());
        QDBusConnection::disconnectFromBus(QLatin1String(kConnectionName));
    });
    qt_.stop();
    pool_.restart();
    std::lock_guard lock(mutex_);
    started_ = false;
}

// ---- objects -------------------------------------------------------------------------------

namespace {

const char* point_name(REFIID iid)
{
    if (iid == DIID__ISerialPortEvents)
        return kEventsPointName;
    if (iid == IID_IPropertyNotifySink)
        return kPropertySinkPointName;
    return nullptr;
}

}  // namespace

QString server::export_object(IUnknown* pUnk, const QString& client, const QString& parent)
{
    if (!pUnk)
        return QStringLiteral("/");
    com_ptr<IUnknown> identity;
    if (FAILED(pUnk->QueryInterface(IID_IUnknown, identity.put_void())) || !identity.p)
        return QStringLiteral("/");
    // What the object is decides its path; asked before the lock is taken.
    object_kind kind = object_kind::other;
    const interface_info* itf = nullptr;
    QString point;
    {
        com_ptr<IUnknown> probe;
        com_ptr<IConnectionPoint> cp;
        if (SUCCEEDED(identity.p->QueryInterface(IID_ITethra, probe.put_void()))) {
            kind = object_kind::tethra;
            itf = &type_info_of<ITethra>();
        } else if (SUCCEEDED(identity.p->QueryInterface(IID_ISerialPort, probe.put_void()))) {
            kind = object_kind::serial_port;
            itf = &type_info_of<ISerialPort>();
        } else if (SUCCEEDED(identity.p->QueryInterface(IID_IConnectionPoint, cp.put_void()))) {
            IID iid{};
            const char* name = SUCCEEDED(cp.p->GetConnectionInterface(&iid)) ? point_name(iid) : nullptr;
            if (name && !parent.isEmpty()) {
                kind = object_kind::connection_point;
                point = parent + QLatin1Char('/') + QLatin1String(name);
            }
        }
    }
    std::lock_guard lock(mutex_);
    auto known = paths_.find(identity.p);
    if (known != paths_.end()) {
        ++objects_[known->second]->refs[client];
        return known->second;
    }
    QString path;
    switch (kind) {
    case object_kind::tethra:
        path = QLatin1String(kTethraPath);
        break;
    case object_kind::serial_port:
        path = QLatin1String(kSerialPortPathPrefix) + QString::number(next_port_++);
        break;
    case object_kind::connection_point:
        path = point;
        break;
    case object_kind::other:
        break;
    }
    if (path.isEmpty() || objects_.count(path))
        return QStringLiteral("/");  // nothing else is ever handed out
    auto obj = std::make_shared<exported_object>();
    obj->path = path;
    obj->kind = kind;
    obj->identity = identity.p;
    obj->itf = itf;
    obj->refs[client] = 1;
    identity.p->AddRef();  // the runtime's reference, while the object is exported
    objects_[path] = obj;
    paths_[identity.p] = path;
    return path;
}

std::shared_ptr<exported_object> server::held(const QString& path, const QString& client)
{
    std::lock_guard lock(mutex_);
    auto it = objects_.find(path);
    if (it == objects_.end() || gone_.count(client))
        return nullptr;
    auto ref = it->second->refs.find(client);
    return ref != it->second->refs.end() && ref->second > 0 ? it->second : nullptr;
}

ULONG server::add_ref(const QString& path, const QString& client)
{
    std::lock_guard lock(mutex_);
    auto it = objects_.find(path);
    return it == objects_.end() ? 0 : ++it->second->refs[client];
}

long server::release(const QString& path, const QString& client)
{
    IUnknown* unexported = nullptr;
    std::vector<advise_record> advises;
    long left = -1;
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(path);
        if (it == objects_.end())
            return -1;
        exported_object& obj = *it->second;
        auto ref = obj.refs.find(client);
        if (ref == obj.refs.end())
            return -1;
        const object_kind kind = obj.kind;
        left = static_cast<long>(--ref->second);
        if (ref->second == 0)
            obj.refs.erase(ref);
        if (obj.refs.empty()) {
            unexported = obj.identity;
            paths_.erase(obj.identity);
            objects_.erase(it);
        }
        if (left == 0 && kind == object_kind::serial_port)
            take_port_advises_locked(path, client, &advises);
        else if (left == 0 && kind == object_kind::connection_point)
            take_port_advises_locked(path.left(path.lastIndexOf(QLatin1Char('/'))), client,
                                     &advises);
    }
    // Sinks first: their connection points hold the port.
    for (advise_record& a : advises) {
        trace(QStringLiteral("sink %1 %2 unadvised: the client released its port object")
                  .arg(a.client, a.proxy->path()));
        end_advise(a);
    }
    if (unexported)
        unexported->Release();
    return left;
}

void server::take_port_advises_locked(const QString& port_path, const QString& client,
                                      std::vector<advise_record>* taken)
{
    const QString below = port_path + QLatin1Char('/');
    for (const auto& [path, obj] : objects_)
        if ((path == port_path || path.startsWith(below)) && obj->refs.count(client))
            return;  // the client still holds the port or one of its connection points
    for (auto it = advises_.begin(); it != advises_.end();)
        if (it->client == client && it->point_path.startsWith(below)) {
            taken->push_back(*it);
            it = advises_.erase(it);
        } else {
            ++it;
        }
}

// ---- stubs ---------------------------------------------------------------------------------

void server::serve(const QDBusMessage& call)
{
    const QString path = call.path();
    const QString client = call.service();
    const QString itf = call.interface();
    if (path == QLatin1String(kClassObjectPath)) {
        serve_class_object(call);
        return;
    }
    const std::shared_ptr<exported_object> obj = held(path, client);
    if (!obj) {
        reply_error(call, kErrUnknownObject, QStringLiteral("No object at ") + path);
        return;
    }
    if (itf == QLatin1String(kIntrospectable) && call.member() == QLatin1String("Introspect")) {
        reply(call.createReply(introspect(*obj)));
    } else if (itf == QLatin1String(kIUnknown)) {
        serve_unknown(call, *obj);
    } else if (obj->kind == object_kind::serial_port &&
               itf == QLatin1String(kIConnectionPointContainer)) {
        serve_container(call, *obj);
    } else if (obj->kind == object_kind::serial_port && itf == QLatin1String(kProperties)) {
        serve_properties(call, *obj);
    } else if (obj->kind == object_kind::connection_point &&
               itf == QLatin1String(kIConnectionPoint)) {
        serve_point(call, *obj);
    } else if (obj->itf && (itf.isEmpty() || itf == bus_interface_name(*obj->itf))) {
        const member_info* member = find_bus_method(*obj->itf, call.member());
        if (member)
            serve_member(call, *obj, *member);
        else
            reply_error(call, kErrUnknownMethod, QStringLiteral("No method ") + call.member());
    } else {
        reply_error(call, kErrUnknownInterface, QStringLiteral("No interface ") + itf);
    }
}

namespace {

bool check_signature(const QDBusMessage& call, const char* expected, QDBusConnection& bus)
{
    if (call.signature() == QLatin1String(expected))
        return true;
    bus.send(call.createErrorReply(QLatin1String(kErrInvalidArgs),
                                   QStringLiteral("Expected arguments \"%1\", got \"%2\"")
                                       .arg(QLatin1String(expected), call.signature())));
    return false;
}

}  // namespace

bool server::riid_argument(const QDBusMessage& call, IID* iid)
{
    if (!check_signature(call, "s", bus_))
        return false;
    if (parse_iid(call.arguments().value(0).toString(), iid))
        return true;
    reply(error_reply(call, E_INVALIDARG));
    return false;
}

void server::serve_class_object(const QDBusMessage& call)
{
    const QString itf = call.interface();
    if (itf == QLatin1String(kIntrospectable) && call.member() == QLatin1String("Introspect")) {
        reply(call.createReply(introspect_object(object_type::class_object)));
        return;
    }
    if (itf != QLatin1String(kIClassFactory)) {
        reply_error(call, kErrUnknownInterface, QStringLiteral("No interface ") + itf);
        return;
    }
    const QString client = call.service();
    IClassFactory* factory = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!classes_.empty() && classes_.front().resumed) {
            factory = classes_.front().factory;
            factory->AddRef();
        }
    }
    com_ptr<IClassFactory> hold(factory);
    if (call.member() == QLatin1String("CreateInstance")) {
        IID iid{};
        if (!riid_argument(call, &iid))
            return;
        const interface_info* known = find_interface(TethraTypeLib(), iid);
        if (!(iid == IID_IUnknown || iid == IID_IDispatch || (known && !is_outgoing(*known)))) {
            reply(error_reply(call, E_NOINTERFACE));
            return;
        }
        if (!factory) {
            reply(error_reply(call, CO_E_SERVER_STOPPING));
            return;
        }
        com_ptr<IUnknown> object;
        const HRESULT hr = factory->CreateInstance(nullptr, iid, object.put_void());
        if (FAILED(hr)) {
            reply(error_reply(call, hr));
            return;
        }
        reply_object(call, hr, export_object(object.p, client, QString()));
    } else if (call.member() == QLatin1String("LockServer")) {
        if (!check_signature(call, "b", bus_))
            return;
        if (!factory) {
            reply(error_reply(call, CO_E_SERVER_STOPPING));
            return;
        }
        const bool lock_it = call.arguments().value(0).toBool();
        if (!lock_it) {
            // Only a lock this connection took can be given back.
            std::lock_guard lock(mutex_);
            auto it = locks_.find(client);
            if (it == locks_.end()) {
                bus_.send(error_reply(call, E_UNEXPECTED, QStringLiteral("no lock held")));
                return;
            }
            factory->Release();
            factory = it->second;  // the factory the lock was taken on
            hold.p = factory;
            locks_.erase(it);
        }
        const HRESULT hr = factory->LockServer(lock_it ? TRUE : FALSE);
        if (lock_it && SUCCEEDED(hr)) {
            std::lock_guard lock(mutex_);
            factory->AddRef();
            locks_.emplace(client, factory);
        }
        reply_hr(call, hr);
    } else {
        reply_error(call, kErrUnknownMethod, QStringLiteral("No method ") + call.member());
    }
}

void server::serve_unknown(const QDBusMessage& call, const exported_object& obj)
{
    const QString client = call.service();
    const QString member = call.member();
    if (member == QLatin1String("AddRef")) {
        if (check_signature(call, "", bus_))
            reply(call.createReply(QVariant(static_cast<uint>(add_ref(obj.path, client)))));
    } else if (member == QLatin1String("Release")) {
        if (check_signature(call, "", bus_))
            reply(call.createReply(QVariant(static_cast<uint>(std::max(0L, release(obj.path, client))))));
    } else if (member == QLatin1String("QueryInterface")) {
        IID iid{};
        if (!riid_argument(call, &iid))
            return;
        com_ptr<IUnknown> asked;
        const HRESULT hr = obj.identity->QueryInterface(iid, asked.put_void());
        if (FAILED(hr)) {
            reply(error_reply(call, hr));
            return;
        }
        add_ref(obj.path, client);
        reply_object(call, hr, obj.path);
    } else {
        reply_error(call, kErrUnknownMethod, QStringLiteral("No method ") + member);
    }
}

void server::serve_container(const QDBusMessage& call, const exported_object& obj)
{
    const QString client = call.service();
    com_ptr<IConnectionPointContainer> container;
    if (FAILED(obj.identity->QueryInterface(IID_IConnectionPointContainer, container.put_void()))) {
        reply(error_reply(call, E_NOINTERFACE));
        return;
    }
    if (call.member() == QLatin1String("FindConnectionPoint")) {
        IID iid{};
        if (!riid_argument(call, &iid))
            return;
        com_ptr<IConnectionPoint> point;
        const HRESULT hr = container.p->FindConnectionPoint(iid, point.put());
        if (FAILED(hr)) {
            reply(error_reply(call, hr));
            return;
        }
        reply_object(call, hr, export_object(point.p, client, obj.path));
    } else if (call.member() == QLatin1String("EnumConnectionPoints")) {
        if (!check_signature(call, "", bus_))
            return;
        com_ptr<IEnumConnectionPoints> points;
        HRESULT hr = container.p->EnumConnectionPoints(points.put());
        if (FAILED(hr)) {
            reply(error_reply(call, hr));
            return;
        }
        QList<QDBusObjectPath> paths;
        IConnectionPoint* point = nullptr;
        while (points.p->Next(1, &point, nullptr) == S_OK) {
            paths.push_back(QDBusObjectPath(export_object(point, client, obj.path)));
            point->Release();
        }
        reply(call.createReply({QVariant(static_cast<int>(S_OK)), QVariant::fromValue(paths)}));
    } else {
        reply_error(call, kErrUnknownMethod, QStringLiteral("No method ") + call.member());
    }
}

void server::serve_point(const QDBusMessage& call, const exported_object& obj)
{
    const QString client = call.service();
    com_ptr<IConnectionPoint> point;
    obj.identity->QueryInterface(IID_IConnectionPoint, point.put_void());
    IID iid{};
    if (!point.p || FAILED(point.p->GetConnectionInterface(&iid))) {
        reply(error_reply(call, E_UNEXPECTED));
        return;
    }
    const QString member = call.member();
    if (member == QLatin1String("GetConnectionInterface")) {
        if (check_signature(call, "", bus_))
            reply(call.createReply({QVariant(static_cast<int>(S_OK)), QVariant(iid_string(iid))}));
    } else if (member == QLatin1String("Advise")) {
        if (!check_signature(call, "o", bus_))
            return;
        const interface_info* itf = iid == IID_IPropertyNotifySink
                                        ? &type_info_of<IPropertyNotifySink>()
                                        : find_interface(TethraTypeLib(), iid);
        if (!itf) {
            reply(error_reply(call, CONNECT_E_CANNOTCONNECT));
            return;
        }
        const QString sink_path = call.arguments().value(0).value<QDBusObjectPath>().path();
        auto* proxy = new sink_proxy(
            bus_, client, sink_path, *itf, answers_context(),
            [this](sink_proxy* p, const QString& reason) { drop_sink(p, reason); });
        DWORD cookie = 0;
        const HRESULT hr = point.p->Advise(static_cast<IDispatch*>(proxy), &cookie);
        if (FAILED(hr)) {
            proxy->Release();
            reply(error_reply(call, hr));
            return;
        }
        {
            std::lock_guard lock(mutex_);
            point.p->AddRef();
            advises_.push_back({client, obj.path, cookie, point.p, proxy});
        }
        reply(call.createReply({QVariant(static_cast<int>(hr)), QVariant(static_cast<uint>(cookie))}));
        proxy->check_sink();
    } else if (member == QLatin1String("Unadvise")) {
        if (!check_signature(call, "u", bus_))
            return;
        const DWORD cookie = call.arguments().value(0).toUInt();
        advise_record record{};
        if (!take_advise(
                [&](const advise_record& a) {
                    return a.client == client && a.point_path == obj.path && a.cookie == cookie;
                },
                &record)) {
            reply(error_reply(call, CONNECT_E_NOCONNECTION));
            return;
        }
        reply_hr(call, end_advise(record));
    } else {
        reply_error(call, kErrUnknownMethod, QStringLiteral("No method ") + member);
    }
}

bool server::take_advise(const std::function<bool(const advise_record&)>& match,
                         advise_record* record)
{
    std::lock_guard lock(mutex_);
    for (auto it = advises_.begin(); it != advises_.end(); ++it)
        if (match(*it)) {
            *record = *it;
            advises_.erase(it);
            return true;
        }
    return false;
}

HRESULT server::end_advise(advise_record& record)
{
    record.proxy->disconnect();
    const HRESULT hr = record.point->Unadvise(record.cookie);
    record.point->Release();
    record.proxy->Release();
    return hr;
}

void server::drop_sink(sink_proxy* proxy, const QString& reason)
{
    proxy->AddRef();
    QString point_path;
    {
        std::lock_guard lock(mutex_);
        for (const advise_record& a : advises_)
            if (a.proxy == proxy)
                point_path = a.point_path;
    }
    const bool posted = !point_path.isEmpty() &&
                        pool_.post(strand_of(proxy->client(), point_path), [this, proxy, reason] {
                            advise_record record{};
                            if (take_advise([&](const advise_record& a) { return a.proxy == proxy; },
                                            &record)) {
                                trace(QStringLiteral("sink %1 %2 unadvised: %3")
                                          .arg(proxy->client(), proxy->path(), reason));
                                end_advise(record);
                            }
                            proxy->Release();
                        });
    if (!posted)
        proxy->Release();
}

// Calls one member of a type-library interface with bus values for its in parameters;
// the reply carries the bus values of its out parameters (objects exported for the
// client). InvalidArgs when a value does not convert.
void server::serve_member(const QDBusMessage& call, const exported_object& obj,
                          const member_info& member)
{
    const QString expected = in_signature(*obj.itf, member);
    if (call.signature() != expected) {
        const QByteArray e = expected.toLatin1();
        check_signature(call, e.constData(), bus_);
        return;
    }
    const QList<QVariant> in = call.arguments();
    QList<QVariant> out;
    bool bad_args = false;
    const HRESULT hr = call_member(obj, member, in, &out, call.service(), &bad_args);
    if (bad_args) {
        reply_error(call, kErrInvalidArgs, QStringLiteral("An argument does not convert"));
        return;
    }
    if (FAILED(hr)) {
        reply(error_reply(call, hr));
        return;
    }
    out.prepend(QVariant(static_cast<int>(hr)));
    reply(call.createReply(out));
}

HRESULT server::call_member(const exported_object& obj, const member_info& member,
                            const QList<QVariant>& in, QList<QVariant>* out, const QString& client,
                            bool* bad_args)
{
    const UINT n = member.param_count;
    std::vector<VARIANT> args(n);
    std::vector<VARIANT> store(n);  // what out parameters point at
    for (UINT i = 0; i < n; ++i) {
        VariantInit(&args[i]);
        VariantInit(&store[i]);
    }
    auto clean = [&] {
        for (UINT i = 0; i < n; ++i) {
            const param_info& p = member.params[i];
            if (!param_travels_out(p)) {
                VariantClear(&args[i]);
                continue;
            }
            if (p.vt == VT_DISPATCH || p.vt == VT_UNKNOWN) {
                if (store[i].punkVal)
                    store[i].punkVal->Release();
            } else if (p.vt == VT_BSTR) {
                SysFreeString(store[i].bstrVal);
            } else if (p.vt == VT_VARIANT) {
                VariantClear(&store[i]);
            }
        }
    };
    int k = 0;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < n && SUCCEEDED(hr); ++i) {
        const param_info& p = member.params[i];
        if (param_travels_out(p)) {
            if (p.vt == VT_VARIANT) {
                args[i].vt = VT_BYREF | VT_VARIANT;
                args[i].pvarVal = &store[i];
            } else {
                args[i].vt = static_cast<VARTYPE>(p.vt | VT_BYREF);
                args[i].byref = &store[i].llVal;  // every field starts at the union's start
            }
            if (param_travels_in(p)) {
                VARIANT value;
                hr = value_to_variant(p, false, in.value(k++), &value);
                if (SUCCEEDED(hr))
                    store[i] = value;  // same type as the parameter: the field is in place
            }
        } else {
            hr = value_to_variant(p, false, in.value(k++), &args[i]);
        }
    }
    if (FAILED(hr)) {
        clean();
        *bad_args = hr == DISP_E_TYPEMISMATCH;
        return hr;
    }
    void* pItf = nullptr;
    hr = obj.identity->QueryInterface(*obj.itf->iid, &pItf);
    if (SUCCEEDED(hr)) {
        hr = member.invoke(pItf, args.data());
        static_cast<IUnknown*>(pItf)->Release();
    }
    if (SUCCEEDED(hr)) {
        for (UINT i = 0; i < n; ++i) {
            const param_info& p = member.params[i];
            if (!param_travels_out(p))
                continue;
            if (p.vt == VT_DISPATCH || p.vt == VT_UNKNOWN) {
                out->push_back(QVariant::fromValue(
                    QDBusObjectPath(export_object(store[i].punkVal, client, obj.path))));
            } else {
                QVariant value;
                if (FAILED(variant_to_value(p, false, args[i], &value))) {
                    hr = E_UNEXPECTED;
                    break;
                }
                out->push_back(value);
            }
        }
    }
    clean();
    return hr;
}

void server::serve_properties(const QDBusMessage& call, const exported_object& obj)
{
    const QString member = call.member();
    const QList<QVariant> args = call.arguments();
    const char* signature = member == QLatin1String("Get")      ? "ss"
                            : member == QLatin1String("GetAll") ? "s"
                            : member == QLatin1String("Set")    ? "ssv"
                                                                : nullptr;
    if (!signature) {
        reply_error(call, kErrUnknownMethod, QStringLiteral("No method ") + member);
        return;
    }
    if (!check_signature(call, signature, bus_))
        return;
    const QString itf = args.value(0).toString();
    if (!itf.isEmpty() && itf != bus_interface_name(*obj.itf)) {
        reply_error(call, kErrUnknownInterface, QStringLiteral("No interface ") + itf);
        return;
    }
    const std::vector<property_info> properties = properties_of(*obj.itf);
    const QString client = call.service();
    bool bad_args = false;
    if (member == QLatin1String("GetAll")) {
        QVariantMap all;
        for (const property_info& p : properties) {
            QList<QVariant> out;
            if (SUCCEEDED(call_member(obj, *p.get, {}, &out, client, &bad_args)) && !out.isEmpty())
                all.insert(p.name, out.first());
        }
        reply(call.createReply(QVariant::fromValue(all)));
        return;
    }
    const QString name = args.value(1).toString();
    const property_info* property = nullptr;
    for (const property_info& p : properties)
        if (p.name == name)
            property = &p;
    if (!property) {
        reply_error(call, kErrUnknownProperty, QStringLiteral("No property ") + name);
        return;
    }
    QList<QVariant> out;
    if (member == QLatin1String("Get")) {
        const HRESULT hr = call_member(obj, *property->get, {}, &out, client, &bad_args);
        reply(FAILED(hr) ? error_reply(call, hr)
                         : call.createReply(QVariant::fromValue(QDBusVariant(out.value(0)))));
        return;
    }
    if (!property->put) {
        reply_error(call, kErrPropertyReadOnly, QStringLiteral("Read-only property ") + name);
        return;
    }
    const QVariant value = args.value(2).value<QDBusVariant>().variant();
    const HRESULT hr = call_member(obj, *property->put, {value}, &out, client, &bad_args);
    if (bad_args)
        reply_error(call, kErrInvalidArgs,
                    QStringLiteral("%1 takes \"%2\"").arg(name, property->signature));
    else
        reply(FAILED(hr) ? error_reply(call, hr) : call.createReply());
}

QString server::introspect(const exported_object& obj)
{
    switch (obj.kind) {
    case object_kind::tethra: return introspect_object(object_type::tethra);
    case object_kind::serial_port: return introspect_object(object_type::serial_port);
    case object_kind::connection_point: return introspect_object(object_type::connection_point);
    case object_kind::other: break;
    }
    return introspect_document({}, {});
}

void server::clean_up(const QString& client)
{
    // Calls the client made before it left run first; none can follow.
    pool_.wait_drained(strand_of(client, QString()));
    std::vector<advise_record> advises;
    std::vector<IClassFactory*> locks;
    std::vector<IUnknown*> unexported;
    {
        std::lock_guard lock(mutex_);
        for (auto it = advises_.begin(); it != advises_.end();)
            if (it->client == client) {
                advises.push_back(*it);
                it = advises_.erase(it);
            } else {
                ++it;
            }
        for (auto range = locks_.equal_range(client); range.first != range.second;) {
            locks.push_back(range.first->second);
            range.first = locks_.erase(range.first);
        }
        for (auto it = objects_.begin(); it != objects_.end();) {
            exported_object& obj = *it->second;
            obj.refs.erase(client);
            if (obj.refs.empty()) {
                unexported.push_back(obj.identity);
                paths_.erase(obj.identity);
                it = objects_.erase(it);
            } else {
                ++it;
            }
        }
        gone_.erase(client);
    }
    if (!advises.empty() || !locks.empty() || !unexported.empty())
        trace(QStringLiteral("%1 left: %2 sinks, %3 locks, %4 objects given back")
                  .arg(client)
                  .arg(advises.size())
                  .arg(locks.size())
                  .arg(unexported.size()));
    for (advise_record& a : advises)
        end_advise(a);
    for (IClassFactory* factory : locks) {
        factory->LockServer(FALSE);
        factory->Release();
    }
    // Connection points first: each holds its container.
    for (auto it = unexported.rbegin(); it != unexported.rend(); ++it)
        (*it)->Release();
}

server& the_server()
{
    static server instance;
    return instance;
}
}  // namespace
}  // namespace platform::rpc

#include "server.moc"

// ---- the calls ----------------------------------------------------------------------------

HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                              LPDWORD lpdwRegister)
{
    if (!pUnk || !lpdwRegister)
        return E_POINTER;
    *lpdwRegister = 0;
    if ((dwClsContext & CLSCTX_LOCAL_SERVER) == 0)
        return E_INVALIDARG;
    IClassFactory* factory = nullptr;
    if (FAILED(pUnk->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return E_NOINTERFACE;
    const HRESULT hr = platform::rpc::the_server().register_class(
        rclsid, factory, (flags & REGCLS_SUSPENDED) != 0, lpdwRegister);
    factory->Release();
    return hr;
}

HRESULT CoResumeClassObjects() { return platform::rpc::the_server().resume(); }

HRESULT CoSuspendClassObjects() { return platform::rpc::the_server().suspend(); }

HRESULT CoRevokeClassObject(DWORD dwRegister)
{
    return platform::rpc::the_server().revoke_class(dwRegister);
}

void platform::rpc::stop_server() { the_server().stop(); }
