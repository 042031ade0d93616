// Port events, reads and their fan-out on a port opened through the shared port object,
// with the simulated UART as the far end of the line. (That every event, error and byte
// reaches every client is shown through the client objects in port/tests.)
#include "engine/CommPortThread.h"
#include "engine/tests/engine_test_support.h"
#include "traffic/PortEventLeaf.h"
#include "traffic/tests/port_fixture.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// Runs a function on the port's comm-port thread and waits for it, since the comm mask
// and HandleEvents belong to that thread.
void run_on_comm_thread(CSerialPortManager* port, std::function<void()> f)
{
    run_on(*port->m_pCommPortThread, std::move(f));
}

DWORD comm_mask(CSerialPortManager* port)
{
    DWORD mask = 0;
    run_on_comm_thread(port, [&] { GetCommMask(port->m_hComm, &mask); });
    return mask;
}

int count_containing(const Journal::Entries& entries, const std::string& part)
{
    return static_cast<int>(std::count_if(entries.begin(), entries.end(), [&](const auto& e) {
        return e.find(part) != std::string::npos;
    }));
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
    ASSERT_TRUE(b.wait_received("early"));
    advise(port, a);
    EXPECT_EQ(port->m_cpPortEvents.Unadvise(witness), S_OK);
    uart->send("late");
    ASSERT_TRUE(a.wait_received("late"));
    EXPECT_EQ(b.received(), "early");
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
    ASSERT_TRUE(a.wait_received("data"));
    // The read task (which switches EV_RXCHAR on through the probe) has finished once a
    // later task has run.
    run_on_comm_thread(port, [] {});

    EXPECT_EQ(summary(a.calls()), (std::vector<std::string>{"X:1000", "E:0", "E:1", "E:3", "E:2",
                                                            "E:4", "D:data"}));
    EXPECT_EQ(comm_mask(port), static_cast<DWORD>(COMM_PORT_START_MASK));
}

TEST_F(PortTrafficTest, AReadInProgressKeepsTheReceiveEventOffAndAsksForNoMoreThanTheDriverHolds)
{
    advise(port, a);
    ASSERT_EQ(port->put_ReceiveBufferSize(0, 0xFFFFFFFFU), S_OK);
    COMMTIMEOUTS t{0, 0, 100, 0, 0};  // a read ends 100 ms after it starts, with what came
    ASSERT_TRUE(SetCommTimeouts(port->m_hComm, &t));
    Journal journal;
    TraceCapture capture(journal, 4);
    uart->send("abc");
    ASSERT_TRUE(journal.wait_for("::Read(0)  ReadFile needed Overlapped IO"));
    EXPECT_GE(journal.index("::CReadOverlappedIO()  65536 bytes at"), 0);
    EXPECT_EQ(comm_mask(port) & EV_RXCHAR, 0U);  // no second read while this one runs

    // The read ends on its time-out, short of what it asked for, and receiving resumes.
    ASSERT_TRUE(a.wait_received("abc"));
    EXPECT_EQ(comm_mask(port), static_cast<DWORD>(COMM_PORT_START_MASK));
    uart->send("def");
    ASSERT_TRUE(a.wait_received("abcdef"));
    ULONG size = 0;
    EXPECT_EQ(port->get_ReceiveBufferSize(0, &size), S_OK);
    EXPECT_EQ(size, 0xFFFFFFFFU);  // the setting stays as the client made it
    EXPECT_EQ(count_containing(journal.entries(), "Error!"), 0);
}

TEST_F(PortTrafficTest, AReadThatKeepsFailingIsAnnouncedOnceAndWaitsForTheNextPortEvent)
{
    advise(port, a);
    // The driver's abort-on-error latch fails every read at once until ClearCommError;
    // with EV_ERR out of the mask the port-event task never clears it.
    run_on_comm_thread(port, [&] { SetCommMask(port->m_hComm, COMM_PORT_START_MASK & ~EV_ERR); });
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port->m_hComm, &dcb));
    dcb.fAbortOnError = 1;
    ASSERT_TRUE(SetCommState(port->m_hComm, &dcb));
    Journal journal;
    TraceCapture capture(journal, 0);
    auto failed_reads = [&](int n) {
        return journal.wait([n](const Journal::Entries& e) {
            return count_containing(e, "ReadFile Error") >= n;
        });
    };

    // The first failure is tried again at once; the second is announced and parks the
    // receive event, although the byte is still waiting.
    uart->send_framing_error('x');
    ASSERT_TRUE(a.wait_calls(1));
    ASSERT_TRUE(failed_reads(2));
    // Each later event on the line allows one more read, which fails without a word.
    uart->set_modem_lines(MS_CTS_ON);
    ASSERT_TRUE(failed_reads(3));
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port->m_hComm, &errors, nullptr));
    uart->set_modem_lines(0);
    ASSERT_TRUE(a.wait_received("x"));
    run_on_comm_thread(port, [] {});
    EXPECT_EQ(summary(a.calls()), (std::vector<std::string>{"X:1004", "E:0", "E:0", "D:x"}));
    EXPECT_EQ(count_containing(journal.entries(), "ReadFile Error"), 3);
    EXPECT_EQ(comm_mask(port) & EV_RXCHAR, static_cast<DWORD>(EV_RXCHAR));
}

// Records what a comm-event wait of its own gets when it runs: refused while the port's
// own wait is outstanding.
class WaitProbe : public CStrategy {
public:
    explicit WaitProbe(HANDLE hComm) : CStrategy(FALSE), m_hComm(hComm) {}
    BOOL AlgorithmInterface(BOOL& bDone) override
    {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD events = 0;
        if (!WaitCommEvent(m_hComm, &events, &ov)) {
            error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                CancelIo(m_hComm);
                GetOverlappedResult(m_hComm, &ov, &events, TRUE);
            }
        }
        CloseHandle(ov.hEvent);
        bDone = TRUE;
        return TRUE;
    }
    DWORD error = 0;

private:
    HANDLE m_hComm;
};

TEST_F(PortFixture, ThePortEventTaskRunsFirstEvenWhenTasksWereQueuedBeforeTheStart)
{
    auto uart = platform::sim_uart::create("traffic-first-task");
    auto* port = new CSerialPortManager;
    port->AddRef();
    port->m_hComm = open_device(uart->path());
    ASSERT_NE(port->m_hComm, INVALID_HANDLE_VALUE);
    port->m_pCommPortThread = new CCommPortThread(port);  // stopped and deleted by the port
    WaitProbe probe(port->m_hComm);
    ASSERT_TRUE(port->m_pCommPortThread->Add(&probe));  // as a write queued early would be
    ASSERT_TRUE(port->m_pCommPortThread->Start());
    probe.GetCompletionCode();
    EXPECT_EQ(probe.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    port->Release();
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
    ASSERT_TRUE(b.wait_received("firstafter"));
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
