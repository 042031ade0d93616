// The shared port on what the serial driver does underneath: sends that overlap on a
// real pseudo-terminal, extreme time-out properties, DTR after enabling it again, and
// how soon the port with its default settings hands a short message to its clients.
#include "port/SerialPort.h"
#include "port/SerialPortManager.h"
#include "port/tests/port_test_support.h"

#include <chrono>
#include <thread>

namespace {

// Asynchronous sends queue while the one before is still being written; a synchronous
// send behind them waits its turn. Every byte arrives once, in order.
TEST_F(PtyPortTest, BigSendsBackToBackArriveWhole)
{
    Ptr<ISerialPort> port(Open());
    ASSERT_TRUE(port);
    constexpr std::size_t kPart = 128 * 1024;
    std::vector<BYTE> got;
    std::thread reader([&] { got = peer_.receive(4 * kPart, 10000); });
    std::string expected;
    for (unsigned i = 0; i < 4; ++i) {
        std::string part = platform::testing::pattern_bytes(kPart, i + 1);
        VARIANT v = ByteArray(part);
        EXPECT_EQ(port->Send(v, i == 3 ? VARIANT_TRUE : VARIANT_FALSE), S_OK) << i;
        VariantClear(&v);
        expected += part;
    }
    reader.join();
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(std::string(got.begin(), got.end()) == expected);
    port.reset();
}

// MAXDWORD multipliers and constants with a big receive buffer: the outstanding read
// neither ends at once (the port would spin re-reading) nor stops the bytes; the port
// closes cleanly.
TEST_F(PtyPortTest, ExtremeTimeoutPropertiesNeitherSpinNorStall)
{
    TestSink sink;
    Ptr<ISerialPort> port(Open(&sink));
    ASSERT_TRUE(port);
    EXPECT_EQ(port->put_ReadTotalTimeoutMult(MAXDWORD), S_OK);
    EXPECT_EQ(port->put_ReadTotalTimeoutConst(MAXDWORD), S_OK);
    EXPECT_EQ(port->put_WriteTotalTimeoutMult(MAXDWORD), S_OK);
    EXPECT_EQ(port->put_WriteTotalTimeoutConst(MAXDWORD), S_OK);
    EXPECT_EQ(port->put_ReceiveBufferSize(1 << 20), S_OK);
    // The read outstanding now was started with the old settings: a byte ends it, and
    // the next read takes the new ones.
    ASSERT_TRUE(peer_.send("a"));
    ASSERT_TRUE(sink.wait_received("a"));

    const double before = platform::testing::process_cpu_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(platform::testing::process_cpu_ms() - before, 150.0);

    ASSERT_TRUE(peer_.send("ping"));
    EXPECT_TRUE(sink.wait_received("aping"));
    VARIANT v = ByteArray(platform::testing::pattern_bytes(4096, 7));
    EXPECT_EQ(port->Send(v, VARIANT_TRUE), S_OK);
    VariantClear(&v);
    EXPECT_EQ(peer_.receive(4096, 10000).size(), 4096U);
    port.reset();
}

// With its default settings the port hands a short message on a few milliseconds after
// its last byte, not when the read's total time-out runs out.
TEST_F(PtyPortTest, DefaultPortDeliversAShortMessageSoon)
{
    TestSink sink;
    Ptr<ISerialPort> port(Open(&sink));
    ASSERT_TRUE(port);
    for (int i = 0; i < 3; ++i) {
        const std::string message = "key " + std::to_string(i) + "\r\n";
        const std::string expected = sink.received() + message;
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(peer_.send(message));
        ASSERT_TRUE(sink.wait_received(expected));
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(250)) << i;
    }
    port.reset();
}

// Enabling DTR control when it is enabled already (TRUE given as -1 runs the change)
// raises the line again, so DTRLine, which then reads TRUE, tells the truth.
TEST_F(SimPortTest, DtrLineAgreesWithTheLineWhenEnabledAgain)
{
    Ptr<ISerialPort> port(Open());
    ASSERT_TRUE(port);
    ASSERT_EQ(port->put_DTREnable(1), S_OK);
    for (VARIANT_BOOL enable : {VARIANT_BOOL{-1}, VARIANT_BOOL{1}, VARIANT_BOOL{-1}}) {
        ASSERT_EQ(port->put_DTRLine(VARIANT_FALSE), S_OK);
        EXPECT_FALSE(uart_->dtr());
        ASSERT_EQ(port->put_DTREnable(enable), S_OK);
        VARIANT_BOOL line = 0;
        ASSERT_EQ(port->get_DTRLine(&line), S_OK);
        EXPECT_EQ(line != 0, uart_->dtr()) << enable;
    }
    port.reset();
}

}  // namespace
