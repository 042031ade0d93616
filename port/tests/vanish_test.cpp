// A port whose device vanishes and comes back, seen by its clients: the simulated UART
// unplugged and plugged in again, and a socat pair stopped and started again under the
// same link, mapped to a COM number.
#include "port/SerialPort.h"
#include "port/SerialPortManager.h"
#include "port/tests/port_test_support.h"

#include <chrono>

namespace {

using platform::testing::idle_cpu_ms_over_a_second;
using platform::testing::kIdleCpuBoundMs;

// Settings two clients make that the device would not have by itself.
void MakeSettings(ISerialPort* a, ISerialPort* b)
{
    ASSERT_EQ(a->put_BaudRate(19200), S_OK);
    ASSERT_EQ(b->put_Bits(7), S_OK);
    ASSERT_EQ(a->put_ParityScheme(spoEven), S_OK);
    ASSERT_EQ(a->put_ParityEnable(VARIANT_TRUE), S_OK);
    ASSERT_EQ(b->put_StopBits(spoTwoBit), S_OK);
    ASSERT_EQ(a->put_HandShakingMode(spoXOnXOff), S_OK);
    ASSERT_EQ(b->put_DTREnable(VARIANT_TRUE), S_OK);
    ASSERT_EQ(b->put_DTRLine(VARIANT_TRUE), S_OK);
    ASSERT_EQ(a->put_EventChar('!'), S_OK);
    ASSERT_EQ(b->put_ReadIntervalTimeOut(7), S_OK);
    ASSERT_EQ(a->put_ReceiveBufferSize(64), S_OK);
}

// A pseudo-terminal always holds 8 data bits and no parity: bPty leaves those out.
void ExpectSettingsKept(ISerialPort* port, bool bPty)
{
    ULONG ulValue = 0;
    EXPECT_EQ(port->get_BaudRate(&ulValue), S_OK);
    EXPECT_EQ(ulValue, 19200U);
    if (!bPty) {
        BYTE bits = 0;
        EXPECT_EQ(port->get_Bits(&bits), S_OK);
        EXPECT_EQ(bits, 7);
        ParitySchemeConstants parity = spoParityNone;
        EXPECT_EQ(port->get_ParityScheme(&parity), S_OK);
        EXPECT_EQ(parity, spoEven);
    }
    StopBitsConstants stop = spoOneBit;
    EXPECT_EQ(port->get_StopBits(&stop), S_OK);
    EXPECT_EQ(stop, spoTwoBit);
    HandShakingConstants mode = spoHandshakingNone;
    EXPECT_EQ(port->get_HandShakingMode(&mode), S_OK);
    EXPECT_EQ(mode, spoXOnXOff);
    VARIANT_BOOL dtr = 0;
    EXPECT_EQ(port->get_DTRLine(&dtr), S_OK);
    EXPECT_NE(dtr, 0);
    CHAR evt = 0;
    EXPECT_EQ(port->get_EventChar(&evt), S_OK);
    EXPECT_EQ(evt, '!');
    EXPECT_EQ(port->get_ReadIntervalTimeOut(&ulValue), S_OK);
    EXPECT_EQ(ulValue, 7U);
    EXPECT_EQ(port->get_ReceiveBufferSize(&ulValue), S_OK);
    EXPECT_EQ(ulValue, 64U);
}

TEST_F(SimPortTest, AVanishedDeviceIsReportedSendsFailAndItComesBackToTheSameClients)
{
    Ptr<ISerialPort> a(Open());
    Ptr<ISerialPort> b(Open());
    TestSink sinks[2];
    ASSERT_NE(Advise(a.get(), DIID__ISerialPortEvents, &sinks[0]), 0U);
    ASSERT_NE(Advise(b.get(), DIID__ISerialPortEvents, &sinks[1]), 0U);
    ASSERT_NO_FATAL_FAILURE(MakeSettings(a.get(), b.get()));
    uart_->send("before");
    for (TestSink& sink : sinks)
        ASSERT_TRUE(sink.wait_received("before"));

    // A synchronous send waiting for a held line when the adapter is pulled out.
    uart_->hold_output(true);
    HRESULT hrPending = S_OK;
    std::thread sender([&] {
        VARIANT v = ByteArray("stuck");
        hrPending = a->Send(v, VARIANT_TRUE);
        VariantClear(&v);
    });
    uart_->unplug();
    sender.join();
    EXPECT_EQ(hrPending, E_FAIL);
    for (TestSink& sink : sinks)
        EXPECT_TRUE(sink.wait_call(3, spoDeviceLostError));

    // Gone: sends of either kind fail at once, setters change nothing, the port sleeps.
    VARIANT v = ByteArray("lost");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(b->Send(v, VARIANT_TRUE), E_FAIL);
    EXPECT_EQ(b->Send(v, VARIANT_FALSE), E_FAIL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(a->put_BaudRate(300), E_FAIL);
    ASSERT_TRUE(uart_->wait_until([&] { return !uart_->is_open(); }, 5000));
    EXPECT_LT(idle_cpu_ms_over_a_second(), kIdleCpuBoundMs);

    // Back: the settings are on the fresh device before the clients hear of it.
    ASSERT_TRUE(uart_->replug());
    for (TestSink& sink : sinks)
        ASSERT_TRUE(sink.wait_call(2, spoDeviceBackEvent));
    platform::line_settings s = uart_->settings();
    EXPECT_EQ(s.baud, 19200U);
    EXPECT_EQ(s.data_bits, 7);
    EXPECT_EQ(s.parity, EVENPARITY);
    EXPECT_EQ(s.stop_bits, TWOSTOPBITS);
    EXPECT_TRUE(s.xon_out && s.xon_in);
    EXPECT_TRUE(uart_->dtr());
    ExpectSettingsKept(b.get(), false);

    // The same client objects and sinks receive and send again.
    uart_->send("after");
    for (TestSink& sink : sinks) {
        EXPECT_TRUE(sink.wait_received("beforeafter"));
        EXPECT_EQ(sink.count(3, spoDeviceLostError), 1);
        EXPECT_EQ(sink.count(2, spoDeviceBackEvent), 1);
    }
    EXPECT_EQ(b->Send(v, VARIANT_TRUE), S_OK);
    EXPECT_TRUE(uart_->wait_written(4, 5000));
    EXPECT_EQ(uart_->take_written(), std::vector<BYTE>({'l', 'o', 's', 't'}));
    VariantClear(&v);
    a.reset();
    b.reset();
}

// The same on a real terminal: socat's pair behind links in a directory of the test's
// own, the port mapped to one link; socat stopped, and started again with the same links.
using SocatPortTest = PortRegistryTest;
constexpr LONG kPort = 9;

TEST_F(SocatPortTest, APortOnALinkReopensWhenTheLinkComesBack)
{
    platform::testing::socat_pair pair;
    if (!pair.ready())
        GTEST_SKIP() << "socat is not available";
    ASSERT_EQ(registry_.map_port(pair.device(), kPort), ERROR_SUCCESS);
    TestSink sink;
    Ptr<ISerialPort> a(OpenNumber(kPort, &sink));
    Ptr<ISerialPort> b(OpenNumber(kPort, nullptr));
    ASSERT_TRUE(a && b);
    ASSERT_NO_FATAL_FAILURE(MakeSettings(a.get(), b.get()));

    pair.stop();
    ASSERT_TRUE(sink.wait_call(3, spoDeviceLostError));
    VARIANT v = ByteArray("x");
    EXPECT_EQ(b->Send(v, VARIANT_TRUE), E_FAIL);
    VariantClear(&v);
    EXPECT_LT(idle_cpu_ms_over_a_second(), kIdleCpuBoundMs);

    ASSERT_TRUE(pair.start());
    ASSERT_TRUE(sink.wait_call(2, spoDeviceBackEvent));
    platform::testing::socat_pair::tty_settings s;
    if (pair.device_settings(s)) {  // root only: the tty is in exclusive mode
        // A pty always holds 8 data bits and no parity.
        EXPECT_EQ(s.baud, 19200U);
        EXPECT_TRUE(s.two_stop_bits);
        EXPECT_TRUE(s.xon_out && s.xon_in);
    }
    ExpectSettingsKept(a.get(), true);
    ASSERT_TRUE(pair.send("hello"));
    EXPECT_TRUE(sink.wait_received("hello"));
    v = ByteArray("reply");
    EXPECT_EQ(b->Send(v, VARIANT_TRUE), S_OK);
    VariantClear(&v);
    EXPECT_EQ(pair.receive(5, 5000), "reply");
    a.reset();
    b.reset();
}

}  // namespace
