// The _ISerialPortEvents connection point with its per-connection notification threads
// and the two notification tasks, with real threads and in-process sinks.
#include "port/SerialPortManager.h"
#include "port/tests/port_test_support.h"
#include "traffic/NotificationLeaves.h"
#include "traffic/PortEventLeaf.h"
#include "traffic/PortEventsConnectionPoint.h"
#include "traffic/ReadLeaf.h"
#include "traffic/tests/test_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <thread>

namespace {

class ConnectionPointTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host = new CSerialPortManager;  // its connection point's owner; no device needed
        host->AddRef();
    }
    void TearDown() override
    {
        if (host)
            host->Release();
        EXPECT_TRUE(CPortEventsConnectionPoint::WaitForReapers(60000));
    }
    DWORD advise(TestSink& sink)
    {
        DWORD cookie = 0;
        EXPECT_EQ(cp().Advise(&sink, &cookie), S_OK);
        EXPECT_NE(cookie, 0u);
        return cookie;
    }
    void fire(const std::string& bytes)
    {
        cp().FireDataNotification(static_cast<DWORD>(bytes.size()),
                                      reinterpret_cast<const BYTE*>(bytes.data()));
    }

    CPortEventsConnectionPoint& cp() { return host->m_cpPortEvents; }

    // The host reads its clients' queue limit from a registry store: this test's own.
    platform::testing::temp_registry registry;
    CSerialPortManager* host = nullptr;
    // Sinks outlive the host, which releases what is still connected when it goes.
    TestSink a, b, c;
};

TEST_F(ConnectionPointTest, EventsAndErrorsTravelAsI4ByTheThousandRule)
{
    advise(a);
    for (LONG code : {LONG{spoCTSEvent}, LONG{spoCharEvent}, LONG{999}, LONG{1000}, LONG{spoMemoryError}})
        cp().FireEventNotification(code);
    ASSERT_TRUE(a.wait_calls(5));
    auto calls = a.calls();
    EXPECT_EQ(summary(calls),
              (std::vector<std::string>{"E:0", "E:4", "E:999", "X:1000", "X:1004"}));
    for (const SinkCall& c : calls) {
        EXPECT_EQ(c.vt, VT_I4);
    }
}

TEST_F(ConnectionPointTest, EachSinkGetsItsOwnCopyOnItsOwnThreadAndABlockedOneDelaysNobody)
{
    a.block();
    a.on_data = [&] { a.wait_open(); };
    advise(a);
    advise(b);

    std::string bytes("\0\x01\xff", 3);
    fire(bytes);  // returns although a is stuck in this call
    bytes.assign("XXX");  // the fan-out made its own copies
    fire("1");
    fire("2");
    ASSERT_TRUE(b.wait_calls(3));
    ASSERT_TRUE(a.wait_calls(1));
    EXPECT_EQ(a.count(), 1u);
    auto ca = a.calls(), cb = b.calls();
    EXPECT_EQ(cb[0].vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(ca[0].bytes, std::string("\0\x01\xff", 3));
    // a still holds its array while b gets the same bytes: each call has its own.
    EXPECT_NE(cb[0].array, ca[0].array);
    EXPECT_NE(ca[0].thread, cb[0].thread);
    EXPECT_NE(ca[0].thread, GetCurrentThreadId());

    a.unblock();
    ASSERT_TRUE(a.wait_calls(3));
    EXPECT_EQ(summary(a.calls()), summary(b.calls()));
    // Each call held a reference of its own; afterwards only the connection's is left.
    EXPECT_TRUE(a.wait_refs(1));
}

TEST_F(ConnectionPointTest, ThreadsComeAndGoWithTheirConnections)
{
    PlainUnknown plain;
    DWORD cookie = 7;
    EXPECT_EQ(cp().Advise(&plain, &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_TRUE(cp().m_mapThreads.empty());

    DWORD first = advise(a);
    advise(b);
    EXPECT_EQ(cp().m_mapThreads.size(), 2u);
    EXPECT_EQ(cp().Unadvise(first + 1000), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp().Unadvise(first), S_OK);
    EXPECT_EQ(cp().m_mapThreads.size(), 1u);
    EXPECT_EQ(a.refs.load(), 0u);
    fire("b only");
    ASSERT_TRUE(b.wait_calls(1));
    EXPECT_EQ(a.count(), 0u);
}

TEST_F(ConnectionPointTest, UnadviseWhileACallIsUnderWayReturnsAndDiscardsTheQueue)
{
    a.block();
    a.on_data = [&] { a.wait_open(); };
    DWORD cookie = advise(a);
    advise(b);
    for (int i = 0; i < 4; ++i)
        fire(std::to_string(i));
    ASSERT_TRUE(a.wait_calls(1));

    // Another thread disconnects while the notification thread is inside the client;
    // Unadvise must not wait for that call.
    HRESULT hr = E_FAIL;
    std::thread disconnect([&] { hr = cp().Unadvise(cookie); });
    disconnect.join();
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(a.refs.load(), 1u);  // the running call's own reference

    fire("late");
    a.unblock();
    ASSERT_TRUE(a.wait_refs(0));
    ASSERT_TRUE(CPortEventsConnectionPoint::WaitForReapers(60000));
    EXPECT_EQ(summary(a.calls()), (std::vector<std::string>{"D:0"}));
    ASSERT_TRUE(b.wait_calls(5));
}

TEST_F(ConnectionPointTest, UnadviseFromInsideTheHandler)
{
    DWORD cookie = 0;
    HRESULT hr = E_FAIL;
    a.block();
    a.on_data = [&] {
        if (a.count() == 1) {
            a.wait_open();  // hold the first call until more is queued
            hr = cp().Unadvise(cookie);
        }
    };
    cookie = advise(a);
    fire("first");
    fire("queued");
    ASSERT_TRUE(a.wait_calls(1));
    a.unblock();
    ASSERT_TRUE(a.wait_refs(0));
    ASSERT_TRUE(CPortEventsConnectionPoint::WaitForReapers(60000));
    EXPECT_EQ(hr, S_OK);
    fire("after");
    EXPECT_EQ(summary(a.calls()), (std::vector<std::string>{"D:first"}));
    EXPECT_TRUE(cp().m_mapThreads.empty());

    // The connection point is still fully usable.
    advise(b);
    fire("again");
    ASSERT_TRUE(b.wait_calls(1));
}

TEST_F(ConnectionPointTest, DestroyingTheOwnerEndsEveryConnectionWithoutWaitingForClients)
{
    b.block();
    b.on_data = [&] { b.wait_open(); };
    advise(a);
    advise(b);
    fire("x");
    ASSERT_TRUE(b.wait_calls(1));
    ASSERT_TRUE(a.wait_calls(1));

    host->Release();  // destroys the connection point while b is in its handler
    host = nullptr;
    // a's call has returned, but its task drops its own reference only after that: wait
    // for it. b's call is still under way and holds the one reference left.
    ASSERT_TRUE(a.wait_refs(0));
    EXPECT_EQ(b.refs.load(), 1u);
    b.unblock();
    ASSERT_TRUE(b.wait_refs(0));
}

TEST(NotificationLeafTest, CompletionCodeIsTheCallsResult)
{
    CEventNotificationThread thread;
    ASSERT_TRUE(thread.Start());
    TestSink sink;
    sink.result = E_NOTIMPL;

    auto* failing = new CDataNotificationLeaf(&sink, 2, reinterpret_cast<const BYTE*>("ab"), FALSE);
    auto* empty = new CDataNotificationLeaf(&sink, 0, nullptr, FALSE);
    thread.Add(failing);
    thread.Add(empty);
    EXPECT_EQ(failing->GetCompletionCode(), static_cast<DWORD>(E_NOTIMPL));
    EXPECT_EQ(empty->GetCompletionCode(), 0u);  // nothing to deliver, nobody called
    delete failing;
    delete empty;

    thread.Add(new CEventNotificationLeaf(&sink, spoRingEvent));  // failure only traced
    ASSERT_TRUE(sink.wait_calls(2));
    thread.Stop();
    EXPECT_EQ(summary(sink.calls()), (std::vector<std::string>{"D:ab", "E:3"}));
    EXPECT_EQ(sink.refs.load(), 0u);
}

// Construction and destruction of the port's tasks trace their entry and exit; the read
// task and the event notification task write both lines at level 1.
TEST_F(ConnectionPointTest, TaskLifetimesAreTraced)
{
    TraceLines trace(TRACE_CAT_QUEUES, 1);
    auto* pEvent = new CPortEventLeaf(host, FALSE);
    auto* pRead = new CReadLeaf(pEvent, 16, TRUE);
    delete pRead;
    delete pEvent;
    TestSink sink;
    auto* pNotify = new CEventNotificationLeaf(&sink, spoRingEvent);
    delete pNotify;
    trace.finish();

    auto line = [](const char* pszFormat, const void* pObject) {
        char sz[160];
        std::snprintf(sz, sizeof sz, pszFormat, pObject);
        return std::string(sz);
    };
    const std::vector<std::string> lines = trace.lines();
    for (const std::string& expected :
         {line("CPortEventLeaf(%p)::CPortEventLeaf()", pEvent),
          line("CPortEventLeaf(%p)::~CPortEventLeaf()", pEvent),
          line("CReadLeaf(%p)::CReadLeaf()", pRead),
          line("CReadLeaf(%p)::CReadLeaf()  Returning", pRead),
          line("CReadLeaf(%p)::~CReadLeaf()", pRead),
          line("CReadLeaf(%p)::~CReadLeaf()  Returning", pRead),
          line("CEventNotificationLeaf(%p)::CEventNotificationLeaf()", pNotify),
          line("CEventNotificationLeaf(%p)::CEventNotificationLeaf()  Returning.", pNotify),
          line("CEventNotificationLeaf(%p)::~CEventNotificationLeaf()", pNotify),
          line("CEventNotificationLeaf(%p)::~CEventNotificationLeaf()  Returning.", pNotify)})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    // The port-event task's exit lines are at level 2.
    EXPECT_EQ(std::find(lines.begin(), lines.end(),
                        line("CPortEventLeaf(%p)::CPortEventLeaf()  Returning", pEvent)),
              lines.end());
}

}  // namespace
