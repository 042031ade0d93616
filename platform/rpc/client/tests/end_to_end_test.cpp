// The client library against the real server runtime in another process, on a private
// bus, with a pseudo-terminal as the port: the same client code runs against the port
// registry in this process and against the server's; two clients share a port and one
// refuses the other's change; one client holds two objects of a port; the last release
// closes the device; a server that is gone gives clear HRESULTs.
#include "platform/rpc/client/client.h"
#include "platform/rpc/client/proxy.h"
#include "platform/rpc/client/tests/child_process.h"
#include "platform/rpc/client/tests/client_test_support.h"
#include "port/tests/port_test_support.h"

#include <signal.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

using rpc_client_test::BusEnvironment;
using rpc_client_test::child_process;

constexpr LONG kPtyPort = 43;
constexpr LONG kUnmappedPort = 96;  // /dev/ttyACM31 by the default rule, not there


// The bytes of every OnData so far, once at least count have come.
std::string wait_bytes(TestSink& sink, std::size_t count)
{
    std::string bytes;
    sink.wait([&] {
        bytes.clear();
        for (const SinkCall& call : sink.calls())
            bytes += call.bytes;
        return bytes.size() >= count;
    });
    return bytes;
}

// A client's whole life on one port, written once against ITethra: open, receive what the
// far end sends, send to it, read and change settings of every parameter type, meet the
// failures a client meets, and go, which closes the device.
void use_port(ITethra* pTethra, const platform::testing::pty_peer& peer)
{
    ISerialPort* pPort = reinterpret_cast<ISerialPort*>(&pPort);
    EXPECT_EQ(pTethra->CreatePort(kUnmappedPort, &pPort), E_UNEXPECTED);
    EXPECT_EQ(pPort, nullptr);
    EXPECT_EQ(pTethra->CreatePort(kPtyPort, nullptr), E_POINTER);
    ASSERT_EQ(pTethra->CreatePort(kPtyPort, &pPort), S_OK);

    PlainUnknown plain;
    EXPECT_EQ(Advise(pPort, DIID__ISerialPortEvents, &plain), 0u);
    EXPECT_EQ(plain.refs.load(), 0u);
    EXPECT_EQ(Advise(pPort, IID_ITethra, &plain), 0u);
    TestSink sink;
    const DWORD dwCookie = Advise(pPort, DIID__ISerialPortEvents, &sink);
    ASSERT_NE(dwCookie, 0u);

    ASSERT_TRUE(peer.send("from the far end"));
    EXPECT_EQ(wait_bytes(sink, 16), "from the far end");
    EXPECT_EQ(sink.calls()[0].vt, VT_ARRAY | VT_UI1);

    VARIANT v = ByteArray("to the far end");
    EXPECT_EQ(pPort->Send(v, VARIANT_TRUE), S_OK);
    VariantClear(&v);
    const std::vector<BYTE> got = peer.receive(14, 60000);
    EXPECT_EQ(std::string(got.begin(), got.end()), "to the far end");
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(pPort->Send(empty, VARIANT_TRUE), E_INVALIDARG);

    EXPECT_EQ(pPort->put_BaudRate(57600), S_OK);
    EXPECT_EQ(pPort->put_XOffChar(static_cast<CHAR>(0xF3)), S_OK);
    EXPECT_EQ(pPort->put_XOnLimit(300), S_OK);
    EXPECT_EQ(pPort->put_HandShakingMode(spoXOnXOff), S_OK);
    EXPECT_EQ(pPort->put_DTREnable(VARIANT_TRUE), S_OK);
    ULONG ulBaud = 0;
    CHAR cXOff = 0;
    SHORT sXOnLimit = 0;
    BYTE bBits = 0;
    VARIANT_BOOL bDtr = VARIANT_FALSE;
    HandShakingConstants mode = spoRTSCTSXOnXOff;
    LONG lPort = 0;
    EXPECT_EQ(pPort->get_BaudRate(&ulBaud), S_OK);
    EXPECT_EQ(pPort->get_XOffChar(&cXOff), S_OK);
    EXPECT_EQ(pPort->get_XOnLimit(&sXOnLimit), S_OK);
    EXPECT_EQ(pPort->get_Bits(&bBits), S_OK);
    EXPECT_EQ(pPort->get_DTREnable(&bDtr), S_OK);
    EXPECT_EQ(pPort->get_HandShakingMode(&mode), S_OK);
    EXPECT_EQ(pPort->get_PortNum(&lPort), S_OK);
    EXPECT_EQ(ulBaud, 57600u);
    EXPECT_EQ(static_cast<BYTE>(cXOff), 0xF3);  // a signed character keeps its bit pattern
    EXPECT_EQ(sXOnLimit, 300);
    EXPECT_EQ(bBits, 8);  // a pseudo-terminal keeps eight data bits
    EXPECT_EQ(mode, spoXOnXOff);
    EXPECT_EQ(bDtr, 1);  // a boolean property reads 1 for TRUE
    EXPECT_EQ(lPort, kPtyPort);
    EXPECT_EQ(pPort->put_HandShakingMode(mode), S_FALSE);  // nothing changed

    // IDispatch goes through the same members.
    LPOLESTR name = const_cast<LPOLESTR>("BaudRate");
    DISPID dispid = 0;
    ASSERT_EQ(pPort->GetIDsOfNames(IID_NULL, &name, 1, 0, &dispid), S_OK);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(pPort->Invoke(dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                            nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_UI4);
    EXPECT_EQ(result.ulVal, 57600u);

    EXPECT_EQ(Unadvise(pPort, DIID__ISerialPortEvents, dwCookie), S_OK);
    // The connection's reference is given back; a notification under way holds its own
    // until its call returns.
    EXPECT_TRUE(sink.wait_refs(0));
    EXPECT_EQ(Unadvise(pPort, DIID__ISerialPortEvents, dwCookie), CONNECT_E_NOCONNECTION);
    pPort->Release();
    EXPECT_TRUE(peer.wait_closed(60000));
}

class RemoteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(BusEnvironment::bus && BusEnvironment::bus->ready());
        ASSERT_TRUE(registry_.ready());
        ASSERT_TRUE(peer_.ready());
        ASSERT_EQ(registry_.map_port(peer_.path(), kPtyPort), ERROR_SUCCESS);
        rpc_client_test::register_progid("Ostra.Tethra");
        server_ = std::make_unique<child_process>(std::vector<std::string>{TEST_SERVER});
        ASSERT_FALSE(server_->first_line().empty());
        CLSID clsid = CLSID_NULL;
        ASSERT_EQ(CLSIDFromProgID("Ostra.Tethra", &clsid), S_OK);
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                   reinterpret_cast<void**>(&tethra_)),
                  S_OK);
    }
    void TearDown() override
    {
        if (tethra_)
            tethra_->Release();
        server_.reset();
    }

    platform::testing::temp_registry registry_;
    platform::testing::pty_peer peer_;
    std::unique_ptr<child_process> server_;
    ITethra* tethra_ = nullptr;
};

TEST_F(RemoteTest, TheSameClientCodeRunsAgainstTheServersRegistry)
{
    use_port(tethra_, peer_);
}

TEST(InProcessTest, TheSameClientCodeRunsAgainstARegistryInThisProcess)
{
    platform::testing::temp_registry registry;
    platform::testing::pty_peer peer;
    ASSERT_TRUE(registry.ready() && peer.ready());
    ASSERT_EQ(registry.map_port(peer.path(), kPtyPort), ERROR_SUCCESS);
    CTethra tethra;
    use_port(&tethra, peer);
}

TEST_F(RemoteTest, AnotherClientsRefusalFailsTheChangeAndLeavesTheSetting)
{
    ISerialPort* pPort = nullptr;
    ASSERT_EQ(tethra_->CreatePort(kPtyPort, &pPort), S_OK);
    ASSERT_EQ(pPort->put_BaudRate(19200), S_OK);
    {
        child_process other({REFUSING_CLIENT, std::to_string(kPtyPort)});
        ASSERT_EQ(other.first_line(), "ready");
        EXPECT_EQ(pPort->put_BaudRate(38400), E_FAIL);
        ULONG ulBaud = 0;
        EXPECT_EQ(pPort->get_BaudRate(&ulBaud), S_OK);
        EXPECT_EQ(ulBaud, 19200u);
        // A client that is killed leaves nothing behind: the next change goes through.
        other.kill(SIGKILL);
    }
    EXPECT_EQ(pPort->put_BaudRate(38400), S_OK);
    pPort->Release();
    EXPECT_TRUE(peer_.wait_closed(60000));
}

TEST_F(RemoteTest, AClientWithTwoObjectsOfOnePortAnswersForOneWhileTheOtherChanges)
{
    ISerialPort* pFirst = nullptr;
    ISerialPort* pSecond = nullptr;
    ASSERT_EQ(tethra_->CreatePort(kPtyPort, &pFirst), S_OK);
    ASSERT_EQ(tethra_->CreatePort(kPtyPort, &pSecond), S_OK);
    PropertySink sink;
    ASSERT_NE(Advise(pSecond, IID_IPropertyNotifySink, &sink), 0u);

    // The server asks the second object's sink while this thread waits in the setter.
    EXPECT_EQ(pFirst->put_BaudRate(4800), S_OK);
    EXPECT_EQ(sink.take(), "R25 C25");
    ULONG ulBaud = 0;
    EXPECT_EQ(pSecond->get_BaudRate(&ulBaud), S_OK);
    EXPECT_EQ(ulBaud, 4800u);

    // One of two objects goes: the device stays open.
    pFirst->Release();
    VARIANT v = ByteArray("still open");
    EXPECT_EQ(pSecond->Send(v, VARIANT_TRUE), S_OK);
    VariantClear(&v);
    const std::vector<BYTE> got = peer_.receive(10, 60000);
    EXPECT_EQ(std::string(got.begin(), got.end()), "still open");
    pSecond->Release();
    EXPECT_TRUE(peer_.wait_closed(60000));
    EXPECT_EQ(sink.refs.load(), 0u);
}

TEST_F(RemoteTest, ASinkMayUnadviseItselfFromItsHandler)
{
    ISerialPort* pPort = nullptr;
    ASSERT_EQ(tethra_->CreatePort(kPtyPort, &pPort), S_OK);
    TestSink sink;
    DWORD dwCookie = 0;
    HRESULT hrInside = E_FAIL;
    sink.on_data = [&] { hrInside = Unadvise(pPort, DIID__ISerialPortEvents, dwCookie); };
    dwCookie = Advise(pPort, DIID__ISerialPortEvents, &sink);
    ASSERT_NE(dwCookie, 0u);
    ASSERT_TRUE(peer_.send("x"));
    ASSERT_TRUE(sink.wait_refs(0));
    EXPECT_EQ(hrInside, S_OK);
    EXPECT_EQ(sink.count(), 1u);
    pPort->Release();
    EXPECT_TRUE(peer_.wait_closed(60000));
}

TEST_F(RemoteTest, ObjectsAreReachedAtTheServerThatAnsweredAfterItLetsTheNameGo)
{
    server_->signal(SIGUSR1);
    ASSERT_EQ(server_->read_line(), "suspended");
    ISerialPort* pPort = nullptr;
    EXPECT_EQ(tethra_->CreatePort(kPtyPort, &pPort), S_OK);
    void* pv = &pv;
    EXPECT_EQ(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra, &pv),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(pv, nullptr);
    if (pPort)
        pPort->Release();
    EXPECT_TRUE(peer_.wait_closed(60000));
}

TEST_F(RemoteTest, AServerThatLeavesDuringACallEndsItWithDisconnected)
{
    ISerialPort* pPort = nullptr;
    ASSERT_EQ(tethra_->CreatePort(kPtyPort, &pPort), S_OK);
    // Nobody reads the far end, so a large synchronous send waits in the server.
    VARIANT v = ByteArray(std::string(4 * 1024 * 1024, 'x'));
    HRESULT hr = S_OK;
    std::thread sending([&] { hr = pPort->Send(v, VARIANT_TRUE); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the send reach the device
    server_->kill(SIGKILL);
    sending.join();
    EXPECT_EQ(hr, RPC_E_DISCONNECTED);
    VariantClear(&v);
    pPort->Release();
}

TEST_F(RemoteTest, AsynchronousSendsGoOutWithoutWaitingKeepTheirOrderAndReportARefusalLater)
{
    ISerialPort* pPort = nullptr;
    ASSERT_EQ(tethra_->CreatePort(kPtyPort, &pPort), S_OK);
    std::string sent;
    auto send = [&](int i) {
        const std::string text = "#" + std::to_string(i) + ";";
        VARIANT v = ByteArray(text);
        const HRESULT hr = pPort->Send(v, VARIANT_FALSE);
        VariantClear(&v);
        if (hr == S_OK)
            sent += text;
        return hr;
    };
    // A server that answers nothing for now: a window of sends still returns at once.
    server_->signal(SIGSTOP);
    auto first = std::async(std::launch::async, [&] {
        for (UINT i = 0; i < platform::rpc::client::remote_object::kSendWindow; ++i)
            if (send(static_cast<int>(i)) != S_OK)
                return false;
        return true;
    });
    const bool returned = first.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    server_->signal(SIGCONT);
    EXPECT_TRUE(returned) << "an asynchronous Send waited for the server";
    EXPECT_TRUE(first.get());
    for (int i = 100; i < 400; ++i)
        ASSERT_EQ(send(i), S_OK);
    const std::vector<BYTE> got = peer_.receive(sent.size(), 60000);
    EXPECT_EQ(std::string(got.begin(), got.end()), sent);

    // Refused while on the way (the server is gone): a later Send says so, within a window.
    server_->kill(SIGKILL);
    HRESULT hr = S_OK;
    for (UINT i = 0; i <= platform::rpc::client::remote_object::kSendWindow && hr == S_OK; ++i)
        hr = send(1000);
    EXPECT_EQ(hr, RPC_E_DISCONNECTED);
    pPort->Release();
}

TEST_F(RemoteTest, AServerThatIsGoneGivesDisconnectedAndNoHang)
{
    ISerialPort* pPort = nullptr;
    ASSERT_EQ(tethra_->CreatePort(kPtyPort, &pPort), S_OK);
    server_->kill(SIGKILL);
    ULONG ulBaud = 0;
    EXPECT_EQ(pPort->get_BaudRate(&ulBaud), RPC_E_DISCONNECTED);
    VARIANT v = ByteArray("lost");
    EXPECT_EQ(pPort->Send(v, VARIANT_TRUE), RPC_E_DISCONNECTED);
    VariantClear(&v);
    pPort->Release();
    void* pv = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra, &pv),
              REGDB_E_CLASSNOTREG);
}

}  // namespace
