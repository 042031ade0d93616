// The shared port's settings through client objects on a simulated UART: each property
// reads what the device holds and writes what the device then holds; the other clients
// are asked before and told after, with the property's DISPID; a refusal, a bad argument
// or a device that refuses leaves the device as it was.
#include "port/tests/port_test_support.h"

#include "port/SerialPortManager.h"

#include <algorithm>
#include <future>
#include <thread>

namespace {

// Three clients of one port, each with a property sink, advised in the order A, B, C.
class ChangeProtocolTest : public SimPortTest {
protected:
    void SetUp() override
    {
        SimPortTest::SetUp();
        for (int i = 0; i < 3; ++i) {
            ports_[i] = Open();
            ASSERT_NE(ports_[i], nullptr);
            ASSERT_NE(Advise(ports_[i], IID_IPropertyNotifySink, &sinks_[i]), 0U);
        }
    }
    void TearDown() override
    {
        for (ISerialPort*& pPort : ports_) {
            if (pPort)
                pPort->Release();
            pPort = nullptr;
        }
        for (PropertySink& sink : sinks_)
            EXPECT_EQ(sink.refs.load(), 0U);
        SimPortTest::TearDown();
    }
    // What each sink heard since the last look, "A|B|C".
    std::string Heard()
    {
        return sinks_[0].take() + "|" + sinks_[1].take() + "|" + sinks_[2].take();
    }

    ISerialPort* ports_[3] = {};
    PropertySink sinks_[3];
};

TEST_F(ChangeProtocolTest, OthersAreAskedAndToldWithTheDispidTheChangerHearsNothing)
{
    struct Change {
        DISPID dispid;
        std::function<HRESULT(ISerialPort*)> put;
    };
    const Change changes[] = {
        {5, [](ISerialPort* p) { return p->put_NULLDiscard(1); }},
        {6, [](ISerialPort* p) { return p->put_HandShakingMode(spoXOnXOff); }},
        {8, [](ISerialPort* p) { return p->put_ParityReplace(1); }},
        {13, [](ISerialPort* p) { return p->put_DTREnable(1); }},
        {14, [](ISerialPort* p) { return p->put_RTSLine(1); }},
        {15, [](ISerialPort* p) { return p->put_ParityEnable(1); }},
        {16, [](ISerialPort* p) { return p->put_ParityScheme(spoOdd); }},
        {17, [](ISerialPort* p) { return p->put_Bits(7); }},
        {18, [](ISerialPort* p) { return p->put_StopBits(spoTwoBit); }},
        {19, [](ISerialPort* p) { return p->put_XOnChar('a'); }},
        {20, [](ISerialPort* p) { return p->put_XOffChar('b'); }},
        {21, [](ISerialPort* p) { return p->put_DSRHandshakingEnable(1); }},
        {22, [](ISerialPort* p) { return p->put_EventChar('e'); }},
        {23, [](ISerialPort* p) { return p->put_XOnLimit(100); }},
        {24, [](ISerialPort* p) { return p->put_XOffLimit(200); }},
        {25, [](ISerialPort* p) { return p->put_BaudRate(4800); }},
        {26, [](ISerialPort* p) { return p->put_DTRLine(0); }},
        {28, [](ISerialPort* p) { return p->put_ReadIntervalTimeOut(7); }},
        {29, [](ISerialPort* p) { return p->put_ReadTotalTimeoutMult(8); }},
        {30, [](ISerialPort* p) { return p->put_ReadTotalTimeoutConst(9); }},
        {31, [](ISerialPort* p) { return p->put_WriteTotalTimeoutMult(10); }},
        {32, [](ISerialPort* p) { return p->put_WriteTotalTimeoutConst(11); }},
        {33, [](ISerialPort* p) { return p->put_ReceiveBufferSize(1024); }},
        {34, [](ISerialPort* p) { return p->put_ErrorChar('?'); }},
    };
    for (const Change& change : changes) {
        const std::string expected = "R" + std::to_string(change.dispid) + " C" +
                                     std::to_string(change.dispid);
        // A changes it; then C changes something and A hears it.
        EXPECT_EQ(change.put(ports_[0]), S_OK) << change.dispid;
        EXPECT_EQ(Heard(), "|" + expected + "|" + expected) << change.dispid;
    }
    EXPECT_EQ(ports_[2]->put_BaudRate(9600), S_OK);
    EXPECT_EQ(Heard(), "R25 C25|R25 C25|");

    // Break is a line condition, not a setting: nobody is asked or told.
    EXPECT_EQ(ports_[0]->put_Break(1), S_OK);
    EXPECT_EQ(ports_[0]->put_Break(0), S_OK);
    EXPECT_EQ(Heard(), "||");
}

TEST_F(ChangeProtocolTest, ARefusalStopsTheChangeAndTheAskingAndLeavesTheDeviceAlone)
{
    const DWORD baud = uart_->settings().baud;
    sinks_[1].answer = S_FALSE;
    EXPECT_EQ(ports_[0]->put_BaudRate(baud * 2), E_FAIL);
    EXPECT_EQ(uart_->settings().baud, baud);
    EXPECT_EQ(Heard(), "|R25|");  // C, after B in the list, is not asked

    EXPECT_EQ(ports_[0]->put_ReadIntervalTimeOut(77), E_FAIL);
    EXPECT_EQ(ports_[0]->put_ReceiveBufferSize(77), E_FAIL);
    EXPECT_EQ(ports_[0]->put_HandShakingMode(spoXOnXOff), S_FALSE);
    EXPECT_EQ(Heard(), "|R28 R33 R6|");
    ULONG value = 0;
    EXPECT_EQ(ports_[2]->get_ReadIntervalTimeOut(&value), S_OK);
    EXPECT_NE(value, 77U);
    EXPECT_EQ(ports_[2]->get_ReceiveBufferSize(&value), S_OK);
    EXPECT_EQ(value, 512U);
    EXPECT_FALSE(uart_->settings().xon_in);

    // Any answer but exactly S_FALSE consents.
    sinks_[1].answer = E_NOTIMPL;
    EXPECT_EQ(ports_[0]->put_BaudRate(baud * 2), S_OK);
    EXPECT_EQ(uart_->settings().baud, baud * 2);
    EXPECT_EQ(Heard(), "|R25 C25|R25 C25");
}

TEST_F(ChangeProtocolTest, AClientWithoutPropertySinkLetsEveryoneBeAskedAndTold)
{
    Ptr<ISerialPort> silent(Open());
    EXPECT_EQ(silent->put_Bits(7), S_OK);
    EXPECT_EQ(Heard(), "R17 C17|R17 C17|R17 C17");
    EXPECT_EQ(uart_->settings().data_bits, 7);
}

TEST_F(ChangeProtocolTest, AValueAlreadyInEffectAsksNobodyUnlessItIsWidenedDifferently)
{
    EXPECT_EQ(ports_[0]->put_NULLDiscard(1), S_OK);
    Heard();
    EXPECT_EQ(ports_[0]->put_NULLDiscard(1), S_OK);
    EXPECT_EQ(ports_[0]->put_ReadIntervalTimeOut(0), S_OK);
    EXPECT_EQ(ports_[0]->put_ReadIntervalTimeOut(0), S_OK);
    Heard();
    EXPECT_EQ(ports_[0]->put_ReadIntervalTimeOut(0), S_OK);
    EXPECT_EQ(ports_[0]->put_ReceiveBufferSize(512), S_OK);
    EXPECT_EQ(Heard(), "||");

    // TRUE as -1 is compared sign-extended against a bit of 1: both passes run.
    EXPECT_EQ(ports_[0]->put_NULLDiscard(VARIANT_TRUE), S_OK);
    EXPECT_EQ(Heard(), "|R5 C5|R5 C5");
    // Characters of 0x80 and up, and limits of 0x8000 and up, never count as unchanged.
    EXPECT_EQ(ports_[0]->put_XOnChar(static_cast<CHAR>(0x90)), S_OK);
    EXPECT_EQ(ports_[0]->put_XOnChar(static_cast<CHAR>(0x90)), S_OK);
    EXPECT_EQ(ports_[0]->put_XOffLimit(static_cast<SHORT>(0x9000)), S_OK);
    EXPECT_EQ(ports_[0]->put_XOffLimit(static_cast<SHORT>(0x9000)), S_OK);
    EXPECT_EQ(Heard(), "|R19 C19 R19 C19 R24 C24 R24 C24|R19 C19 R19 C19 R24 C24 R24 C24");
    CHAR c = 0;
    SHORT limit = 0;
    EXPECT_EQ(ports_[1]->get_XOnChar(&c), S_OK);
    EXPECT_EQ(static_cast<BYTE>(c), 0x90);
    EXPECT_EQ(ports_[1]->get_XOffLimit(&limit), S_OK);
    EXPECT_EQ(static_cast<WORD>(limit), 0x9000);

    // RTSLine and HandShakingMode report an unchanged value with S_FALSE.
    EXPECT_EQ(ports_[0]->put_RTSLine(0), S_FALSE);
    EXPECT_EQ(ports_[0]->put_HandShakingMode(spoHandshakingNone), S_FALSE);
    EXPECT_EQ(Heard(), "||");
}

TEST_F(ChangeProtocolTest, ASinkReadsThePortFromInsideItsNotificationOnAnyThread)
{
    ULONG before = 0;
    ASSERT_EQ(ports_[1]->get_BaudRate(&before), S_OK);
    std::vector<std::string> seen;
    sinks_[1].hook = [&](char kind, DISPID) {
        ULONG same_thread = 0;
        ULONG other_thread = 0;
        VARIANT_BOOL brk = -2;
        EXPECT_EQ(ports_[1]->get_BaudRate(&same_thread), S_OK);
        // Another thread while the change holds the port: it must be served, not wait.
        std::thread([&] {
            EXPECT_EQ(ports_[1]->get_BaudRate(&other_thread), S_OK);
            EXPECT_EQ(ports_[1]->get_Break(&brk), S_OK);
        }).join();
        seen.push_back(kind + std::to_string(same_thread) + "/" + std::to_string(other_thread));
    };
    ASSERT_EQ(ports_[0]->put_BaudRate(before * 2), S_OK);
    const std::string old_rate = std::to_string(before);
    const std::string new_rate = std::to_string(before * 2);
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[0], "R" + old_rate + "/" + old_rate);
    EXPECT_EQ(seen[1], "C" + new_rate + "/" + new_rate);
    Heard();

}

TEST_F(ChangeProtocolTest, GettersAnswerWhileAChangeHoldsThePort)
{
    CSerialPortManager* shared = tethra_.m_mapPorts.at(kPort);
    // A change holds the state lock from its reading of the device to the end of its
    // last pass, between the passes too.
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread change([&] {
        EnterCriticalSection(&shared->m_csState);
        SetEvent(held);
        WaitForSingleObject(done, INFINITE);
        LeaveCriticalSection(&shared->m_csState);
    });
    WaitForSingleObject(held, INFINITE);
    auto reads = std::async(std::launch::async, [&] {
        ISerialPort* p = ports_[1];
        ULONG baud = 0, timeout = 0, size = 0;
        VARIANT_BOOL dtr = -2, brk = -2;
        HandShakingConstants mode = spoRTSCTS;
        return p->get_BaudRate(&baud) == S_OK && p->get_ReadIntervalTimeOut(&timeout) == S_OK &&
               p->get_ReceiveBufferSize(&size) == S_OK && p->get_DTRLine(&dtr) == S_OK &&
               p->get_Break(&brk) == S_OK && p->get_HandShakingMode(&mode) == S_OK &&
               baud == uart_->settings().baud && size == 512 && mode == spoHandshakingNone;
    });
    const bool answered = reads.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    SetEvent(done);
    change.join();
    EXPECT_TRUE(answered);
    EXPECT_TRUE(reads.get());
    CloseHandle(held);
    CloseHandle(done);
}

TEST_F(ChangeProtocolTest, ASetterFromInsideANotificationIsRefusedOrWaitsButNeverNests)
{
    const platform::line_settings before = uart_->settings();
    std::vector<HRESULT> results;
    // On the thread of the change, in either pass, for the called client or any other:
    // refused, and the change in progress is not disturbed.
    sinks_[1].hook = [&](char, DISPID dispid) {
        if (dispid == 25) {
            results.push_back(ports_[1]->put_Bits(7));
            results.push_back(ports_[2]->put_Break(1));
        }
    };
    ASSERT_EQ(ports_[0]->put_BaudRate(before.baud * 2), S_OK);
    EXPECT_EQ(results, std::vector<HRESULT>(4, SERIAL_PORT_E_CHANGE_IN_PROGRESS));
    EXPECT_EQ(uart_->settings().baud, before.baud * 2);
    EXPECT_EQ(uart_->settings().data_bits, before.data_bits);
    EXPECT_FALSE(uart_->in_break());
    EXPECT_EQ(Heard(), "|R25 C25|R25 C25");

    // From another thread for the client being called, as a client in another process
    // calls back: refused at once too, where waiting would wait for itself.
    results.clear();
    std::future<HRESULT> callback;
    sinks_[1].hook = [&](char kind, DISPID) {
        if (kind != 'R')
            return;
        callback = std::async(std::launch::async, [&] { return ports_[1]->put_Bits(7); });
        if (callback.wait_for(std::chrono::seconds(30)) != std::future_status::ready)
            results.push_back(E_ABORT);  // it waits for this very change
    };
    ASSERT_EQ(ports_[0]->put_BaudRate(before.baud), S_OK);
    results.push_back(callback.get());
    EXPECT_EQ(results, std::vector<HRESULT>{SERIAL_PORT_E_CHANGE_IN_PROGRESS});
    EXPECT_EQ(Heard(), "|R25 C25|R25 C25");

    // Another client's setter from another thread waits for the change in progress and
    // then makes its own.
    results.clear();
    std::thread other;
    sinks_[1].hook = [&](char kind, DISPID dispid) {
        if (kind == 'R' && dispid == 25)
            other = std::thread([&] { results.push_back(ports_[2]->put_Bits(7)); });
    };
    ASSERT_EQ(ports_[0]->put_BaudRate(before.baud * 2), S_OK);
    other.join();
    sinks_[1].hook = nullptr;
    EXPECT_EQ(results, std::vector<HRESULT>{S_OK});
    EXPECT_EQ(uart_->settings().data_bits, 7);
    EXPECT_EQ(Heard(), "R17 C17|R25 C25 R17 C17|R25 C25");
}

// ---- each property against the device --------------------------------------------------------

TEST_F(SimPortTest, OpenedPortHasItsDefaultsAndTheDevicesOwnFraming)
{
    Ptr<ISerialPort> port(Open());
    ASSERT_TRUE(port);
    VARIANT_BOOL flag = -2;
    ULONG value = 0;
    LONG number = 0;
    EXPECT_EQ(port->get_DTREnable(&flag), S_OK);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(port->get_DTRLine(&flag), S_OK);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(port->get_Break(&flag), S_OK);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(port->get_ReceiveBufferSize(&value), S_OK);
    EXPECT_EQ(value, 512U);
    EXPECT_EQ(port->get_ReadTotalTimeoutConst(&value), S_OK);
    EXPECT_EQ(value, 500U);
    EXPECT_EQ(port->get_BaudRate(&value), S_OK);
    EXPECT_EQ(value, uart_->settings().baud);
    EXPECT_EQ(port->get_PortNum(&number), S_OK);
    EXPECT_EQ(number, kPort);
    EXPECT_FALSE(uart_->dtr());
    EXPECT_FALSE(uart_->rts());
    EXPECT_FALSE(uart_->in_break());
}

TEST_F(SimPortTest, FramingAndFlowControlGoToTheDeviceAndReadBack)
{
    Ptr<ISerialPort> a(Open());
    Ptr<ISerialPort> b(Open());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->put_BaudRate(57600), S_OK);
    EXPECT_EQ(a->put_Bits(7), S_OK);
    EXPECT_EQ(a->put_ParityScheme(spoMark), S_OK);
    EXPECT_EQ(a->put_StopBits(spoTwoBit), S_OK);
    EXPECT_EQ(a->put_XOnChar('Q'), S_OK);
    EXPECT_EQ(a->put_XOffChar('S'), S_OK);
    EXPECT_EQ(a->put_HandShakingMode(spoXOnXOff), S_OK);
    const platform::line_settings device = uart_->settings();
    EXPECT_EQ(device.baud, 57600U);
    EXPECT_EQ(device.data_bits, 7);
    EXPECT_EQ(device.parity, MARKPARITY);
    EXPECT_EQ(device.stop_bits, TWOSTOPBITS);
    EXPECT_EQ(device.xon_char, 'Q');
    EXPECT_EQ(device.xoff_char, 'S');
    EXPECT_TRUE(device.xon_in && device.xon_out);

    // The other client reads the same device.
    ULONG baud = 0;
    BYTE bits = 0;
    ParitySchemeConstants parity = spoParityNone;
    StopBitsConstants stop = spoOneBit;
    CHAR xon = 0, xoff = 0;
    HandShakingConstants mode = spoHandshakingNone;
    EXPECT_EQ(b->get_BaudRate(&baud), S_OK);
    EXPECT_EQ(b->get_Bits(&bits), S_OK);
    EXPECT_EQ(b->get_ParityScheme(&parity), S_OK);
    EXPECT_EQ(b->get_StopBits(&stop), S_OK);
    EXPECT_EQ(b->get_XOnChar(&xon), S_OK);
    EXPECT_EQ(b->get_XOffChar(&xoff), S_OK);
    EXPECT_EQ(b->get_HandShakingMode(&mode), S_OK);
    EXPECT_EQ(baud, 57600U);
    EXPECT_EQ(bits, 7);
    EXPECT_EQ(parity, spoMark);
    EXPECT_EQ(stop, spoTwoBit);
    EXPECT_EQ(xon, 'Q');
    EXPECT_EQ(xoff, 'S');
    EXPECT_EQ(mode, spoXOnXOff);

    // RTS/CTS handshaking is the RTS control mode with both bits set.
    EXPECT_EQ(a->put_HandShakingMode(spoRTSCTS), S_OK);
    EXPECT_EQ(b->get_HandShakingMode(&mode), S_OK);
    EXPECT_EQ(mode, spoRTSCTS);
    EXPECT_FALSE(uart_->settings().xon_in);
    EXPECT_EQ(a->put_HandShakingMode(spoRTSCTSXOnXOff), S_OK);
    EXPECT_EQ(b->get_HandShakingMode(&mode), S_OK);
    EXPECT_EQ(mode, spoRTSCTSXOnXOff);
    EXPECT_TRUE(uart_->settings().xon_in && uart_->settings().xon_out);
}

TEST_F(SimPortTest, DriverKeptSettingsReadBackThroughAnotherClient)
{
    Ptr<ISerialPort> a(Open());
    Ptr<ISerialPort> b(Open());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->put_NULLDiscard(1), S_OK);
    EXPECT_EQ(a->put_ParityReplace(1), S_OK);
    EXPECT_EQ(a->put_ParityEnable(1), S_OK);
    EXPECT_EQ(a->put_DSRHandshakingEnable(1), S_OK);
    EXPECT_EQ(a->put_EventChar('!'), S_OK);
    EXPECT_EQ(a->put_ErrorChar('~'), S_OK);
    EXPECT_EQ(a->put_XOnLimit(1000), S_OK);
    EXPECT_EQ(a->put_XOffLimit(0), S_OK);  // 0 is a valid X-off limit
    VARIANT_BOOL flags[4] = {};
    CHAR evt = 0, err = 0;
    SHORT on = 0, off = -1;
    EXPECT_EQ(b->get_NULLDiscard(&flags[0]), S_OK);
    EXPECT_EQ(b->get_ParityReplace(&flags[1]), S_OK);
    EXPECT_EQ(b->get_ParityEnable(&flags[2]), S_OK);
    EXPECT_EQ(b->get_DSRHandshakingEnable(&flags[3]), S_OK);
    for (VARIANT_BOOL flag : flags)
        EXPECT_EQ(flag, 1);  // TRUE reads as 1, not -1
    EXPECT_EQ(b->get_EventChar(&evt), S_OK);
    EXPECT_EQ(b->get_ErrorChar(&err), S_OK);
    EXPECT_EQ(b->get_XOnLimit(&on), S_OK);
    EXPECT_EQ(b->get_XOffLimit(&off), S_OK);
    EXPECT_EQ(evt, '!');
    EXPECT_EQ(err, '~');
    EXPECT_EQ(on, 1000);
    EXPECT_EQ(off, 0);
    EXPECT_EQ(a->put_NULLDiscard(0), S_OK);
    EXPECT_EQ(b->get_NULLDiscard(&flags[0]), S_OK);
    EXPECT_EQ(flags[0], 0);

    // DSR handshaking takes the DSR sensitivity with it, on and off.
    const HANDLE hComm = tethra_.m_mapPorts.at(kPort)->m_hComm;
    auto dsr_bits = [hComm] {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(GetCommState(hComm, &dcb));
        return std::make_pair(DWORD{dcb.fOutxDsrFlow}, DWORD{dcb.fDsrSensitivity});
    };
    EXPECT_EQ(dsr_bits(), std::make_pair(DWORD{1}, DWORD{1}));
    EXPECT_EQ(a->put_DSRHandshakingEnable(0), S_OK);
    EXPECT_EQ(dsr_bits(), std::make_pair(DWORD{0}, DWORD{0}));
}

TEST_F(SimPortTest, ControlModesSetBehindThePortsBackReadAsUnexpected)
{
    Ptr<ISerialPort> port(Open());
    ASSERT_TRUE(port);
    const HANDLE hComm = tethra_.m_mapPorts.at(kPort)->m_hComm;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(hComm, &dcb));
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;  // not the mode RTSCTS writes
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fInX = 1;
    ASSERT_TRUE(SetCommState(hComm, &dcb));
    HandShakingConstants mode = spoHandshakingNone;
    VARIANT_BOOL enabled = 0;
    EXPECT_EQ(port->get_HandShakingMode(&mode), E_UNEXPECTED);
    EXPECT_EQ(mode, spoRTSCTSXOnXOff);  // 2 plus the X-on/X-off bit
    EXPECT_EQ(port->get_DTREnable(&enabled), E_UNEXPECTED);
    EXPECT_EQ(enabled, 1);
}

TEST_F(SimPortTest, AGoneDeviceFailsTheCallsThatReachIt)
{
    Ptr<ISerialPort> port(Open());
    ASSERT_TRUE(port);
    EXPECT_EQ(port->put_Break(1), S_OK);
    // A write held on the line fails when the device goes: from then on the driver
    // refuses every call.
    uart_->hold_output(true);
    VARIANT bytes = ByteArray("x");
    auto send = std::async(std::launch::async, [&] { return port->Send(bytes, VARIANT_TRUE); });
    uart_->unplug();
    EXPECT_EQ(send.get(), E_FAIL);
    VariantClear(&bytes);

    ULONG timeout = 77;
    EXPECT_EQ(port->get_ReadTotalTimeoutConst(&timeout), E_FAIL);
    EXPECT_EQ(timeout, 0U);
    // Break compares its argument, sign-extended, with the flag it keeps (1): 1 needs no
    // device call, TRUE given as -1 does.
    EXPECT_EQ(port->put_Break(1), S_OK);
    EXPECT_EQ(port->put_Break(VARIANT_TRUE), E_FAIL);
    VARIANT_BOOL active = 0;
    EXPECT_EQ(port->get_Break(&active), S_OK);
    EXPECT_EQ(active, 1);
}

TEST_F(SimPortTest, EachTimeoutChangesOnlyItsOwnField)
{
    Ptr<ISerialPort> port(Open());
    ASSERT_TRUE(port);
    ISerialPort* p = port.get();
    auto read_all = [p] {
        std::vector<ULONG> v(5, 0);
        EXPECT_EQ(p->get_ReadIntervalTimeOut(&v[0]), S_OK);
        EXPECT_EQ(p->get_ReadTotalTimeoutMult(&v[1]), S_OK);
        EXPECT_EQ(p->get_ReadTotalTimeoutConst(&v[2]), S_OK);
        EXPECT_EQ(p->get_WriteTotalTimeoutMult(&v[3]), S_OK);
        EXPECT_EQ(p->get_WriteTotalTimeoutConst(&v[4]), S_OK);
        return v;
    };
    const std::function<HRESULT(ULONG)> setters[] = {
        [p](ULONG v) { return p->put_ReadIntervalTimeOut(v); },
        [p](ULONG v) { return p->put_ReadTotalTimeoutMult(v); },
        [p](ULONG v) { return p->put_ReadTotalTimeoutConst(v); },
        [p](ULONG v) { return p->put_WriteTotalTimeoutMult(v); },
        [p](ULONG v) { return p->put_WriteTotalTimeoutConst(v); },
    };
    for (std::size_t i = 0; i < std::size(setters); ++i) {
        std::vector<ULONG> expected = read_all();
        expected[i] = i == 0 ? 0xFFFFFFFFU : 100 + static_cast<ULONG>(i);  // no value refused
        EXPECT_EQ(setters[i](expected[i]), S_OK);
        EXPECT_EQ(read_all(), expected) << i;
    }
}

TEST_F(SimPortTest, DtrIsDrivenByHandOnlyWhileEnabled)
{
    Ptr<ISerialPort> a(Open());
    Ptr<ISerialPort> b(Open());
    PropertySink heard;
    ASSERT_NE(Advise(b.get(), IID_IPropertyNotifySink, &heard), 0U);
    VARIANT_BOOL line = -2;

    EXPECT_EQ(a->put_DTRLine(1), E_FAIL);  // DTR is not enabled yet
    EXPECT_EQ(a->put_DTRLine(0), E_FAIL);
    EXPECT_FALSE(uart_->dtr());
    EXPECT_EQ(a->put_DTREnable(1), S_OK);
    EXPECT_TRUE(uart_->dtr());
    EXPECT_EQ(b->get_DTRLine(&line), S_OK);
    EXPECT_EQ(line, 1);
    EXPECT_EQ(a->put_DTRLine(0), S_OK);
    EXPECT_FALSE(uart_->dtr());
    EXPECT_EQ(heard.take(), "R13 C13 R26 C26");
    EXPECT_EQ(a->put_DTRLine(VARIANT_TRUE), S_OK);
    EXPECT_TRUE(uart_->dtr());
    EXPECT_EQ(b->get_DTRLine(&line), S_OK);
    EXPECT_EQ(line, VARIANT_TRUE);  // kept as given
    // Disabling DTR lowers it, and DTRLine follows.
    EXPECT_EQ(a->put_DTREnable(0), S_OK);
    EXPECT_FALSE(uart_->dtr());
    EXPECT_EQ(b->get_DTRLine(&line), S_OK);
    EXPECT_EQ(line, 0);
    b.reset();
    EXPECT_EQ(heard.refs.load(), 0U);
}

TEST_F(SimPortTest, RtsLineAndHandshakingShareTheRtsControlMode)
{
    Ptr<ISerialPort> port(Open());
    VARIANT_BOOL rts = -2;
    EXPECT_EQ(port->put_RTSLine(1), S_OK);
    EXPECT_TRUE(uart_->rts());
    EXPECT_EQ(port->put_RTSLine(0), S_OK);
    EXPECT_FALSE(uart_->rts());
    EXPECT_EQ(port->get_RTSLine(&rts), S_OK);
    EXPECT_EQ(rts, 1);  // the control mode, enabled by the open, not the level

    // Handshaking off with RTS low leaves RTS control disabled ...
    EXPECT_EQ(port->put_HandShakingMode(spoRTSCTS), S_OK);
    EXPECT_EQ(port->put_HandShakingMode(spoHandshakingNone), S_OK);
    EXPECT_EQ(port->get_RTSLine(&rts), S_OK);
    EXPECT_EQ(rts, 0);
    // ... and raising RTS from there enables it again.
    EXPECT_EQ(port->put_RTSLine(1), S_OK);
    EXPECT_TRUE(uart_->rts());
    EXPECT_EQ(port->get_RTSLine(&rts), S_OK);
    EXPECT_EQ(rts, 1);
    // Handshaking off with RTS raised leaves RTS control enabled.
    EXPECT_EQ(port->put_HandShakingMode(spoRTSCTS), S_OK);
    EXPECT_EQ(port->put_HandShakingMode(spoHandshakingNone), S_OK);
    EXPECT_EQ(port->get_RTSLine(&rts), S_OK);
    EXPECT_EQ(rts, 1);
}

TEST_F(SimPortTest, BreakAndTheModemLinesReflectTheLine)
{
    Ptr<ISerialPort> port(Open());
    VARIANT_BOOL value = -2;
    EXPECT_EQ(port->put_Break(1), S_OK);
    EXPECT_TRUE(uart_->in_break());
    EXPECT_EQ(port->put_Break(1), S_OK);
    EXPECT_EQ(port->get_Break(&value), S_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(port->put_Break(0), S_OK);
    EXPECT_FALSE(uart_->in_break());

    const struct {
        DWORD bits;
        int cd, cts, dsr;
    } lines[] = {{MS_RLSD_ON, 1, 0, 0}, {MS_CTS_ON, 0, 1, 0}, {MS_DSR_ON, 0, 0, 1}, {0, 0, 0, 0}};
    for (const auto& line : lines) {
        uart_->set_modem_lines(line.bits);
        VARIANT_BOOL cd = -2, cts = -2, dsr = -2;
        EXPECT_EQ(port->get_CDLine(&cd), S_OK);
        EXPECT_EQ(port->get_CTSLine(&cts), S_OK);
        EXPECT_EQ(port->get_DSRLine(&dsr), S_OK);
        EXPECT_EQ(cd, line.cd);
        EXPECT_EQ(cts, line.cts);
        EXPECT_EQ(dsr, line.dsr);
    }
}

// ---- bad input ---------------------------------------------------------------------------------

TEST_F(ChangeProtocolTest, OutOfRangeArgumentsAreRefusedBeforeAnyoneIsAsked)
{
    const platform::line_settings before = uart_->settings();
    ISerialPort* a = ports_[0];
    EXPECT_EQ(a->put_Bits(3), E_INVALIDARG);
    EXPECT_EQ(a->put_Bits(9), E_INVALIDARG);
    EXPECT_EQ(a->put_ParityScheme(static_cast<ParitySchemeConstants>(5)), E_INVALIDARG);
    EXPECT_EQ(a->put_ParityScheme(static_cast<ParitySchemeConstants>(-1)), E_INVALIDARG);
    EXPECT_EQ(a->put_XOnLimit(0), E_INVALIDARG);
    EXPECT_EQ(a->put_ReceiveBufferSize(0), E_INVALIDARG);
    EXPECT_EQ(Heard(), "||");
    // The lock was left on every path: another thread goes straight through.
    ULONG size = 0;
    std::thread([&] { EXPECT_EQ(ports_[1]->get_ReceiveBufferSize(&size), S_OK); }).join();
    EXPECT_EQ(size, 512U);

    // What the device refuses is asked about but not announced, and not written.
    EXPECT_EQ(a->put_StopBits(static_cast<StopBitsConstants>(7)), E_FAIL);
    EXPECT_EQ(a->put_StopBits(spoOne5Bit), E_FAIL);  // not with 8 data bits
    EXPECT_EQ(a->put_BaudRate(0), E_FAIL);
    EXPECT_EQ(a->put_Bits(4), E_FAIL);
    EXPECT_EQ(Heard(), "|R18 R18 R25 R17|R18 R18 R25 R17");
    const platform::line_settings after = uart_->settings();
    EXPECT_EQ(after.baud, before.baud);
    EXPECT_EQ(after.data_bits, before.data_bits);
    EXPECT_EQ(after.stop_bits, before.stop_bits);
    EXPECT_EQ(after.parity, before.parity);

    // So are time-outs: the driver refuses all three read time-outs at MAXDWORD.
    EXPECT_EQ(a->put_ReadIntervalTimeOut(MAXDWORD), S_OK);
    EXPECT_EQ(a->put_ReadTotalTimeoutMult(MAXDWORD), S_OK);
    Heard();
    EXPECT_EQ(a->put_ReadTotalTimeoutConst(MAXDWORD), E_FAIL);
    EXPECT_EQ(Heard(), "|R30|R30");
    ULONG constant = 0;
    EXPECT_EQ(ports_[1]->get_ReadTotalTimeoutConst(&constant), S_OK);
    EXPECT_EQ(constant, 500U);
}

TEST_F(SimPortTest, NullResultPointersAreRefused)
{
    Ptr<ISerialPort> port(Open());
    ISerialPort* p = port.get();
    // One getter of each kind: line state, port number, DCB, flag, time-out, buffer size.
    EXPECT_EQ(p->get_CDLine(nullptr), E_POINTER);
    EXPECT_EQ(p->get_PortNum(nullptr), E_POINTER);
    EXPECT_EQ(p->get_HandShakingMode(nullptr), E_POINTER);
    EXPECT_EQ(p->get_ErrorChar(nullptr), E_POINTER);
    EXPECT_EQ(p->get_XOnChar(nullptr), E_INVALIDARG);  // this one answers so
    EXPECT_EQ(p->get_DTRLine(nullptr), E_POINTER);
    EXPECT_EQ(p->get_Break(nullptr), E_POINTER);
    EXPECT_EQ(p->get_WriteTotalTimeoutMult(nullptr), E_POINTER);
    EXPECT_EQ(p->get_ReceiveBufferSize(nullptr), E_POINTER);
    CHAR zero = 0;
    EXPECT_EQ(p->get_ErrorChar(&zero), S_OK);
}

// The messages of one setter, in order and with their levels: put_NULLDiscard has one
// blank after its prefix, put_BaudRate and put_ParityScheme trace their exit at level 1.
TEST_F(SimPortTest, SettersTraceTheirStepsAtTheirLevels)
{
    Ptr<ISerialPort> port(Open());
    auto texts = [](TraceLines& trace) {
        trace.finish();
        std::vector<std::string> out;
        for (const std::string& line : trace.lines())
            out.push_back(line.substr(line.find("::") + 2));  // without the address
        return out;
    };
    TraceLines all(TRACE_CAT_SERIALPORT, 4);
    EXPECT_EQ(port->put_NULLDiscard(1), S_OK);
    const std::vector<std::string> lines = texts(all);
    const std::string prefix = "put_NULLDiscard(0, 1) ";
    const std::vector<std::string> expected = {
        prefix,
        prefix + "Getting current comm state and permission to change this property",
        "RequestPropertyChange(0, 5, 1, 0)",
        "FireOnRequestEdit(0, ",
        "FireOnRequestEdit(0, ",
        "RequestPropertyChange(0, 5, 1, 0)  Returning 0",
        prefix + "Request property change hr = 0",
        prefix + "Setting the new value.",
        prefix + "Value set.  Firing change notifications.",
        "FireOnChanged(0, ",
        "FireOnChanged(0, ",
        prefix + "Returning 0",
    };
    ASSERT_EQ(lines.size(), expected.size()) << ::testing::PrintToString(lines);
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].substr(0, expected[i].size()), expected[i]) << i;

    TraceLines entries(TRACE_CAT_SERIALPORT, 1);
    EXPECT_EQ(port->put_BaudRate(2400), S_OK);
    EXPECT_EQ(port->put_Bits(7), S_OK);
    const std::vector<std::string> level1 = texts(entries);
    EXPECT_EQ(std::count_if(level1.begin(), level1.end(),
                            [](const std::string& l) { return l.find("Returning") != l.npos; }),
              1);
}

}  // namespace
