// The shared port object's own open, send and close, below the client objects: on real
// pseudo-terminals, and on the simulated UART for line levels and injected failures.
#include "engine/CommPortThread.h"
#include "platform/com/runtime.h"
#include "traffic/tests/port_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

class SerialPortManagerTest : public PortFixture {};

TEST_F(SerialPortManagerTest, OpensAPtyInItsOpeningStateExclusively)
{
    platform::testing::pty_peer pty;
    ASSERT_TRUE(pty.ready());
    COMMTIMEOUTS fresh{};
    {
        // A speed the device has, which the open keeps; and the device's own time-outs.
        HANDLE raw = open_device(pty.path());
        ASSERT_NE(raw, INVALID_HANDLE_VALUE);
        DCB dcb{};
        ASSERT_TRUE(GetCommState(raw, &dcb));
        dcb.BaudRate = 57600;
        ASSERT_TRUE(SetCommState(raw, &dcb));
        ASSERT_TRUE(GetCommTimeouts(raw, &fresh));
        CloseHandle(raw);
    }
    map_port(7, pty.path());
    CSerialPortManager* port = open(7);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->m_dwReadBufferSize.load(), 512u);
    EXPECT_FALSE(port->m_bDTRLineActive || port->m_bRTSLineActive || port->m_bBreakActive);

    DCB dcb{};
    ASSERT_TRUE(port->GetCommState(&dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(port->m_hComm, &t));
    fresh.ReadTotalTimeoutConstant = 500;
    EXPECT_EQ(std::memcmp(&t, &fresh, sizeof t), 0);

    EXPECT_EQ(open_device(pty.path()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(7), nullptr);
    close(port);
    HANDLE again = open_device(pty.path());
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(SerialPortManagerTest, OpeningLowersDtrAndRtsAndClearsBreak)
{
    std::shared_ptr<platform::sim_uart> uart = platform::sim_uart::create("lines");
    map_port(3, uart->path());
    HANDLE raw = open_device(uart->path());
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    EscapeCommFunction(raw, SETDTR);
    EscapeCommFunction(raw, SETRTS);
    SetCommBreak(raw);
    CloseHandle(raw);

    ASSERT_NE(open(3), nullptr);
    EXPECT_FALSE(uart->dtr());
    EXPECT_FALSE(uart->rts());
    EXPECT_FALSE(uart->in_break());
}

TEST_F(SerialPortManagerTest, NumbersWhoseNameDoesNotFitAreRefused)
{
    // "\\.\COM123456789" would need 16 characters, one more than the name may have.
    EXPECT_EQ(open(123456789), nullptr);
    EXPECT_EQ(open(-12345678), nullptr);
}

TEST_F(SerialPortManagerTest, SendsReachThePtyInQueueOrder)
{
    platform::testing::pty_peer pty;
    map_port(8, pty.path());
    CSerialPortManager* port = open(8);
    ASSERT_NE(port, nullptr);

    std::string expected;
    for (int i = 0; i < 50; ++i) {
        std::string block(static_cast<std::size_t>(i % 7 + 1), static_cast<char>('a' + i % 26));
        ByteVariant v(block);  // freed right after Send: the port copied the bytes
        EXPECT_EQ(port->Send(v.v, i % 10 == 9 ? VARIANT_TRUE : VARIANT_FALSE), S_OK);
        expected += block;
    }
    // The lower bound plays no part; an empty array is a write of nothing.
    VARIANT shifted;
    VariantInit(&shifted);
    shifted.vt = VT_ARRAY | VT_UI1;
    shifted.parray = SafeArrayCreateVector(VT_UI1, 5, 3);
    std::memcpy(shifted.parray->pvData, "end", 3);
    ByteVariant empty("");
    EXPECT_EQ(port->Send(empty.v, VARIANT_TRUE), S_OK);
    EXPECT_EQ(port->Send(shifted, VARIANT_TRUE), S_OK);
    VariantClear(&shifted);
    expected += "end";

    std::vector<BYTE> got = pty.receive(expected.size(), 60000);
    EXPECT_EQ(std::string(got.begin(), got.end()), expected);
}

TEST_F(SerialPortManagerTest, FailedWritesReleaseASynchronousSenderWithEFail)
{
    std::shared_ptr<platform::sim_uart> uart;
    CSerialPortManager* port = open_sim(6, uart);
    ASSERT_NE(port, nullptr);
    uart->set_modem_lines(MS_CTS_ON | MS_RLSD_ON);
    VARIANT_BOOL value = 55;
    EXPECT_EQ(port->GetUARTStatusRegisterStatus(MS_DSR_ON | MS_RLSD_ON, &value), S_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(port->GetUARTStatusRegisterStatus(MS_DSR_ON, &value), S_OK);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(port->GetUARTStatusRegisterStatus(MS_CTS_ON, nullptr), E_POINTER);

    // A write waiting for the line when the device vanishes fails after it went pending
    // (or at once, should the unplug come first).
    uart->hold_output(true);
    HRESULT pending = S_OK;
    std::thread sender([&] {
        ByteVariant v("held back");
        pending = port->Send(v.v, VARIANT_TRUE);
    });
    uart->unplug();
    sender.join();
    EXPECT_EQ(pending, E_FAIL);

    // A write that fails at once must not keep a synchronous sender waiting.
    ByteVariant v("lost");
    EXPECT_EQ(port->Send(v.v, VARIANT_TRUE), E_FAIL);
    // Queued (the failure only traced) until the port has heard of the loss, refused at
    // once afterwards; port_vanish_tests pins the latter down.
    HRESULT hrAsync = port->Send(v.v, VARIANT_FALSE);
    EXPECT_TRUE(hrAsync == S_OK || hrAsync == E_FAIL) << hrAsync;
    value = 55;
    EXPECT_EQ(port->GetUARTStatusRegisterStatus(MS_CTS_ON, &value), E_FAIL);
    EXPECT_EQ(value, 55);

    // With the thread gone nothing is queued any more.
    port->m_pCommPortThread->Stop();
    EXPECT_EQ(port->Send(v.v, VARIANT_FALSE), E_FAIL);
}

std::atomic<int> g_wake_ups{0};
void count_wake_up(ULONG_PTR)
{
    ++g_wake_ups;
}

// A synchronous sender serving a call whose client has gone takes its write back out of
// the driver and returns RPC_E_CALL_CANCELED; a wake-up without a cancellation changes
// nothing.
TEST_F(SerialPortManagerTest, ASenderWhoseCallerLeftTakesItsWriteBack)
{
    std::shared_ptr<platform::sim_uart> uart;
    CSerialPortManager* port = open_sim(7, uart);
    ASSERT_NE(port, nullptr);
    uart->hold_output(true);
    auto queued = [&](DWORD bytes) {
        COMSTAT stat{};
        for (int i = 0; i < 5000 && ClearCommError(port->m_hComm, nullptr, &stat) &&
                        stat.cbOutQue != bytes; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return stat.cbOutQue == bytes;
    };
    platform::call_context call;
    std::atomic<DWORD> id{0};
    HRESULT hr = S_OK;
    std::thread sender([&] {
        platform::set_current_call(&call);
        id = GetCurrentThreadId();
        ByteVariant held("held;");
        hr = port->Send(held.v, VARIANT_TRUE);
    });
    EXPECT_TRUE(queued(5));
    HANDLE thread = OpenThread(THREAD_SET_CONTEXT, FALSE, id);
    EXPECT_NE(QueueUserAPC(count_wake_up, thread, 0), 0U);
    while (g_wake_ups == 0)
        std::this_thread::yield();
    call.cancel();
    EXPECT_NE(QueueUserAPC(count_wake_up, thread, 0), 0U);
    sender.join();
    CloseHandle(thread);
    EXPECT_EQ(hr, RPC_E_CALL_CANCELED);
    EXPECT_EQ(g_wake_ups, 2);
    EXPECT_TRUE(queued(0));
}

TEST_F(SerialPortManagerTest, AnswersItsInterfacesAndConnectionPoints)
{
    auto* port = new CSerialPortManager;  // no device needed
    port->AddRef();
    void* pv = nullptr;
    EXPECT_EQ(port->QueryInterface(IID_ISerialPortManager, &pv), S_OK);
    EXPECT_EQ(port->QueryInterface(IID_IConnectionPointContainer, &pv), S_OK);
    EXPECT_EQ(port->QueryInterface(IID_IUnknown, &pv), S_OK);
    EXPECT_EQ(pv, port->GetControllingUnknown());
    EXPECT_EQ(port->QueryInterface(IID_IMarshal, &pv), E_NOINTERFACE);
    EXPECT_EQ(port->QueryInterface(IID_IDispatch, &pv), E_NOINTERFACE);
    IConnectionPoint* cp = nullptr;
    EXPECT_EQ(port->FindConnectionPoint(DIID__ISerialPortEvents, &cp), S_OK);
    EXPECT_EQ(cp, static_cast<IConnectionPoint*>(&port->m_cpPortEvents));
    cp->Release();
    EXPECT_EQ(port->ref_count(), 4);

    // Without a registry a release to one only reports it; the last one destroys.
    for (ULONG left = 3; left > 0; --left)
        EXPECT_EQ(port->Release(), left);
    EXPECT_EQ(port->Release(), 0u);
}

}  // namespace
