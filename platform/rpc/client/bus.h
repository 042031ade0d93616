// The client library's one bus connection and the thread that serves it.
//
// QtDBus needs a QCoreApplication and an event loop to deliver incoming calls. A client
// program of this library may have neither, so the library runs a thread of its own:
// it creates the QCoreApplication when the program has none, connects to the bus, owns
// the object that serves the client's exported sinks, and runs an event loop until the
// process ends. QtDBus is used on that thread only: a call from a client's thread is
// handed to it as an asynchronous call, and the client's thread waits for the reply
// without touching Qt. The library thread goes on serving sinks meanwhile, so a client
// blocked in a setter still answers the server's questions. A call made from inside a
// sink handler (on the library thread) waits on the network there; sinks are not served
// until it returns.
//
// The bus: DBUS_SESSION_BUS_ADDRESS (the session bus), as QtDBus finds it. The connection
// is made once, on first use; when it fails every later call fails the same way
// (CO_E_SERVER_EXEC_FAILURE) until the process restarts.
#pragma once

#include "platform/base/types.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QString>
#include <QVariant>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class QEventLoop;

namespace platform::rpc::client {

class sink_host;

class bus_host {
public:
    // The running host, started on the first call. Null when no bus connection could be
    // made; *phr (when given) says why: CO_E_SERVER_EXEC_FAILURE.
    static bus_host* instance(HRESULT* phr = nullptr) noexcept;

    QDBusConnection connection() const;
    QString unique_name() const { return m_uniqueName; }
    sink_host& sinks() { return *m_pSinks; }

    // A blocking method call without a time-out: a synchronous Send waits for the device
    // and a setter for the answers of the port's other clients, as they do in-process. A
    // server that leaves the bus ends the wait at once (the bus answers for it). The reply,
    // error or not, goes to *pReply; returns S_OK for a method return, else the error's
    // HRESULT (map_error_reply).
    HRESULT call(const QString& service, const QString& path, const QString& iface,
                 const QString& method, const QList<QVariant>& args, QDBusMessage* pReply);

    // Sends a method call and returns at once; done gets the reply (or the error) on the
    // library's thread. false when the library's thread no longer runs (done is never
    // called). Calls of this connection keep their order on the bus.
    bool call_async(const QString& service, const QString& path, const QString& iface,
                    const QString& method, const QList<QVariant>& args,
                    std::function<void(const QDBusMessage&)> done);
    // True on the library's own thread, where a call must not wait for another's reply.
    bool on_bus_thread() const { return m_thread.get_id() == std::this_thread::get_id(); }

    // Sends a method call without waiting for its reply (references given back by a
    // final Release); calls of this connection keep their order on the bus.
    void post(const QString& service, const QString& path, const QString& iface,
              const QString& method, const QList<QVariant>& args);

    ~bus_host();

private:
    bus_host();
    void run();
    // Runs work on the library's thread (at once when called there); false when that
    // thread no longer runs its loop.
    bool run_on_bus_thread(std::function<void()> work);

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cvReady;
    bool m_bStarted = false;
    bool m_bConnected = false;
    QEventLoop* m_pLoop = nullptr;
    sink_host* m_pSinks = nullptr;
    QString m_uniqueName;
};

// The HRESULT an error reply stands for: platform::rpc::hresult_from_error, except that
// NoReply, which only a server that left the bus before answering causes here, is
// RPC_E_DISCONNECTED like every other sign of a server that is gone.
HRESULT map_error_reply(const QDBusMessage& reply) noexcept;

}  // namespace platform::rpc::client
