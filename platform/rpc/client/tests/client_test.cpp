// The client library's own parts, without a server: the class keys of the registry
// store, the arguments creation refuses, and sinks exported on the library's connection.
#include "platform/com/tests/test_objects.h"
#include "platform/rpc/client/bus.h"
#include "platform/rpc/client/client.h"
#include "platform/rpc/client/sink_host.h"
#include "platform/rpc/client/tests/client_test_support.h"
#include "platform/testing/testing.h"
#include "traffic/tests/test_sink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using rpc_client_test::busctl;

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

TEST(SinkHostTest, ASinkIsServedAtItsPathUntilWithdrawnAndWithdrawingWaitsForItsCall)
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
    const std::string where = bus->unique_name().toStdString() + " " + path.toStdString();

    // The server sees the connection interface when it introspects the sink.
    const std::string xml = busctl("introspect --xml-interface " + where);
    EXPECT_NE(xml.find("<interface name=\"Ostra.Tethra._ISerialPortEvents\">"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<arg name=\"Data\" type=\"ay\" direction=\"in\"/>"), std::string::npos) << xml;

    // Each call is answered with the handler's HRESULT, a failed one as its error.
    EXPECT_EQ(busctl("call " + where + " Ostra.Tethra._ISerialPortEvents OnError i 1002"), "i 0\n");
    sink.result = E_FAIL;
    EXPECT_EQ(busctl("call " + where + " Ostra.Tethra._ISerialPortEvents OnPortEvent i 4"),
              "Call failed: 0x80004005 E_FAIL\n");
    sink.result = S_OK;
    EXPECT_EQ(summary(sink.calls()), (std::vector<std::string>{"X:1002", "E:4"}));

    sink.block();
    std::string answer;
    std::thread calling([&] {
        answer = busctl("call " + where + " Ostra.Tethra._ISerialPortEvents OnData ay 1 65");
    });
    ASSERT_TRUE(sink.wait_calls(3));
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
    // A path without a sink answers UnknownObject, so a server drops it.
    EXPECT_EQ(busctl("call " + where + " Ostra.Tethra._ISerialPortEvents OnPortEvent i 1"),
              "Call failed: No sink at " + path.toStdString() + "\n");
}

}  // namespace
