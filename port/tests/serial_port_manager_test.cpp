// The shared port object's open, send and close, on real pseudo-terminals and on the
// simulated UART (for line levels and injected failures).
#include "engine/CommPortThread.h"
#include "traffic/tests/port_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

class SerialPortManagerTest : public PortFixture {};

std::string peer_received(const platform::testing::pty_peer& pty, std::size_t count)
{
    std::vector<BYTE> bytes = pty.receive(count, 60000);
    return std::string(bytes.begin(), bytes.end());
}

COMMTIMEOUTS fresh_timeouts(const std::string& path)
{
    COMMTIMEOUTS t{};
    HANDLE raw = open_device(path);
    EXPECT_NE(raw, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(GetCommTimeouts(raw, &t));
    CloseHandle(raw);
    return t;
}

TEST_F(SerialPortManagerTest, OpensAPtyKeepingItsFramingInTheOpeningState)
{
    platform::testing::pty_peer pty;
    ASSERT_TRUE(pty.ready());
    {
        // A speed the device already has, which opening the port must keep. (The driver
        // itself puts a tty into raw 8-bit mode on every open.)
        HANDLE raw = open_device(pty.path());
        ASSERT_NE(raw, INVALID_HANDLE_VALUE);
        DCB dcb{};
        ASSERT_TRUE(GetCommState(raw, &dcb));
        dcb.BaudRate = 57600;
        ASSERT_TRUE(SetCommState(raw, &dcb));
        CloseHandle(raw);
    }
    COMMTIMEOUTS expected = fresh_timeouts(pty.path());
    expected.ReadTotalTimeoutConstant = 500;
    map_port(7, pty.path());

    CSerialPortManager* port = open(7);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->m_lPortNum, 7);
    EXPECT_EQ(port->m_dwReadBufferSize.load(), 512u);
    EXPECT_FALSE(port->m_bDTRLineActive);
    EXPECT_FALSE(port->m_bRTSLineActive);
    EXPECT_FALSE(port->m_bBreakActive);
    EXPECT_FALSE(port->m_pCommPortThread->IsStopped());

    DCB dcb{};
    ASSERT_TRUE(port->GetCommState(&dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));

    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(port->m_hComm, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, expected.ReadIntervalTimeout);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, expected.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 500u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, expected.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, expected.WriteTotalTimeoutConstant);

    // Exclusive while open; free again once the port is closed.
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
    ASSERT_TRUE(uart);
    map_port(3, uart->path());
    {
        HANDLE raw = open_device(uart->path());
        ASSERT_NE(raw, INVALID_HANDLE_VALUE);
        EscapeCommFunction(raw, SETDTR);
        EscapeCommFunction(raw, SETRTS);
        SetCommBreak(raw);
        CloseHandle(raw);
    }
    CSerialPortManager* port = open(3);
    ASSERT_NE(port, nullptr);
    EXPECT_FALSE(uart->dtr());
    EXPECT_FALSE(uart->rts());
    EXPECT_FALSE(uart->in_break());
}

TEST_F(SerialPortManagerTest, RefusesPortsItCannotOpen)
{
    // "\\.\COM123456789" needs 16 characters, one more than the name may have.
    EXPECT_EQ(open(123456789), nullptr);
    EXPECT_EQ(open(-12345678), nullptr);
    // A number whose name fits but that has no device.
    EXPECT_EQ(open(12345678), nullptr);

    // A device held elsewhere.
    std::shared_ptr<platform::sim_uart> uart = platform::sim_uart::create("held");
    map_port(4, uart->path());
    HANDLE raw = open_device(uart->path());
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(4), nullptr);
    CloseHandle(raw);
    EXPECT_NE(open(4), nullptr);
}

TEST_F(SerialPortManagerTest, SendsReachThePeerInQueueOrder)
{
    platform::testing::pty_peer pty;
    ASSERT_TRUE(pty.ready());
    map_port(8, pty.path());
    CSerialPortManager* port = open(8);
    ASSERT_NE(port, nullptr);

    std::string expected;
    for (int i = 0; i < 50; ++i) {
        std::string block(static_cast<std::size_t>(i % 7 + 1), static_cast<char>('a' + i % 26));
        ByteVariant v(block);
        // Mixed: most asynchronous, every tenth synchronous.
        EXPECT_EQ(port->Send(v.v, i % 10 == 9 ? VARIANT_TRUE : VARIANT_FALSE), S_OK);
        expected += block;
    }
    ByteVariant last("end");
    EXPECT_EQ(port->Send(last.v, 1), S_OK);  // any non-zero flag is synchronous
    expected += "end";
    EXPECT_EQ(peer_received(pty, expected.size()), expected);

    // The caller's array may go as soon as an asynchronous Send returns.
    {
        ByteVariant gone("xyz");
        EXPECT_EQ(port->Send(gone.v, VARIANT_FALSE), S_OK);
    }
    EXPECT_EQ(peer_received(pty, 3), "xyz");
}

TEST_F(SerialPortManagerTest, SendAcceptsOnlyByteArraysAndWritesNothingElse)
{
    std::shared_ptr<platform::sim_uart> uart;
    CSerialPortManager* port = open_sim(5, uart);
    ASSERT_NE(port, nullptr);

    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString("text");
    EXPECT_EQ(port->Send(v, VARIANT_TRUE), E_INVALIDARG);
    VariantClear(&v);

    v.vt = VT_I1;
    v.cVal = 'x';
    EXPECT_EQ(port->Send(v, VARIANT_TRUE), E_INVALIDARG);
    v.vt = VT_UI1;
    v.bVal = 'x';
    EXPECT_EQ(port->Send(v, VARIANT_FALSE), E_INVALIDARG);

    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    EXPECT_EQ(port->Send(v, VARIANT_TRUE), E_INVALIDARG);
    VariantClear(&v);

    ByteVariant bytes("no");
    v.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    v.pparray = &bytes.v.parray;
    EXPECT_EQ(port->Send(v, VARIANT_TRUE), E_INVALIDARG);

    v.vt = VT_ARRAY | VT_UI1;
    v.parray = nullptr;
    EXPECT_EQ(port->Send(v, VARIANT_TRUE), E_INVALIDARG);

    // The lower bound plays no part; an empty array is a write of nothing.
    VARIANT shifted;
    VariantInit(&shifted);
    shifted.vt = VT_ARRAY | VT_UI1;
    shifted.parray = SafeArrayCreateVector(VT_UI1, 5, 2);
    std::memcpy(shifted.parray->pvData, "ok", 2);
    EXPECT_EQ(port->Send(shifted, VARIANT_TRUE), S_OK);
    VariantClear(&shifted);
    ByteVariant empty("");
    EXPECT_EQ(port->Send(empty.v, VARIANT_TRUE), S_OK);

    auto written = uart->written();
    EXPECT_EQ(std::string(written.begin(), written.end()), "ok");
}

TEST_F(SerialPortManagerTest, FailedWritesReleaseASynchronousSenderWithEFail)
{
    std::shared_ptr<platform::sim_uart> uart;
    CSerialPortManager* port = open_sim(6, uart);
    ASSERT_NE(port, nullptr);

    // A write still waiting for the line when the device vanishes fails after it went
    // pending (or at once, should the unplug come first).
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
    VARIANT_BOOL value = 55;  // nor can the modem status be read any more
    EXPECT_EQ(port->GetUARTStatusRegisterStatus(MS_CTS_ON, &value), E_FAIL);
    EXPECT_EQ(value, 55);
    EXPECT_EQ(port->Send(v.v, VARIANT_FALSE), S_OK);  // queued; the failure is only traced

    // And with the thread gone nothing is queued any more.
    port->m_pCommPortThread->Stop();
    EXPECT_EQ(port->Send(v.v, VARIANT_FALSE), E_FAIL);
}

TEST_F(SerialPortManagerTest, ModemStatusBitsAreOneOrZero)
{
    std::shared_ptr<platform::sim_uart> uart;
    CSerialPortManager* port = open_sim(9, uart);
    ASSERT_NE(port, nullptr);
    uart->set_modem_lines(MS_CTS_ON | MS_RLSD_ON);

    VARIANT_BOOL value = 55;
    EXPECT_EQ(port->GetUARTStatusRegisterStatus(MS_CTS_ON, &value), S_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(port->GetUARTStatusRegisterStatus(MS_DSR_ON, &value), S_OK);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(port->GetUARTStatusRegisterStatus(MS_DSR_ON | MS_RLSD_ON, &value), S_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(port->GetUARTStatusRegisterStatus(MS_CTS_ON, nullptr), E_POINTER);
}

TEST_F(SerialPortManagerTest, AnswersItsInterfacesAndConnectionPoints)
{
    auto* port = new CSerialPortManager;  // no device needed
    port->AddRef();
    void* pv = nullptr;
    EXPECT_EQ(port->QueryInterface(IID_ISerialPortManager, &pv), S_OK);
    EXPECT_EQ(pv, static_cast<ISerialPortManager*>(port));
    EXPECT_EQ(port->QueryInterface(IID_IConnectionPointContainer, &pv), S_OK);
    EXPECT_EQ(pv, static_cast<IConnectionPointContainer*>(port));
    EXPECT_EQ(port->QueryInterface(IID_IUnknown, &pv), S_OK);
    EXPECT_EQ(pv, port->GetControllingUnknown());
    EXPECT_EQ(port->QueryInterface(IID_IMarshal, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(port->QueryInterface(IID_IDispatch, &pv), E_NOINTERFACE);
    EXPECT_EQ(port->ref_count(), 4);

    IConnectionPoint* cp = nullptr;
    EXPECT_EQ(port->FindConnectionPoint(DIID__ISerialPortEvents, &cp), S_OK);
    EXPECT_EQ(cp, static_cast<IConnectionPoint*>(&port->m_cpPortEvents));
    cp->Release();
    EXPECT_EQ(port->FindConnectionPoint(IID_IPropertyNotifySink, &cp), S_OK);
    EXPECT_EQ(cp, static_cast<IConnectionPoint*>(&port->m_cpPropertyNotifySink));
    cp->Release();
    EXPECT_EQ(port->FindConnectionPoint(IID_IDispatch, &cp), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(port->ref_count(), 4);

    // Without a registry a release to one only reports it; the last one destroys.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(port->Release(), static_cast<ULONG>(3 - i));
    EXPECT_EQ(port->Release(), 0u);
}

}  // namespace
