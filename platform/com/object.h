// Reusable pieces of an object of the object model, so that each class of the system
// writes only its own behaviour: the reference count with its object lock and its
// FinalRelease hook, the QueryInterface table, connection lists with their cookies,
// snapshot enumerators and a connection point.
//
// Cookies. A connection's cookie is a 32-bit DWORD while pointers are 64-bit here, so a
// cookie cannot be the sink pointer's value. Every connection made through a
// connection_list gets a process-wide unique, non-zero cookie instead, which stays taken
// until the connection is removed. Where the system's code was written to compare a sink
// address with a caller's cookie (the change protocol skipping the caller's own
// IPropertyNotifySink connection), it compares the connection's cookie: EnumConnections
// hands out (sink, cookie) pairs, so the comparison is available to every walker.
#pragma once

#include "platform/base/types.h"
#include "platform/com/interfaces.h"
#include "platform/sync/sync.h"

#include <atomic>
#include <cstddef>
#include <vector>

namespace platform {

// ---- reference count and object lock --------------------------------------------------
// The count starts at 0; the creator takes the first reference. The object lock is a
// recursive critical section, initialised by the constructor and deleted by the
// destructor. A class implements IUnknown::AddRef and Release with internal_add_ref and
// release_object (or writes its own Release around internal_release when releasing has
// a rule of its own).
class ref_counted_object {
public:
    ref_counted_object();
    virtual ~ref_counted_object();
    ref_counted_object(const ref_counted_object&) = delete;
    ref_counted_object& operator=(const ref_counted_object&) = delete;

    // Atomic; return the new count. internal_release never destroys the object.
    ULONG internal_add_ref() noexcept;
    ULONG internal_release() noexcept;

    // Drops one reference. At 0 the count is set to 1, so that AddRef/Release pairs made
    // during the teardown cannot start a second destruction; then FinalRelease runs and
    // the object is deleted. Returns the new count (0 when the object was destroyed).
    ULONG release_object() noexcept;

    // Destroys the object now: FinalRelease, then delete (the last step of
    // release_object, for classes whose own Release decides when).
    void destroy_object() noexcept;

    LONG ref_count() const noexcept { return m_lRef.load(std::memory_order_acquire); }
    void set_ref_count(LONG lCount) noexcept { m_lRef.store(lCount, std::memory_order_release); }

    void lock() noexcept { EnterCriticalSection(&m_csObject); }
    void unlock() noexcept { LeaveCriticalSection(&m_csObject); }
    CRITICAL_SECTION* object_lock() noexcept { return &m_csObject; }

    // Runs once, on the thread that released the last reference, before the destructor.
    virtual void FinalRelease() {}

private:
    std::atomic<LONG> m_lRef{0};
    CRITICAL_SECTION m_csObject;
};

// Holds a critical section for one scope.
class critical_section_scope {
public:
    explicit critical_section_scope(CRITICAL_SECTION* pcs) noexcept : m_pcs(pcs)
    {
        EnterCriticalSection(m_pcs);
    }
    ~critical_section_scope() { LeaveCriticalSection(m_pcs); }
    critical_section_scope(const critical_section_scope&) = delete;
    critical_section_scope& operator=(const critical_section_scope&) = delete;

private:
    CRITICAL_SECTION* m_pcs;
};

// ---- QueryInterface table ---------------------------------------------------------------
// One row per interface the object answers: the identifier and the cast from the object
// to that interface.
struct interface_entry {
    const IID* iid;
    void* (*cast)(void* pObject);
};

// The row for Interface, reached through Via when Interface is an ambiguous base
// (IUnknown through ISerialPort, say): interface_entry_of<CSerialPort, IUnknown, ISerialPort>().
template <class Class, class Interface, class Via = Interface>
constexpr interface_entry interface_entry_of()
{
    return {&interface_traits<Interface>::iid, [](void* pObject) -> void* {
                return static_cast<Interface*>(static_cast<Via*>(static_cast<Class*>(pObject)));
            }};
}

// The row for an identifier that has no interface type of its own (a dispatch
// interface answered by the object's IDispatch, say).
template <class Class, class Interface>
constexpr interface_entry interface_entry_as(const IID& iid)
{
    return {&iid, [](void* pObject) -> void* {
                return static_cast<Interface*>(static_cast<Class*>(pObject));
            }};
}

// The documented QueryInterface: E_POINTER for a null ppvObject; otherwise *ppvObject is
// the interface of the first row with the identifier, with a reference (AddRef through
// that interface), and S_OK; E_NOINTERFACE with *ppvObject null when no row has it.
// pObject must be the Class* the rows were written for, as void*.
HRESULT query_interface(void* pObject, const interface_entry* table, std::size_t count,
                        REFIID riid, void** ppvObject) noexcept;

template <class Class, std::size_t N>
HRESULT query_interface(Class* pObject, const interface_entry (&table)[N], REFIID riid,
                        void** ppvObject) noexcept
{
    return query_interface(static_cast<void*>(pObject), table, N, riid, ppvObject);
}

// ---- cookies ---------------------------------------------------------------------------
// A process-wide unique, non-zero cookie, taken until it is freed; 0 when none can be
// had (all 2^32 - 1 taken, or no memory).
DWORD allocate_connection_cookie() noexcept;
void free_connection_cookie(DWORD dwCookie) noexcept;

// ---- connection list -------------------------------------------------------------------
// A growable array of sink pointers, each holding one reference, each with its cookie.
// An emptied slot is reused by the next connection. Not locked: the owner guards it with
// its object lock.
class connection_list {
public:
    connection_list() = default;
    ~connection_list();  // releases every sink still connected
    connection_list(const connection_list&) = delete;
    connection_list& operator=(const connection_list&) = delete;

    // Puts the sink into the first empty slot (a new one at the end when none is empty)
    // and returns its new cookie; the list takes over the caller's reference. 0 when the
    // list cannot grow or no cookie is left: the caller keeps its reference then.
    DWORD add(IUnknown* pSink) noexcept;

    // Empties the cookie's slot and hands its reference to the caller; null when no slot
    // has the cookie (0 included).
    IUnknown* remove(DWORD dwCookie) noexcept;

    // The sink of a cookie without a reference; null when absent.
    IUnknown* find(DWORD dwCookie) const noexcept;

    // Slots in order, empty ones included (sink null, cookie 0).
    std::size_t slot_count() const noexcept { return m_slots.size(); }
    IUnknown* sink_at(std::size_t i) const noexcept { return m_slots[i].pSink; }
    DWORD cookie_at(std::size_t i) const noexcept { return m_slots[i].dwCookie; }
    std::size_t connection_count() const noexcept;

    // A snapshot enumerator of the (sink, cookie) pairs of the non-empty slots, in slot
    // order; E_POINTER, E_OUTOFMEMORY.
    HRESULT enumerate(IEnumConnections** ppEnum) const noexcept;

    // Releases every sink and empties the list.
    void release_all() noexcept;

private:
    struct slot {
        IUnknown* pSink;
        DWORD dwCookie;
    };
    std::vector<slot> m_slots;
};

// ---- snapshot enumerators --------------------------------------------------------------
// Enumerators over a copy of the items taken when they are created: each item holds its
// own reference, later changes of the source are not seen. Next hands out items with a
// reference for the caller and returns S_OK when it filled the whole request, else
// S_FALSE; a null pcFetched is allowed only when one item is asked for (E_INVALIDARG
// otherwise). Skip returns S_FALSE when it ran past the end; Clone copies the position.
HRESULT create_enum_connections(const CONNECTDATA* rgcd, std::size_t count,
                                IEnumConnections** ppEnum) noexcept;
HRESULT create_enum_connection_points(IConnectionPoint* const* rgpcp, std::size_t count,
                                      IEnumConnectionPoints** ppEnum) noexcept;

// FindConnectionPoint over an object's connection points: asks each for its connection
// interface and hands out the first match with a reference. E_POINTER for a null ppCP,
// CONNECT_E_NOCONNECTION when none matches (*ppCP null).
HRESULT find_connection_point(IConnectionPoint* const* rgpcp, std::size_t count, REFIID riid,
                              IConnectionPoint** ppCP) noexcept;

// ---- connection point ------------------------------------------------------------------
// A connection point that keeps its connections in a connection_list. It lives inside
// its owner: AddRef and Release are the owner's (through the container interface, so a
// reference on the connection point is a reference on the owner), and the list is
// guarded by the owner's object lock.
//
// Advise: E_POINTER for a null sink or cookie pointer; asks the sink for the connection
// interface (E_NOINTERFACE becomes CONNECT_E_CANNOTCONNECT, any other failure is
// returned as it came); adds it under the lock (CONNECT_E_ADVISELIMIT when the list
// cannot grow); then after_advise runs, still under the lock, and a failure there
// removes the connection again and is returned. On every failure *pdwCookie is 0 and no
// reference is kept.
// Unadvise: under the lock, before_unadvise runs for a connected cookie, then the
// connection is removed and its sink released; CONNECT_E_NOCONNECTION for any other
// cookie.
// EnumConnections: a snapshot of the list under the lock.
class connection_point : public IConnectionPoint {
public:
    // pContainer is the owner's container interface, not counted; pLock the owner's
    // object lock.
    connection_point(IConnectionPointContainer* pContainer, CRITICAL_SECTION* pLock,
                     REFIID iidConnection) noexcept;
    virtual ~connection_point();  // releases every sink still connected

    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetConnectionInterface(IID* pIID) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override;

    // The list and its lock, for the owner's fan-out (hold the lock while walking).
    connection_list& connections() noexcept { return m_connections; }
    CRITICAL_SECTION* lock() const noexcept { return m_pLock; }
    const IID& connection_iid() const noexcept { return m_iid; }

protected:
    // Called under the lock after a connection was added; a failure undoes it.
    virtual HRESULT after_advise(DWORD dwCookie, IUnknown* pSink);
    // Called under the lock before a connected cookie is removed.
    virtual void before_unadvise(DWORD dwCookie);

private:
    IConnectionPointContainer* m_pContainer;
    CRITICAL_SECTION* m_pLock;
    IID m_iid;
    connection_list m_connections;
};

}  // namespace platform
