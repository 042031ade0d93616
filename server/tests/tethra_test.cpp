// The port registry: what CreatePort refuses, one shared port per number, the port
// closing with its last client and opening afresh, a device held by another process,
// and many threads opening and releasing one port at once.
#include "port/SerialPort.h"
#include "port/SerialPortManager.h"
#include "engine/tests/engine_test_support.h"
#include "port/tests/port_test_support.h"

#include <thread>

namespace {

using TethraTest = SimPortTest;

TEST_F(TethraTest, NullOutPointerIsRefusedWithoutTakingTheLock)
{
    TraceLines trace(TRACE_CAT_TETHRA, 5);
    EXPECT_EQ(tethra_.CreatePort(kPort, nullptr), E_POINTER);
    trace.finish();
    const std::vector<std::string> lines = trace.lines();
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_NE(lines[0].find("::CreatePort(7, 0)"), std::string::npos);
    EXPECT_NE(lines[1].find("  Error !  Invalid SerialPortInterface"), std::string::npos);
    EXPECT_NE(lines[2].find("  Returning 0x80004003"), std::string::npos);
    EXPECT_TRUE(tethra_.m_mapPorts.empty());
}

TEST_F(TethraTest, NumbersThatCannotBeOpenedFailAndAreTriedAgainLater)
{
    ISerialPort* const garbage = reinterpret_cast<ISerialPort*>(0x5a5a);
    // Negative, zero, unmapped, and too long for the device name (9 digits).
    for (LONG number : {-1L, 0L, 12345678L, 123456789L, -12345678L}) {
        ISerialPort* pPort = garbage;  // the incoming value is ignored
        EXPECT_EQ(tethra_.CreatePort(number, &pPort), E_UNEXPECTED) << number;
        EXPECT_EQ(pPort, nullptr);
    }
    EXPECT_TRUE(tethra_.m_mapPorts.empty());
    EXPECT_FALSE(uart_->is_open());

    // Once the number names a device, the same request succeeds, up to the widest
    // number a device name can carry.
    ISerialPort* pPort = garbage;
    ASSERT_EQ(registry_.map_port(uart_->path(), 12345678), ERROR_SUCCESS);
    ASSERT_EQ(tethra_.CreatePort(12345678, &pPort), S_OK);
    LONG number = 0;
    EXPECT_EQ(pPort->get_PortNum(&number), S_OK);
    EXPECT_EQ(number, 12345678);
    pPort->Release();
}

TEST_F(TethraTest, ClientsOfOneNumberShareOnePortThatClosesWithTheLast)
{
    ISerialPort* a = Open();
    ISerialPort* b = Open();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    ASSERT_EQ(tethra_.m_mapPorts.size(), 1U);
    CSerialPortManager* shared = tethra_.m_mapPorts.begin()->second;
    EXPECT_EQ(static_cast<CSerialPort*>(a)->m_pSerialPortManager, shared);
    EXPECT_EQ(static_cast<CSerialPort*>(b)->m_pSerialPortManager, shared);
    EXPECT_EQ(shared->ref_count(), 1 + 3 + 3);  // the map's, and three per client

    EXPECT_EQ(a->put_ReceiveBufferSize(4096), S_OK);
    ULONG size = 0;
    EXPECT_EQ(b->get_ReceiveBufferSize(&size), S_OK);
    EXPECT_EQ(size, 4096U);

    a->Release();
    EXPECT_EQ(tethra_.m_mapPorts.size(), 1U);
    EXPECT_TRUE(uart_->is_open());
    b->Release();
    EXPECT_TRUE(tethra_.m_mapPorts.empty());
    EXPECT_FALSE(uart_->is_open());

    // Opened afresh: a new shared object with the defaults again.
    Ptr<ISerialPort> again(Open());
    ASSERT_TRUE(again);
    EXPECT_TRUE(uart_->is_open());
    EXPECT_EQ(again->get_ReceiveBufferSize(&size), S_OK);
    EXPECT_EQ(size, 512U);
}

TEST_F(TethraTest, APortHeldByAnotherProcessIsRefusedUntilItIsFree)
{
    platform::testing::pty_peer peer;
    ASSERT_TRUE(peer.ready());
    ASSERT_EQ(registry_.map_port(peer.path(), kPort + 1), ERROR_SUCCESS);
    ISerialPort* pPort = nullptr;
    {
        platform::testing::device_holder holder("\\\\.\\COM" + std::to_string(kPort + 1));
        ASSERT_TRUE(holder.holding());
        EXPECT_EQ(tethra_.CreatePort(kPort + 1, &pPort), E_UNEXPECTED);
        EXPECT_EQ(pPort, nullptr);
        EXPECT_TRUE(tethra_.m_mapPorts.empty());
    }
    ASSERT_EQ(tethra_.CreatePort(kPort + 1, &pPort), S_OK);
    pPort->Release();
}

TEST_F(TethraTest, AHandBackOfAnObjectNoLongerInTheMapIsIgnored)
{
    Ptr<ISerialPort> port(Open());
    // A late hand-back for an object erased and destroyed long ago: the address is
    // compared, never followed.
    tethra_.PortClosed(reinterpret_cast<CSerialPortManager*>(0x10));
    EXPECT_EQ(tethra_.m_mapPorts.size(), 1U);
    // A hand-back while a client holds the port is dropped: the port stays.
    tethra_.PortClosed(tethra_.m_mapPorts.begin()->second);
    EXPECT_EQ(tethra_.m_mapPorts.size(), 1U);
    EXPECT_TRUE(uart_->is_open());
}

TEST_F(TethraTest, ARequestForAPortStillClosingWaitsForTheCloseAndOpensItAfresh)
{
    ISerialPort* first = Open();
    ASSERT_NE(first, nullptr);
    CSerialPortManager* shared = tethra_.m_mapPorts.at(kPort);
    // A task that holds the comm-port thread keeps the port's closing from finishing,
    // and with it the device open.
    HANDLE inside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    RunOnThread holder([&] {
        SetEvent(inside);
        WaitForSingleObject(gate, INFINITE);
    });
    ASSERT_TRUE(shared->AddTaskToCommPortThread(&holder));
    WaitForSingleObject(inside, INFINITE);

    Journal journal;
    TraceCapture capture(journal, 4, TRACE_CAT_TETHRA);
    std::thread closer([&] { first->Release(); });
    ASSERT_TRUE(journal.wait_for("::PortClosed(0x"));
    ASSERT_TRUE(journal.wait_for("  Releasing the serial port."));
    ISerialPort* second = nullptr;
    HRESULT hr = E_FAIL;
    std::thread opener([&] {
        hr = tethra_.CreatePort(kPort, &second);
        journal.add("opener done");
    });
    const bool waited = journal.wait([](const Journal::Entries& e) {
        return Journal::find(e, "Waiting for the serial port to close.") >= 0 ||
               Journal::find(e, "opener done") >= 0;
    });
    const bool still_waiting = journal.index("opener done") < 0;
    SetEvent(gate);
    closer.join();
    opener.join();
    EXPECT_TRUE(waited && still_waiting);
    ASSERT_EQ(hr, S_OK);
    LONG number = 0;
    EXPECT_EQ(second->get_PortNum(&number), S_OK);
    EXPECT_EQ(number, kPort);
    second->Release();
    CloseHandle(inside);
    CloseHandle(gate);
}

// Many threads open and release the same port at once, so that hand-backs race with new
// clients: every request gets a working port, no object is closed under a client, and
// everything is given back at the end.
TEST_F(TethraTest, OpeningAndReleasingOnePortFromManyThreadsKeepsEveryClientWorking)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 60;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                ISerialPort* pPort = nullptr;
                if (tethra_.CreatePort(kPort, &pPort) != S_OK || !pPort) {
                    ++failures;
                    continue;
                }
                LONG number = 0;
                ULONG size = 0;
                if (pPort->get_PortNum(&number) != S_OK || number != kPort)
                    ++failures;
                if (i % 3 == t % 3 && pPort->put_ReceiveBufferSize(256 + i) != S_OK)
                    ++failures;
                if (pPort->get_ReceiveBufferSize(&size) != S_OK || size == 0)
                    ++failures;
                pPort->Release();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(tethra_.m_mapPorts.empty());
    EXPECT_FALSE(uart_->is_open());
}

}  // namespace
