// The client's sinks on its own bus connection.
//
// Each advised sink is exported at /Ostra/Tethra/Sink/<n> (n counts up from 1 and is never
// reused within the process), with its connection interface under its bus name
// ("Ostra.Tethra._ISerialPortEvents", "Ostra.Tethra.IPropertyNotifySink") and the
// introspection data of that interface. One virtual object serves the whole subtree on
// the library's thread: the server's calls arrive in the order it sent them and each is
// answered "-> (i hr)" with the sink's result, or with the error of a failed HRESULT;
// org.freedesktop.DBus.Introspectable describes the sink's interface. A
// dispatch interface sink is called through its IDispatch::Invoke with the member's
// DISPID, a custom one through the member's invoke thunk. A path that holds no sink
// answers org.freedesktop.DBus.Error.UnknownObject, so the server drops it.
#pragma once

#include "platform/com/interfaces.h"
#include "platform/com/typeinfo.h"

#include <QDBusVirtualObject>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace platform::rpc::client {

class sink_host : public QDBusVirtualObject {
public:
    sink_host();
    ~sink_host() override;

    // Registers the subtree on the connection (on the library's thread); false when the
    // path is taken.
    bool attach(QDBusConnection bus);
    void detach(QDBusConnection bus);

    // Exports pSink, the sink's interface pointer for itf, taking over the caller's
    // reference. Returns the path, or an empty string when no number is left.
    QString add(IUnknown* pSink, const interface_info& itf);
    // Withdraws the sink of a path and releases it. A call into it that is running on the
    // library's thread is waited for, unless the caller is that very call (a sink that
    // unadvises itself from its handler), so once remove returns, no call reaches the sink.
    void remove(const QString& path);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    struct entry {
        IUnknown* pSink;
        const interface_info* pItf;
    };
    static ULONG number_of(const QString& path);
    // Ends the call into a sink that handleMessage began; true.
    bool finish_call(IUnknown* pSink);

    mutable std::mutex m_mutex;
    std::condition_variable m_cvIdle;
    std::map<ULONG, entry> m_sinks;
    ULONG m_nNext = 1;
    ULONG m_nCalling = 0;  // the sink whose call is running, 0 for none
    std::thread::id m_callingThread;
};

}  // namespace platform::rpc::client
