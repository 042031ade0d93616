#include "platform/com/object.h"

#include <mutex>
#include <new>
#include <unordered_set>
#include <utility>

namespace platform {

// ---- reference count and object lock --------------------------------------------------

ref_counted_object::ref_counted_object()
{
    InitializeCriticalSection(&m_csObject);
}

ref_counted_object::~ref_counted_object()
{
    DeleteCriticalSection(&m_csObject);
}

ULONG ref_counted_object::internal_add_ref() noexcept
{
    return static_cast<ULONG>(m_lRef.fetch_add(1, std::memory_order_relaxed) + 1);
}

ULONG ref_counted_object::internal_release() noexcept
{
    // acq_rel: the thread that reaches 0 sees every write made by the other holders.
    return static_cast<ULONG>(m_lRef.fetch_sub(1, std::memory_order_acq_rel) - 1);
}

ULONG ref_counted_object::release_object() noexcept
{
    const ULONG count = internal_release();
    if (count == 0)
        destroy_object();
    return count;
}

void ref_counted_object::destroy_object() noexcept
{
    m_lRef.store(1, std::memory_order_relaxed);
    FinalRelease();
    delete this;
}

// ---- QueryInterface table ---------------------------------------------------------------

HRESULT query_interface(void* pObject, const interface_entry* table, std::size_t count,
                        REFIID riid, void** ppvObject) noexcept
{
    if (!ppvObject)
        return E_POINTER;
    *ppvObject = nullptr;
    if (!pObject || !table)
        return E_NOINTERFACE;
    for (std::size_t i = 0; i < count; ++i) {
        if (table[i].iid && IsEqualGUID(*table[i].iid, riid)) {
            void* pv = table[i].cast(pObject);
            // Every interface pointer is an IUnknown pointer: the binary rule of the model.
            static_cast<IUnknown*>(pv)->AddRef();
            *ppvObject = pv;
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}

// ---- cookies ---------------------------------------------------------------------------

namespace {

struct cookie_registry {
    std::mutex mutex;
    std::unordered_set<DWORD> taken;
    DWORD next = 1;
};

cookie_registry& cookies()
{
    // Never destroyed: connections released during exit still give their cookies back.
    static cookie_registry* registry = new cookie_registry;
    return *registry;
}

}  // namespace

DWORD allocate_connection_cookie() noexcept
{
    try {
        cookie_registry& reg = cookies();
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (reg.taken.size() >= 0xFFFFFFFFULL)
            return 0;
        for (;;) {
            const DWORD cookie = reg.next++;
            if (cookie != 0 && reg.taken.insert(cookie).second)
                return cookie;
        }
    } catch (...) {
        return 0;
    }
}

void free_connection_cookie(DWORD dwCookie) noexcept
{
    if (dwCookie == 0)
        return;
    cookie_registry& reg = cookies();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.taken.erase(dwCookie);
}

// ---- connection list -------------------------------------------------------------------

connection_list::~connection_list()
{
    release_all();
}

DWORD connection_list::add(IUnknown* pSink) noexcept
{
    if (!pSink)
        return 0;
    slot* free_slot = nullptr;
    for (slot& s : m_slots) {
        if (!s.pSink) {
            free_slot = &s;
            break;
        }
    }
    if (!free_slot) {
        try {
            m_slots.push_back(slot{nullptr, 0});
        } catch (...) {
            return 0;
        }
        free_slot = &m_slots.back();
    }
    const DWORD cookie = allocate_connection_cookie();
    if (cookie == 0)
        return 0;
    free_slot->pSink = pSink;
    free_slot->dwCookie = cookie;
    return cookie;
}

IUnknown* connection_list::remove(DWORD dwCookie) noexcept
{
    if (dwCookie == 0)
        return nullptr;
    for (slot& s : m_slots) {
        if (s.pSink && s.dwCookie == dwCookie) {
            IUnknown* pSink = s.pSink;
            s.pSink = nullptr;
            s.dwCookie = 0;
            free_connection_cookie(dwCookie);
            return pSink;
        }
    }
    return nullptr;
}

IUnknown* connection_list::find(DWORD dwCookie) const noexcept
{
    if (dwCookie == 0)
        return nullptr;
    for (const slot& s : m_slots)
        if (s.pSink && s.dwCookie == dwCookie)
            return s.pSink;
    return nullptr;
}

std::size_t connection_list::connection_count() const noexcept
{
    std::size_t count = 0;
    for (const slot& s : m_slots)
        if (s.pSink)
            ++count;
    return count;
}

HRESULT connection_list::enumerate(IEnumConnections** ppEnum) const noexcept
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    try {
        std::vector<CONNECTDATA> items;
        items.reserve(m_slots.size());
        for (const slot& s : m_slots)
            if (s.pSink)
                items.push_back(CONNECTDATA{s.pSink, s.dwCookie});
        return create_enum_connections(items.data(), items.size(), ppEnum);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

void connection_list::release_all() noexcept
{
    // Taken out first: a sink's Release may reach back into its owner.
    std::vector<slot> slots;
    slots.swap(m_slots);
    for (slot& s : slots) {
        if (s.pSink) {
            free_connection_cookie(s.dwCookie);
            s.pSink->Release();
        }
    }
}

// ---- snapshot enumerators --------------------------------------------------------------

namespace {

struct connectdata_item {
    static void add_ref(const CONNECTDATA& cd)
    {
        if (cd.pUnk)
            cd.pUnk->AddRef();
    }
    static void release(const CONNECTDATA& cd)
    {
        if (cd.pUnk)
            cd.pUnk->Release();
    }
};

struct connection_point_item {
    static void add_ref(IConnectionPoint* pcp)
    {
        if (pcp)
            pcp->AddRef();
    }
    static void release(IConnectionPoint* pcp)
    {
        if (pcp)
            pcp->Release();
    }
};

template <class Interface, class Item, class Policy>
class snapshot_enumerator final : public Interface {
public:
    // Takes a reference on every item; throws std::bad_alloc before taking any.
    snapshot_enumerator(const Item* items, std::size_t count, std::size_t position)
        : m_items(items, items + count), m_position(position)
    {
        for (const Item& item : m_items)
            Policy::add_ref(item);
    }
    ~snapshot_enumerator()
    {
        for (const Item& item : m_items)
            Policy::release(item);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override
    {
        if (!ppvObject)
            return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, interface_traits<Interface>::iid)) {
            AddRef();
            *ppvObject = static_cast<Interface*>(this);
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        return m_ref.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG count = m_ref.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (count == 0)
            delete this;
        return count;
    }

    STDMETHODIMP Next(ULONG cItems, Item* rgItems, ULONG* pcFetched) override
    {
        if (!rgItems && cItems > 0)
            return E_POINTER;
        if (!pcFetched && cItems != 1)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(m_mutex);
        ULONG fetched = 0;
        while (fetched < cItems && m_position < m_items.size()) {
            rgItems[fetched] = m_items[m_position++];
            Policy::add_ref(rgItems[fetched]);
            ++fetched;
        }
        if (pcFetched)
            *pcFetched = fetched;
        return fetched == cItems ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG cItems) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::size_t left = m_items.size() - m_position;
        if (cItems > left) {
            m_position = m_items.size();
            return S_FALSE;
        }
        m_position += cItems;
        return S_OK;
    }
    STDMETHODIMP Reset() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Interface** ppEnum) override
    {
        if (!ppEnum)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_mutex);
        *ppEnum = create(m_items.data(), m_items.size(), m_position);
        return *ppEnum ? S_OK : E_OUTOFMEMORY;
    }

    static snapshot_enumerator* create(const Item* items, std::size_t count,
                                       std::size_t position) noexcept
    {
        try {
            return new snapshot_enumerator(items, count, position);
        } catch (...) {
            return nullptr;
        }
    }

private:
    std::atomic<ULONG> m_ref{1};
    std::mutex m_mutex;
    std::vector<Item> m_items;
    std::size_t m_position;
};

using enum_connections =
    snapshot_enumerator<IEnumConnections, CONNECTDATA, connectdata_item>;
using enum_connection_points =
    snapshot_enumerator<IEnumConnectionPoints, IConnectionPoint*, connection_point_item>;

}  // namespace

HRESULT create_enum_connections(const CONNECTDATA* rgcd, std::size_t count,
                                IEnumConnections** ppEnum) noexcept
{
    if (!ppEnum || (!rgcd && count > 0))
        return E_POINTER;
    *ppEnum = enum_connections::create(rgcd, count, 0);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

HRESULT create_enum_connection_points(IConnectionPoint* const* rgpcp, std::size_t count,
                                      IEnumConnectionPoints** ppEnum) noexcept
{
    if (!ppEnum || (!rgpcp && count > 0))
        return E_POINTER;
    *ppEnum = enum_connection_points::create(rgpcp, count, 0);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

HRESULT find_connection_point(IConnectionPoint* const* rgpcp, std::size_t count, REFIID riid,
                              IConnectionPoint** ppCP) noexcept
{
    if (!ppCP)
        return E_POINTER;
    *ppCP = nullptr;
    for (std::size_t i = 0; rgpcp && i < count; ++i) {
        IID iid = IID_NULL;
        if (rgpcp[i] && SUCCEEDED(rgpcp[i]->GetConnectionInterface(&iid)) &&
            IsEqualGUID(iid, riid)) {
            rgpcp[i]->AddRef();
            *ppCP = rgpcp[i];
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

// ---- connection point ------------------------------------------------------------------

connection_point::connection_point(IConnectionPointContainer* pContainer,
                                   CRITICAL_SECTION* pLock, REFIID iidConnection) noexcept
    : m_pContainer(pContainer), m_pLock(pLock), m_iid(iidConnection)
{
}

connection_point::~connection_point() = default;

STDMETHODIMP connection_point::QueryInterface(REFIID riid, void** ppvObject)
{
    if (!ppvObject)
        return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IConnectionPoint)) {
        AddRef();
        *ppvObject = static_cast<IConnectionPoint*>(this);
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) connection_point::AddRef()
{
    return m_pContainer->AddRef();
}

STDMETHODIMP_(ULONG) connection_point::Release()
{
    return m_pContainer->Release();
}

STDMETHODIMP connection_point::GetConnectionInterface(IID* pIID)
{
    if (!pIID)
        return E_POINTER;
    *pIID = m_iid;
    return S_OK;
}

STDMETHODIMP connection_point::GetConnectionPointContainer(IConnectionPointContainer** ppCPC)
{
    if (!ppCPC)
        return E_POINTER;
    m_pContainer->AddRef();
    *ppCPC = m_pContainer;
    return S_OK;
}

STDMETHODIMP connection_point::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    if (!pUnkSink || !pdwCookie)
        return E_POINTER;
    *pdwCookie = 0;
    IUnknown* pSink = nullptr;
    HRESULT hr = pUnkSink->QueryInterface(m_iid, reinterpret_cast<void**>(&pSink));
    if (hr == E_NOINTERFACE || (SUCCEEDED(hr) && !pSink))
        return CONNECT_E_CANNOTCONNECT;
    if (FAILED(hr))
        return hr;

    DWORD cookie = 0;
    {
        critical_section_scope lock(m_pLock);
        cookie = m_connections.add(pSink);
        if (cookie == 0) {
            hr = CONNECT_E_ADVISELIMIT;
        } else {
            hr = after_advise(cookie, pSink);
            if (FAILED(hr)) {
                m_connections.remove(cookie);
                cookie = 0;
            }
        }
    }
    if (FAILED(hr)) {
        pSink->Release();
        return hr;
    }
    *pdwCookie = cookie;
    return S_OK;
}

STDMETHODIMP connection_point::Unadvise(DWORD dwCookie)
{
    IUnknown* pSink = nullptr;
    {
        critical_section_scope lock(m_pLock);
        if (m_connections.find(dwCookie)) {
            before_unadvise(dwCookie);
            pSink = m_connections.remove(dwCookie);
        }
    }
    if (!pSink)
        return CONNECT_E_NOCONNECTION;
    pSink->Release();
    return S_OK;
}

STDMETHODIMP connection_point::EnumConnections(IEnumConnections** ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    critical_section_scope lock(m_pLock);
    return m_connections.enumerate(ppEnum);
}

HRESULT connection_point::after_advise(DWORD, IUnknown*)
{
    return S_OK;
}

void connection_point::before_unadvise(DWORD) {}

}  // namespace platform
