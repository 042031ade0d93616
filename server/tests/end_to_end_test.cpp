// In-process end to end on a pseudo-terminal mapped to a COM number: two client objects
// from one registry share the port, a 4 MiB stream from the peer reaches both byte for
// byte, the clients' sends reach the peer in queue order, and the device closes with the
// last client and opens again for the next.
#include "port/tests/port_test_support.h"

namespace {

class PtyPortTest : public SimPortTest {
protected:
    static constexpr LONG kPtyPort = 42;

    void SetUp() override
    {
        SimPortTest::SetUp();
        ASSERT_TRUE(peer_.ready());
        ASSERT_EQ(registry_.map_port(peer_.path(), kPtyPort), ERROR_SUCCESS);
    }
    ISerialPort* OpenPty()
    {
        ISerialPort* pPort = nullptr;
        EXPECT_EQ(tethra_.CreatePort(kPtyPort, &pPort), S_OK);
        return pPort;
    }

    platform::testing::pty_peer peer_;
};

std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    unsigned state = 12345;
    for (char& c : bytes) {
        state = state * 1103515245U + 12345U;
        c = static_cast<char>(state >> 16);
    }
    return bytes;
}

TEST_F(PtyPortTest, AStreamFromThePeerReachesBothClientsByteForByte)
{
    Ptr<ISerialPort> a(OpenPty());
    Ptr<ISerialPort> b(OpenPty());
    ASSERT_TRUE(a && b);
    StreamSink sinks[2];
    ASSERT_NE(Advise(a.get(), DIID__ISerialPortEvents, &sinks[0]), 0U);
    ASSERT_NE(Advise(b.get(), DIID__ISerialPortEvents, &sinks[1]), 0U);

    const std::string stream = Pattern(4 * 1024 * 1024);
    ASSERT_TRUE(peer_.send(stream));
    for (StreamSink& sink : sinks) {
        const std::string received = sink.wait_bytes(stream.size());
        ASSERT_EQ(received.size(), stream.size());
        EXPECT_TRUE(received == stream);
    }
    a.reset();
    b.reset();
    for (StreamSink& sink : sinks)
        EXPECT_EQ(sink.refs.load(), 0U);
}

TEST_F(PtyPortTest, SendsOfBothClientsReachThePeerInQueueOrder)
{
    Ptr<ISerialPort> a(OpenPty());
    Ptr<ISerialPort> b(OpenPty());
    ASSERT_TRUE(a && b);
    std::string expected;
    for (int i = 0; i < 40; ++i) {
        const std::string part = (i % 2 ? "b" : "a") + std::to_string(i) + Pattern(100 + i);
        VARIANT v = ByteArray(part);
        EXPECT_EQ((i % 2 ? b : a)->Send(v, i % 4 < 2 ? VARIANT_TRUE : VARIANT_FALSE), S_OK);
        VariantClear(&v);
        expected += part;
    }
    const std::vector<BYTE> got = peer_.receive(expected.size(), 60000);
    EXPECT_EQ(std::string(got.begin(), got.end()), expected);
}

TEST_F(PtyPortTest, TheDeviceClosesWithTheLastClientAndOpensForTheNext)
{
    ISerialPort* a = OpenPty();
    ISerialPort* b = OpenPty();
    ASSERT_TRUE(a && b);
    a->Release();
    // Still open: the other client's bytes still get through.
    VARIANT v = ByteArray("still here");
    EXPECT_EQ(b->Send(v, VARIANT_TRUE), S_OK);
    std::vector<BYTE> got = peer_.receive(10, 60000);
    EXPECT_EQ(std::string(got.begin(), got.end()), "still here");
    b->Release();
    EXPECT_TRUE(peer_.wait_closed(60000));
    EXPECT_TRUE(tethra_.m_mapPorts.empty());

    Ptr<ISerialPort> again(OpenPty());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->Send(v, VARIANT_TRUE), S_OK);
    got = peer_.receive(10, 60000);
    EXPECT_EQ(std::string(got.begin(), got.end()), "still here");
    VariantClear(&v);
}

}  // namespace
