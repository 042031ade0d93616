// Port events, reads and their fan-out on a port opened through the shared port object,
// with the simulated UART as the far end of the line.
#include "engine/CommPortThread.h"
#include "traffic/PortEventLeaf.h"
#include "traffic/tests/port_fixture.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// Runs a function on the port's comm-port thread and waits for it, since the comm mask
// and HandleEvents belong to that thread.
class RunOnThread : public CStrategy {
public:
    explicit RunOnThread(std::function<void()> f) : CStrategy(FALSE), m_f(std::move(f)) {}
    BOOL AlgorithmInterface(BOOL& bDone) override
    {
        m_f();
        bDone = TRUE;
        return TRUE;
    }

private:
    std::function<void()> m_f;
};

void run_on_comm_thread(CSerialPortManager* port, std::function<void()> f)
{
    auto* task = new RunOnThread(std::move(f));
    ASSERT_TRUE(port->AddTaskToCommPortThread(task));
    task->GetCompletionCode();
    delete task;
}

// A port-event task that the test hands a set of events of its choice.
class ProbeLeaf : public CPortEventLeaf {
public:
    explicit ProbeLeaf(CSerialPortManager* port) : CPortEventLeaf(port, FALSE) {}
    void Handle(DWORD dwEvents)
    {
        m_dwEventMask = dwEvents;
        HandleEvents();
    }
};

class PortTrafficTest : public PortFixture {
protected:
    void SetUp() override
    {
        PortFixture::SetUp();
        port = open_sim(11, uart);
        ASSERT_NE(port, nullptr);
        quick_reads(port);
    }

    std::shared_ptr<platform::sim_uart> uart;
    CSerialPortManager* port = nullptr;
    TestSink a, b;
};

TEST_F(PortTrafficTest, ReceivedBytesReachEverySinkInBlocksOfTheBufferSize)
{
    advise(port, a);
    advise(port, b);
    port->m_dwReadBufferSize = 4;
    const std::string text = "the quick brown fox";
    uart->send(text);
    ASSERT_TRUE(wait_received(a, text));
    ASSERT_TRUE(wait_received(b, text));
    for (const SinkCall& c : a.calls()) {
        EXPECT_LE(c.bytes.size(), 4u);
        EXPECT_EQ(c.vt, VT_ARRAY | VT_UI1);
    }
    EXPECT_NE(a.calls()[0].thread, b.calls()[0].thread);

    // The receive event is back on after every read: the port keeps listening.
    uart->send("!");
    ASSERT_TRUE(wait_received(a, text + "!"));
}

TEST_F(PortTrafficTest, ASinkConnectedLaterGetsOnlyLaterData)
{
    DWORD witness = advise(port, b);
    uart->send("early");
    ASSERT_TRUE(wait_received(b, "early"));
    advise(port, a);
    EXPECT_EQ(port->m_cpPortEvents.Unadvise(witness), S_OK);
    uart->send("late");
    ASSERT_TRUE(wait_received(a, "late"));
    EXPECT_EQ(received(b), "early");
}

TEST_F(PortTrafficTest, LineEventsAndErrorsArriveAsPortEventsAndErrors)
{
    advise(port, a);
    DCB dcb{};
    ASSERT_TRUE(port->GetCommState(&dcb));
    dcb.fParity = 1;   // parity errors are reported only with parity checking on
    dcb.EvtChar = '!';
    ASSERT_TRUE(port->SetCommState(&dcb));

    auto step = [&](std::function<void()> act, const std::string& expected) {
        act();
        ASSERT_TRUE(a.wait([&] {
            auto s = summary(a.calls());
            return std::find(s.begin(), s.end(), expected) != s.end();
        })) << expected;
    };
    step([&] { uart->set_modem_lines(MS_CTS_ON); }, "E:0");
    step([&] { uart->set_modem_lines(MS_CTS_ON | MS_DSR_ON); }, "E:1");
    step([&] { uart->set_modem_lines(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON); }, "E:2");
    step([&] { uart->set_modem_lines(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON); }, "E:3");
    step([&] { uart->send("!"); }, "E:4");
    step([&] { uart->send_break(); }, "X:1000");
    step([&] { uart->send_framing_error('f'); }, "X:1001");
    step([&] { uart->send_after_overrun('o'); }, "X:1002");
    step([&] { uart->send_parity_error('p'); }, "X:1003");

    std::vector<std::string> notices;
    for (const std::string& s : summary(a.calls()))
        if (s[0] != 'D')
            notices.push_back(s);
    EXPECT_EQ(notices, (std::vector<std::string>{"E:0", "E:1", "E:2", "E:3", "E:4", "X:1000",
                                                 "X:1001", "X:1002", "X:1003"}));
    for (const SinkCall& c : a.calls()) {
        if (c.dispid != 1) {
            EXPECT_EQ(c.vt, VT_I4);
        }
    }
}

TEST_F(PortTrafficTest, OneWaitsEventsAreAnnouncedInTableOrderAndBeforeItsData)
{
    advise(port, a);
    // Keep the port's own port-event task away from received characters, so that the
    // probe's read is the one that takes them.
    run_on_comm_thread(port, [&] { SetCommMask(port->m_hComm, COMM_PORT_START_MASK & ~EV_RXCHAR); });
    uart->send("data");

    ProbeLeaf probe(port);
    run_on_comm_thread(port, [&] {
        probe.Handle(EV_RXFLAG | EV_RLSD | EV_RING | EV_DSR | EV_CTS | EV_BREAK | EV_RXCHAR);
    });
    ASSERT_TRUE(wait_received(a, "data"));
    // The read task (which switches EV_RXCHAR on through the probe) has finished once a
    // later task has run.
    run_on_comm_thread(port, [] {});

    EXPECT_EQ(summary(a.calls()), (std::vector<std::string>{"X:1000", "E:0", "E:1", "E:3", "E:2",
                                                            "E:4", "D:data"}));
    DWORD mask = 0;
    run_on_comm_thread(port, [&] { GetCommMask(port->m_hComm, &mask); });
    EXPECT_EQ(mask, static_cast<DWORD>(COMM_PORT_START_MASK));
}

TEST_F(PortTrafficTest, UnadviseFromInsideOnDataStopsDeliveryAtOnce)
{
    DWORD cookie = 0;
    HRESULT hr = E_FAIL;
    a.on_data = [&] {
        if (a.count() == 1) {
            hr = port->m_cpPortEvents.Unadvise(cookie);
            uart->send("after");  // read and fanned out while a is still in its handler
        }
    };
    cookie = advise(port, a);
    advise(port, b);
    uart->send("first");
    ASSERT_TRUE(wait_received(b, "firstafter"));
    ASSERT_TRUE(a.wait_refs(0));
    ASSERT_TRUE(CPortEventsConnectionPoint::WaitForReapers(60000));
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(summary(a.calls()), (std::vector<std::string>{"D:first"}));
}

TEST_F(PortTrafficTest, ClosingThePortEndsItsThreadsAndReleasesItsSinks)
{
    advise(port, a);
    a.block();
    a.on_data = [&] { a.wait_open(); };
    uart->send("x");
    ASSERT_TRUE(a.wait_calls(1));
    close(port);  // a is still inside OnData: the close does not wait for it
    EXPECT_FALSE(uart->is_open());
    a.unblock();
    ASSERT_TRUE(a.wait_refs(0));
}

}  // namespace
