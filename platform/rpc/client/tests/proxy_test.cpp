// The client library against a scripted server on a private bus: creation, the
// marshalling of every parameter type through the generated proxies, sinks exported on
// the client's connection, and the failures a client must see as clear HRESULTs.
#include "platform/com/tests/test_objects.h"
#include "platform/rpc/client/bus.h"
#include "platform/rpc/client/client.h"
#include "platform/rpc/client/sink_host.h"
#include "platform/rpc/client/tests/child_process.h"
#include "platform/rpc/client/tests/client_test_support.h"
#include "platform/testing/testing.h"
#include "traffic/tests/test_sink.h"

#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <cstring>
#include <memory>

namespace {

using rpc_client_test::child_process;
using rpc_client_test::BusEnvironment;
using rpc_client_test::busctl;


// What the scripted server was asked, one line per call.
std::string server_log(const std::string& server = "Ostra.Tethra")
{
    return busctl("call " + server + " /Ostra/Tethra/Test Test.Peer Log");
}

// Tells the scripted server to call every advised sink of member's interface.
std::string fire(const std::string& member, const std::string& variant)
{
    return busctl("call Ostra.Tethra /Ostra/Tethra/Test Test.Peer Fire sv " + member + " " +
                  variant);
}

class ScriptedServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(BusEnvironment::bus && BusEnvironment::bus->ready());
        server_ = std::make_unique<child_process>(std::vector<std::string>{SCRIPTED_SERVER});
        ASSERT_FALSE(server_->first_line().empty());
        ASSERT_EQ(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                   reinterpret_cast<void**>(&tethra_)),
                  S_OK);
    }
    void TearDown() override
    {
        if (tethra_)
            tethra_->Release();
        server_.reset();
    }
    ISerialPort* open_port()
    {
        ISerialPort* port = nullptr;
        EXPECT_EQ(tethra_->CreatePort(1, &port), S_OK);
        return port;
    }

    std::unique_ptr<child_process> server_;
    ITethra* tethra_ = nullptr;
};

TEST(ProgIdTest, ClassKeysOfTheRegistryStoreNameTheClass)
{
    platform::testing::temp_registry registry;
    ASSERT_TRUE(registry.ready());
    CLSID clsid = CLSID_Tethra;
    EXPECT_EQ(CLSIDFromProgID("Ostra.Tethra", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(clsid, CLSID_NULL);

    for (const char* progid : {"Ostra.Tethra", "Ostra.Tethra.1"}) {
        rpc_client_test::register_progid(progid);
        clsid = CLSID_NULL;
        EXPECT_EQ(CLSIDFromProgID(progid, &clsid), S_OK) << progid;
        EXPECT_EQ(clsid, CLSID_Tethra) << progid;
    }
    EXPECT_EQ(CLSIDFromProgID("Ostra.Other", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromProgID("Ostra.Tethra", nullptr), E_INVALIDARG);
}

TEST(CreationTest, RefusesWhatItCannotCreateWithoutAskingTheBus)
{
    void* pv = &pv;
    EXPECT_EQ(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra, nullptr),
              E_POINTER);
    counted_unknown outer;
    EXPECT_EQ(CoCreateInstance(CLSID_Tethra, &outer, CLSCTX_LOCAL_SERVER, IID_ITethra, &pv),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_SerialPort, nullptr, CLSCTX_LOCAL_SERVER, IID_ISerialPort, &pv),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_INPROC_SERVER, IID_ITethra, &pv),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(outer.refs, 0u);
}

TEST(CreationTest, NameWithoutOwnerIsClassNotRegistered)
{
    // A server that serves its objects but does not own the name cannot be found by it.
    child_process server({SCRIPTED_SERVER, "--no-name"});
    ASSERT_FALSE(server.first_line().empty());
    void* pv = &pv;
    EXPECT_EQ(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra, &pv),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(pv, nullptr);
}

TEST_F(ScriptedServerTest, CreationAsksTheClassObjectAndAddressesTheServerThatAnswered)
{
    void* pv = &pv;
    EXPECT_EQ(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_ALL, IID_ISerialPort, &pv),
              E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);

    // The proxy answers the interfaces of the registry, and one identity for all of them.
    IUnknown* unk = nullptr;
    IDispatch* disp = nullptr;
    ASSERT_EQ(tethra_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    ASSERT_EQ(tethra_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
    IUnknown* unk2 = nullptr;
    ASSERT_EQ(disp->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk2)), S_OK);
    EXPECT_EQ(unk, unk2);
    EXPECT_EQ(tethra_->QueryInterface(IID_ISerialPort, &pv), E_NOINTERFACE);
    unk->Release();
    unk2->Release();
    disp->Release();

    // Once the server lets the name go, the objects it handed out are still reached.
    busctl("call Ostra.Tethra /Ostra/Tethra/Test Test.Peer ReleaseName");
    ISerialPort* port = open_port();
    ASSERT_NE(port, nullptr);
    const std::string log = server_log(server_->first_line());
    EXPECT_NE(log.find("/Ostra/Tethra Ostra.Tethra.IClassFactory.CreateInstance s"), std::string::npos);
    EXPECT_NE(log.find("/Ostra/Tethra/Tethra Ostra.Tethra.ITethra.CreatePort i"), std::string::npos);
    port->Release();
    EXPECT_EQ(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra, &pv),
              REGDB_E_CLASSNOTREG);
}

TEST_F(ScriptedServerTest, ProxiesCarryEveryParameterTypeBothWays)
{
    ISerialPort* port = open_port();
    ASSERT_NE(port, nullptr);

    ULONG baud = 0;
    EXPECT_EQ(port->get_BaudRate(&baud), S_OK);
    EXPECT_EQ(baud, 9600u);
    CHAR xon = 0;
    EXPECT_EQ(port->get_XOnChar(&xon), S_OK);
    EXPECT_EQ(static_cast<BYTE>(xon), 0x91);  // a signed character travels as its bit pattern
    SHORT limit = 0;
    EXPECT_EQ(port->get_XOnLimit(&limit), S_OK);
    EXPECT_EQ(limit, -2);
    BYTE bits = 0;
    EXPECT_EQ(port->get_Bits(&bits), S_OK);
    EXPECT_EQ(bits, 8);
    VARIANT_BOOL discard = VARIANT_FALSE;
    EXPECT_EQ(port->get_NULLDiscard(&discard), S_OK);
    EXPECT_EQ(discard, VARIANT_TRUE);
    HandShakingConstants mode = spoHandshakingNone;
    EXPECT_EQ(port->get_HandShakingMode(&mode), S_OK);
    EXPECT_EQ(mode, spoRTSCTS);

    EXPECT_EQ(port->put_BaudRate(115200), S_OK);
    EXPECT_EQ(port->put_XOffChar(static_cast<CHAR>(0xF3)), S_OK);
    EXPECT_EQ(port->put_XOffLimit(-300), S_OK);
    EXPECT_EQ(port->put_ParityScheme(spoMark), S_OK);
    EXPECT_EQ(port->put_DTREnable(VARIANT_TRUE), S_OK);
    EXPECT_EQ(port->get_BaudRate(&baud), S_OK);
    EXPECT_EQ(baud, 115200u);
    CHAR xoff = 0;
    EXPECT_EQ(port->get_XOffChar(&xoff), S_OK);
    EXPECT_EQ(static_cast<BYTE>(xoff), 0xF3);
    EXPECT_EQ(port->get_XOffLimit(&limit), S_OK);
    EXPECT_EQ(limit, -300);
    ParitySchemeConstants parity = spoParityNone;
    EXPECT_EQ(port->get_ParityScheme(&parity), S_OK);
    EXPECT_EQ(parity, spoMark);
    // S_FALSE comes through as it is.
    EXPECT_EQ(port->put_RTSLine(VARIANT_TRUE), S_FALSE);

    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 3);
    static const BYTE bytes[] = {0x01, 0x02, 0xFF};
    std::memcpy(psa->pvData, bytes, sizeof bytes);
    VARIANT data;
    VariantInit(&data);
    data.vt = VT_ARRAY | VT_UI1;
    data.parray = psa;
    EXPECT_EQ(port->Send(data, VARIANT_TRUE), S_OK);
    VariantClear(&data);
    EXPECT_NE(server_log().find("sent QByteArray 0102ff"), std::string::npos);

    // The proxy's IDispatch goes through the same methods.
    LPOLESTR name = const_cast<LPOLESTR>("BaudRate");
    DISPID dispid = 0;
    ASSERT_EQ(port->GetIDsOfNames(IID_NULL, &name, 1, 0, &dispid), S_OK);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(port->Invoke(dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_UI4);
    EXPECT_EQ(result.ulVal, 115200u);
    port->Release();
}

TEST_F(ScriptedServerTest, FailedHresultsComeBackAndOutPointersStayNull)
{
    ISerialPort* port = reinterpret_cast<ISerialPort*>(&port);
    EXPECT_EQ(tethra_->CreatePort(-1, &port), E_UNEXPECTED);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(tethra_->CreatePort(1, nullptr), E_POINTER);

    port = open_port();
    ASSERT_NE(port, nullptr);
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);
    IConnectionPoint* cp = reinterpret_cast<IConnectionPoint*>(&cp);
    EXPECT_EQ(cpc->FindConnectionPoint(IID_ITethra, &cp), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp, nullptr);
    cpc->Release();
    port->Release();
}

TEST_F(ScriptedServerTest, ReleasingAProxyGivesTheConnectionsReferenceBack)
{
    ISerialPort* port = open_port();
    ASSERT_NE(port, nullptr);
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);
    port->Release();
    EXPECT_EQ(server_log().find("/Ostra/Tethra/SerialPort/1 Ostra.Tethra.IUnknown.Release"),
              std::string::npos);
    cpc->Release();
    // Sent without waiting for the answer; the next call of the connection comes after it.
    EXPECT_NE(server_log().find("/Ostra/Tethra/SerialPort/1 Ostra.Tethra.IUnknown.Release"),
              std::string::npos);
}

TEST_F(ScriptedServerTest, AdvisedSinksAreServedOnTheClientsConnectionUntilUnadvised)
{
    ISerialPort* port = open_port();
    ASSERT_NE(port, nullptr);
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);
    IConnectionPoint* cp = nullptr;
    ASSERT_EQ(cpc->FindConnectionPoint(DIID__ISerialPortEvents, &cp), S_OK);
    IID iid = IID_NULL;
    EXPECT_EQ(cp->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, DIID__ISerialPortEvents);

    PlainUnknown plain;
    DWORD cookie = 7;
    EXPECT_EQ(cp->Advise(&plain, &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(plain.refs, 0u);

    TestSink sink;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(sink.refs, 1u);

    // The sink is at a path of the client's connection, and introspection shows its
    // interface there.
    const std::string log = server_log();
    const auto at = log.find("advised ");
    ASSERT_NE(at, std::string::npos);
    const std::string where = log.substr(at + 8, log.find('"', at) - at - 8);
    const std::string xml = busctl("introspect --xml-interface " + where);
    EXPECT_NE(xml.find("<interface name=\"Ostra.Tethra._ISerialPortEvents\">"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<arg name=\"Data\" type=\"ay\" direction=\"in\"/>"), std::string::npos) << xml;

    EXPECT_EQ(fire("OnData", "ay 3 104 105 0"), "as 1 \"hr:0\"\n");
    EXPECT_EQ(fire("OnPortEvent", "i 3"), "as 1 \"hr:0\"\n");
    EXPECT_EQ(fire("OnError", "i 1002"), "as 1 \"hr:0\"\n");
    sink.result = E_FAIL;
    EXPECT_EQ(fire("OnPortEvent", "i 4"),
              "as 1 \"error:Ostra.Tethra.Error.E_FAIL\"\n");
    EXPECT_EQ(summary(sink.calls()),
              (std::vector<std::string>{std::string("D:hi\0", 5), "E:3", "X:1002", "E:4"}));
    EXPECT_EQ(sink.calls()[0].vt, VT_ARRAY | VT_UI1);

    EXPECT_EQ(cp->Unadvise(cookie), S_OK);
    EXPECT_EQ(sink.refs, 0u);
    EXPECT_EQ(cp->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    // A sink that is gone answers UnknownObject, so a server drops it.
    EXPECT_EQ(busctl("call " + where + " Ostra.Tethra._ISerialPortEvents OnPortEvent i 1"),
              "Call failed: No sink at " + where.substr(where.find(' ') + 1) + "\n");
    cp->Release();
    cpc->Release();
    port->Release();
}

TEST(SinkHostTest, WithdrawingASinkWaitsForItsCallUnderWay)
{
    HRESULT hr = E_FAIL;
    platform::rpc::client::bus_host* bus = platform::rpc::client::bus_host::instance(&hr);
    ASSERT_NE(bus, nullptr);
    TestSink sink;
    std::atomic<bool> in_call{false};
    sink.on_data = [&] {
        in_call = true;
        sink.wait_open();
        in_call = false;
    };
    sink.AddRef();
    const QString path =
        bus->sinks().add(static_cast<_ISerialPortEvents*>(&sink), platform::type_info_of<_ISerialPortEvents>());
    ASSERT_FALSE(path.isEmpty());

    sink.block();
    std::string answer;
    std::thread calling([&] {
        answer = busctl("call " + bus->unique_name().toStdString() + " " + path.toStdString() +
                        " Ostra.Tethra._ISerialPortEvents OnData ay 1 65");
    });
    ASSERT_TRUE(sink.wait_calls(1));
    bool in_call_after_remove = true;
    std::thread removing([&] {
        bus->sinks().remove(path);
        in_call_after_remove = in_call;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let remove reach its wait
    sink.unblock();
    removing.join();
    calling.join();
    EXPECT_FALSE(in_call_after_remove);
    EXPECT_EQ(answer, "i 0\n");
    EXPECT_EQ(sink.refs, 0u);
}

TEST_F(ScriptedServerTest, ASetterWaitsWhileTheSameProcessAnswersForItsOtherObject)
{
    ISerialPort* first = open_port();
    ISerialPort* second = open_port();
    ASSERT_TRUE(first && second);
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_EQ(second->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);
    IConnectionPoint* cp = nullptr;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IPropertyNotifySink, &cp), S_OK);
    recording_sink sink;
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);

    EXPECT_EQ(first->put_BaudRate(19200), S_OK);
    sink.request_result = S_FALSE;
    EXPECT_EQ(first->put_BaudRate(38400), E_FAIL);
    EXPECT_EQ(sink.requested, (std::vector<DISPID>{DISPID_ISerialPort_BaudRate, DISPID_ISerialPort_BaudRate}));
    EXPECT_EQ(sink.changed, (std::vector<DISPID>{DISPID_ISerialPort_BaudRate}));

    // Sinks still advised when their port's last proxy goes are withdrawn with it.
    cp->Release();
    cpc->Release();
    second->Release();
    EXPECT_EQ(sink.refs, 0u);
    first->Release();
}

TEST_F(ScriptedServerTest, AServerThatIsGoneAnswersDisconnectedAtOnce)
{
    // One that leaves the bus in the middle of a call.
    HRESULT hr = E_FAIL;
    platform::rpc::client::bus_host* bus = platform::rpc::client::bus_host::instance(&hr);
    ASSERT_NE(bus, nullptr);
    QDBusMessage reply;
    EXPECT_EQ(bus->call(QString::fromStdString(server_->first_line()), "/Ostra/Tethra/Test",
                        "Test.Peer", "Exit", {}, &reply),
              RPC_E_DISCONNECTED);
    server_.reset();
    server_ = std::make_unique<child_process>(std::vector<std::string>{SCRIPTED_SERVER});
    if (tethra_)
        tethra_->Release();
    tethra_ = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                               reinterpret_cast<void**>(&tethra_)),
              S_OK);

    // One that is gone before the call.
    ISerialPort* port = open_port();
    ASSERT_NE(port, nullptr);
    server_->kill(SIGKILL);
    ULONG baud = 1;
    EXPECT_EQ(port->get_BaudRate(&baud), RPC_E_DISCONNECTED);
    EXPECT_EQ(baud, 1u);
    ISerialPort* other = nullptr;
    EXPECT_EQ(tethra_->CreatePort(2, &other), RPC_E_DISCONNECTED);
    EXPECT_EQ(other, nullptr);
    port->Release();
    void* pv = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra, &pv),
              REGDB_E_CLASSNOTREG);
}

}  // namespace
