#include "platform/com/object.h"
#include "test_objects.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace {

// A connection point whose hooks can refuse a connection and record removals.
class hooked_connection_point : public platform::connection_point {
public:
    using platform::connection_point::connection_point;

    HRESULT refuse = S_OK;
    std::vector<DWORD> advised;
    std::vector<DWORD> unadvised;

protected:
    HRESULT after_advise(DWORD dwCookie, IUnknown*) override
    {
        advised.push_back(dwCookie);
        return refuse;
    }
    void before_unadvise(DWORD dwCookie) override { unadvised.push_back(dwCookie); }
};

// A connectable object written the way the system's classes use the pieces.
class test_object : public IConnectionPointContainer, public platform::ref_counted_object {
public:
    explicit test_object(int* destroyed)
        : m_cp(this, object_lock(), IID_IPropertyNotifySink), m_destroyed(destroyed)
    {
    }
    ~test_object() override { ++*m_destroyed; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        static const platform::interface_entry table[] = {
            platform::interface_entry_of<test_object, IUnknown, IConnectionPointContainer>(),
            platform::interface_entry_of<test_object, IConnectionPointContainer>(),
        };
        return platform::query_interface(this, table, riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return internal_add_ref(); }
    STDMETHODIMP_(ULONG) Release() override { return release_object(); }

    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override
    {
        IConnectionPoint* cps[] = {&m_cp};
        return platform::create_enum_connection_points(cps, 1, ppEnum);
    }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override
    {
        IConnectionPoint* cps[] = {&m_cp};
        return platform::find_connection_point(cps, 1, riid, ppCP);
    }

    void FinalRelease() override
    {
        ++final_releases;
        // References taken and given back during teardown start no second destruction.
        AddRef();
        Release();
    }

    hooked_connection_point m_cp;
    int final_releases = 0;

private:
    int* m_destroyed;
};

}  // namespace

TEST(RefCountedObject, FinalReleaseOnceThenDestroyed)
{
    int destroyed = 0;
    auto* object = new test_object(&destroyed);
    EXPECT_EQ(object->AddRef(), 1u);
    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(destroyed, 1);
}

TEST(RefCountedObject, QueryInterfaceTable)
{
    int destroyed = 0;
    auto* object = new test_object(&destroyed);
    object->AddRef();

    IUnknown* unk = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)),
              S_OK);
    EXPECT_EQ(static_cast<void*>(cpc), static_cast<void*>(static_cast<IConnectionPointContainer*>(object)));
    EXPECT_EQ(static_cast<void*>(unk), static_cast<void*>(cpc));
    EXPECT_EQ(object->ref_count(), 3);

    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->QueryInterface(IID_IDispatch, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(object->ref_count(), 3);

    unk->Release();
    cpc->Release();
    object->Release();
    EXPECT_EQ(destroyed, 1);
}

TEST(RefCountedObject, ConcurrentReferencesDestroyExactlyOnce)
{
    for (int round = 0; round < 20; ++round) {
        int destroyed = 0;
        auto* object = new test_object(&destroyed);
        object->AddRef();
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            object->AddRef();  // each thread owns one reference and drops it last
            threads.emplace_back([object] {
                for (int i = 0; i < 1000; ++i) {
                    object->AddRef();
                    object->Release();
                }
                object->Release();
            });
        }
        object->Release();
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(destroyed, 1);
    }
}

TEST(ConnectionPoint, AdviseUnadviseAndReferences)
{
    int destroyed = 0;
    auto* object = new test_object(&destroyed);
    object->AddRef();
    IConnectionPoint* cp = nullptr;
    ASSERT_EQ(object->FindConnectionPoint(IID_IPropertyNotifySink, &cp), S_OK);
    EXPECT_EQ(object->ref_count(), 2);  // a reference on the point is one on the object

    IID iid{};
    EXPECT_EQ(cp->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(iid == IID_IPropertyNotifySink);
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(cp->GetConnectionPointContainer(&container), S_OK);
    EXPECT_EQ(container, static_cast<IConnectionPointContainer*>(object));
    container->Release();

    recording_sink sink;
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(sink.refs, 1u);

    counted_unknown not_a_sink;
    DWORD refused = 123;
    EXPECT_EQ(cp->Advise(&not_a_sink, &refused), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(not_a_sink.refs, 0u);
    EXPECT_EQ(cp->Advise(nullptr, &refused), E_POINTER);
    EXPECT_EQ(cp->Advise(&sink, nullptr), E_POINTER);

    EXPECT_EQ(cp->Unadvise(cookie + 1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp->Unadvise(cookie), S_OK);
    EXPECT_EQ(sink.refs, 0u);
    EXPECT_EQ(cp->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(object->m_cp.unadvised, std::vector<DWORD>{cookie});

    IConnectionPoint* none = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(object->FindConnectionPoint(IID_IDispatch, &none), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(none, nullptr);

    cp->Release();
    object->Release();
    EXPECT_EQ(destroyed, 1);
}

TEST(ConnectionPoint, RefusedByHookLeavesNothing)
{
    int destroyed = 0;
    auto* object = new test_object(&destroyed);
    object->AddRef();
    object->m_cp.refuse = CONNECT_E_CANNOTCONNECT;
    recording_sink sink;
    DWORD cookie = 9;
    EXPECT_EQ(object->m_cp.Advise(&sink, &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(sink.refs, 0u);
    ASSERT_EQ(object->m_cp.advised.size(), 1u);
    EXPECT_EQ(object->m_cp.connections().connection_count(), 0u);
    EXPECT_EQ(object->m_cp.Unadvise(object->m_cp.advised[0]), CONNECT_E_NOCONNECTION);
    object->Release();
}

TEST(ConnectionPoint, SlotsAreReusedCookiesNeverRepeatAndEnumerationIsASnapshot)
{
    int destroyed = 0;
    auto* object = new test_object(&destroyed);
    object->AddRef();
    recording_sink a, b, c, d;
    DWORD ca = 0, cb = 0, cc = 0, cd = 0;
    ASSERT_EQ(object->m_cp.Advise(&a, &ca), S_OK);
    ASSERT_EQ(object->m_cp.Advise(&b, &cb), S_OK);
    ASSERT_EQ(object->m_cp.Advise(&c, &cc), S_OK);
    ASSERT_EQ(object->m_cp.Unadvise(cb), S_OK);
    ASSERT_EQ(object->m_cp.Advise(&d, &cd), S_OK);
    EXPECT_EQ(object->m_cp.connections().slot_count(), 3u);  // d took b's slot
    EXPECT_EQ(std::set<DWORD>({ca, cb, cc, cd}).size(), 4u);

    IEnumConnections* e = nullptr;
    ASSERT_EQ(object->m_cp.EnumConnections(&e), S_OK);
    EXPECT_EQ(object->m_cp.Unadvise(ca), S_OK);
    EXPECT_EQ(a.refs, 1u);  // the snapshot keeps its own reference

    CONNECTDATA got[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(2, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(e->Next(2, got + 2, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    const IUnknown* order[] = {&a, &d, &c};
    const DWORD cookies[] = {ca, cd, cc};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].pUnk, order[i]);
        EXPECT_EQ(got[i].dwCookie, cookies[i]);
        got[i].pUnk->Release();
    }
    EXPECT_EQ(e->Next(2, got, nullptr), E_INVALIDARG);
    EXPECT_EQ(e->Next(1, got, nullptr), S_FALSE);
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(2), S_OK);
    IEnumConnections* clone = nullptr;
    ASSERT_EQ(e->Clone(&clone), S_OK);
    EXPECT_EQ(clone->Next(1, got, nullptr), S_OK);  // the clone starts where e stood
    EXPECT_EQ(got[0].pUnk, &c);
    got[0].pUnk->Release();
    EXPECT_EQ(e->Skip(5), S_FALSE);
    clone->Release();
    e->Release();
    EXPECT_EQ(a.refs, 0u);

    // Destroying the object releases what is still connected.
    object->Release();
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(c.refs, 0u);
    EXPECT_EQ(d.refs, 0u);
}

TEST(ConnectionPoint, EnumConnectionPointsHandsOutReferences)
{
    int destroyed = 0;
    auto* object = new test_object(&destroyed);
    object->AddRef();
    IEnumConnectionPoints* e = nullptr;
    ASSERT_EQ(object->EnumConnectionPoints(&e), S_OK);
    EXPECT_EQ(object->ref_count(), 2);
    IConnectionPoint* cp = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(1, &cp, &fetched), S_OK);
    EXPECT_EQ(cp, static_cast<IConnectionPoint*>(&object->m_cp));
    EXPECT_EQ(object->ref_count(), 3);
    cp->Release();
    IUnknown* unk = nullptr;
    EXPECT_EQ(e->QueryInterface(IID_IEnumConnectionPoints, reinterpret_cast<void**>(&unk)), S_OK);
    unk->Release();
    e->Release();
    EXPECT_EQ(object->ref_count(), 1);
    object->Release();
    EXPECT_EQ(destroyed, 1);
}

TEST(ConnectionPoint, ConcurrentAdviseUnadviseAndWalks)
{
    int destroyed = 0;
    auto* object = new test_object(&destroyed);
    object->AddRef();
    constexpr int kThreads = 4;
    recording_sink sinks[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([object, &sink = sinks[t]] {
            for (int i = 0; i < 300; ++i) {
                DWORD cookie = 0;
                ASSERT_EQ(object->m_cp.Advise(&sink, &cookie), S_OK);
                ASSERT_EQ(object->m_cp.Unadvise(cookie), S_OK);
            }
        });
    }
    threads.emplace_back([object] {
        for (int i = 0; i < 300; ++i) {
            IEnumConnections* e = nullptr;
            ASSERT_EQ(object->m_cp.EnumConnections(&e), S_OK);
            CONNECTDATA cd;
            while (e->Next(1, &cd, nullptr) == S_OK) {
                EXPECT_NE(cd.dwCookie, 0u);
                cd.pUnk->Release();
            }
            e->Release();
        }
    });
    for (auto& t : threads)
        t.join();
    for (auto& sink : sinks)
        EXPECT_EQ(sink.refs, 0u);
    EXPECT_EQ(object->m_cp.connections().connection_count(), 0u);
    object->Release();
    EXPECT_EQ(destroyed, 1);
}

TEST(ConnectionCookies, UniqueAcrossThreadsAndFreedForReuse)
{
    std::vector<std::vector<DWORD>> taken(4);
    std::vector<std::thread> threads;
    for (auto& mine : taken)
        threads.emplace_back([&mine] {
            for (int i = 0; i < 1000; ++i)
                mine.push_back(platform::allocate_connection_cookie());
        });
    for (auto& t : threads)
        t.join();
    std::set<DWORD> all;
    for (auto& mine : taken)
        for (DWORD c : mine) {
            EXPECT_NE(c, 0u);
            all.insert(c);
        }
    EXPECT_EQ(all.size(), 4000u);
    for (DWORD c : all)
        platform::free_connection_cookie(c);
}
