// Proxies: the server's objects as the interfaces of idl/ and platform/com.
//
// A proxy knows the server's unique bus name and the object's path, holds the one
// reference the reply that handed out the object gave this connection, and keeps a local
// reference count; its last Release gives the connection's reference back. The methods of
// the type library's interfaces are generated from idl/tethra.def: each packs its
// arguments the way the members' invoke thunks take them (in values as VARIANTs of the
// parameter's type, out values as VT_BYREF pointers to the caller's variables) and hands
// them, with the member's table entry, to one marshalling call, remote_object::invoke.
#pragma once

#include "idl/tethra.h"
#include "platform/com/com.h"
#include "platform/rpc/client/bus.h"

#include <atomic>
#include <memory>
#include <type_traits>

namespace platform::rpc::client {

// ---- one object on the server -------------------------------------------------------
class remote_object {
public:
    remote_object(bus_host* pBus, const QString& service, const QString& path) noexcept;
    virtual ~remote_object();  // gives the connection's reference back
    remote_object(const remote_object&) = delete;
    remote_object& operator=(const remote_object&) = delete;

    // Calls a member of the type library with arguments packed as its invoke thunk takes
    // them. In values go out as the bus types of their parameters; the reply's HRESULT is
    // returned and its out values written through the by-reference arguments (only when
    // the HRESULT is a success). An out interface pointer is set to null first and then
    // receives a proxy for the object the reply names. A reply of another shape than the
    // member's is E_UNEXPECTED.
    HRESULT invoke(const interface_info& itf, const member_info& member, VARIANTARG* rgArgs);

    // Calls a method that has no table (IConnectionPoint, IConnectionPointContainer).
    // Returns the reply's HRESULT with its further values in *pOut, or the error's.
    HRESULT call(const char* iface, const char* method, const QList<QVariant>& args,
                 QList<QVariant>* pOut);

    // Asynchronous Sends of byte arrays go out without waiting for their replies: at most
    // kSendWindow of them are on the way per object, a further one waits for the oldest
    // reply. The port answers an asynchronous Send as soon as the data is queued, so its
    // reply only says whether the port took the data; a refusal (E_FAIL from a stopped
    // port, RPC_E_DISCONNECTED from a server that left) is returned, once, by the object's
    // next asynchronous Send, which then sends nothing. Synchronous Sends, other variants,
    // and any Send made on the library's own thread (inside a sink handler) wait for
    // their replies as every other call does. Calls keep their order on the bus either way.
    static constexpr UINT kSendWindow = 8;

    const QString& service() const { return m_service; }
    const QString& path() const { return m_path; }
    bus_host* bus() const { return m_pBus; }

protected:
    // The connection's reference passes to someone else: the destructor keeps it.
    void hand_over_reference() noexcept { m_bHandedOver = true; }

    // The proxy's local count: the IUnknown::AddRef and Release of every proxy class. The
    // last release deletes the proxy.
    ULONG add_ref() noexcept { return ++m_cRef; }
    ULONG release_ref() noexcept
    {
        const ULONG c = --m_cRef;
        if (c == 0)
            delete this;
        return c;
    }

private:
    struct pipeline;
    HRESULT send_pipelined(const QString& iface, const char* method, const QList<QVariant>& in);

    bus_host* m_pBus;
    QString m_service;
    QString m_path;
    std::shared_ptr<pipeline> m_pipeline;  // shared with the replies still on the way
    std::atomic<ULONG> m_cRef{1};
    bool m_bHandedOver = false;
};

// A proxy for the object at path on service, asked for riid. The proxy's kind follows
// from the path (the port registry, a port, or one of its connection points); it takes
// over the reference the reply gave the connection, and gives it back when riid is not
// one of its interfaces (E_NOINTERFACE). E_UNEXPECTED for a path of no known kind.
HRESULT make_proxy(bus_host* pBus, const QString& service, const QString& path, REFIID riid,
                   void** ppv) noexcept;

// ---- generated interface methods ---------------------------------------------------------
namespace proxy_detail {

// The argument as its member's invoke thunk takes it.
template <VARTYPE V, USHORT Flags, class T>
VARIANTARG pack(T value) noexcept
{
    VARIANTARG v;
    VariantInit(&v);
    if constexpr ((Flags & PARAMFLAG_FOUT) != 0) {
        v.vt = static_cast<VARTYPE>(V | VT_BYREF);
        v.byref = static_cast<void*>(value);
    } else if constexpr (std::is_same_v<T, VARIANT>) {
        v = value;
    } else {
        v.vt = V;
        invoke_detail::field<V>(v) = static_cast<invoke_detail::field_t<V>>(value);
    }
    return v;
}

// The table entry of a member by its C++ method name, looked up once per method.
template <class Interface>
const member_info& member_of(const char* method) noexcept
{
    return *find_member_by_method(type_info_of<Interface>(), method);
}

}  // namespace proxy_detail

#define TETHRA_PROXY_APPLY(M, P) M P
#define TETHRA_PROXY_MAP1(M, a) TETHRA_PROXY_APPLY(M, a)
#define TETHRA_PROXY_MAP2(M, a, b) TETHRA_PROXY_MAP1(M, a), TETHRA_PROXY_APPLY(M, b)
#define TETHRA_PROXY_MAP3(M, a, b, c) TETHRA_PROXY_MAP2(M, a, b), TETHRA_PROXY_APPLY(M, c)
#define TETHRA_PROXY_MAP4(M, a, b, c, d) TETHRA_PROXY_MAP3(M, a, b, c), TETHRA_PROXY_APPLY(M, d)
#define TETHRA_PROXY_PICK(_1, _2, _3, _4, NAME, ...) NAME
#define TETHRA_PROXY_MAP(M, ...)                                                         \
    TETHRA_PROXY_PICK(__VA_ARGS__, TETHRA_PROXY_MAP4, TETHRA_PROXY_MAP3, TETHRA_PROXY_MAP2, \
                      TETHRA_PROXY_MAP1, )(M, __VA_ARGS__)
#define TETHRA_PROXY_DECLARE(Flags, CppType, VarType, Name) CppType Name
#define TETHRA_PROXY_PACK(Flags, CppType, VarType, Name) \
    proxy_detail::pack<VarType, (Flags)>(Name)
#define TETHRA_PROXY_BASE_custom(Name) Name
#define TETHRA_PROXY_BASE_dual(Name) platform::dispatch_impl<Name>
#define TETHRA_PROXY_BASE_dispinterface(Name) platform::dispatch_impl<Name>

// interface_proxy<ISerialPort, Outer>: every method of the interface, forwarding to
// Outer::invoke; IDispatch (for dual interfaces) from the type information, so Invoke on
// a proxy goes through the same methods.
template <class Interface, class Outer>
class interface_proxy;

#define TETHRA_INTERFACE_BEGIN(Name, Base, Kind, Iid, Help)                     \
    template <class Outer>                                                      \
    class interface_proxy<Name, Outer> : public TETHRA_PROXY_BASE_##Kind(Name) { \
    public:
#define TETHRA_PARAM(Flags, CppType, VarType, Name) (Flags, CppType, VarType, Name)
#define TETHRA_MEMBER(Interface, Method, Name, DispId, InvokeKind, FuncFlags, Help, ...)   \
    STDMETHODIMP Method(TETHRA_PROXY_MAP(TETHRA_PROXY_DECLARE, __VA_ARGS__)) override      \
    {                                                                                    \
        static const member_info& s_member = proxy_detail::member_of<Interface>(#Method); \
        VARIANTARG rgArgs[] = {TETHRA_PROXY_MAP(TETHRA_PROXY_PACK, __VA_ARGS__)};         \
        return static_cast<Outer*>(this)->invoke(type_info_of<Interface>(), s_member,     \
                                                 rgArgs);                                \
    }
#define TETHRA_INTERFACE_END(Name) \
    }                              \
    ;
#include "idl/tethra.def"

#undef TETHRA_PROXY_APPLY
#undef TETHRA_PROXY_MAP1
#undef TETHRA_PROXY_MAP2
#undef TETHRA_PROXY_MAP3
#undef TETHRA_PROXY_MAP4
#undef TETHRA_PROXY_PICK
#undef TETHRA_PROXY_MAP
#undef TETHRA_PROXY_DECLARE
#undef TETHRA_PROXY_PACK
#undef TETHRA_PROXY_BASE_custom
#undef TETHRA_PROXY_BASE_dual
#undef TETHRA_PROXY_BASE_dispinterface

}  // namespace platform::rpc::client
