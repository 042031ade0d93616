// Port events, reads and their fan-out on a port opened through the shared port object,
// with the simulated UART as the far end of the line. (That every event, error and byte
// reaches every client is shown through the client objects in port/tests.)
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
        COMMTIMEOUTS t{};  // short gaps end a read, so bytes are delivered at once
        ASSERT_TRUE(GetCommTimeouts(port->m_hComm, &t));
        t.ReadIntervalTimeout = 5;
        ASSERT_TRUE(SetCommTimeouts(port->m_hComm, &t));
    }

    std::shared_ptr<platform::sim_uart> uart;
    CSerialPortManager* port = nullptr;
    TestSink a, b;
};

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
