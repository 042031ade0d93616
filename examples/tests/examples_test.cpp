// The examples run against the built server on a socat pair: each sends its greeting to
// the device and receives what the device sends; the Python one refuses a change.
#include "tools/tethra/tests/server_fixture.h"

#include <csignal>

namespace {

using platform::testing::terminal_child;
using tools_testing::ServerTest;

class Examples : public ServerTest {};

TEST_F(Examples, PythonClientReceivesSendsAndRefusesAChange)
{
    auto pair = MappedPair(71);
    terminal_child client({"/usr/bin/python3", SHARE_PORT_PY, "COM71", "--refuse", "Bits"});
    ASSERT_TRUE(client.wait_for("ready", 30000)) << client.screen();
    EXPECT_EQ(pair->receive(19, 10000), "hello from python\r\n");
    ASSERT_TRUE(pair->send("pong\r\n"));
    EXPECT_TRUE(client.wait_for("received: pong", 10000)) << client.screen();

    // The refused property is named; the change before it went through.
    Result r = Tethra({"set", "COM71", "BaudRate=4800", "Bits=7"});
    EXPECT_EQ(r.code, 5);
    EXPECT_NE(r.output.find("Bits=7 refused"), std::string::npos) << r.output;
    EXPECT_TRUE(client.wait_for("refused a change of DISPID 17", 10000)) << client.screen();
    EXPECT_TRUE(client.wait_for("another program changed DISPID 25", 10000)) << client.screen();
    r = Tethra({"get", "COM71", "BaudRate", "Bits"});
    EXPECT_NE(r.output.find("BaudRate=4800\r\nBits=8"), std::string::npos) << r.output;

    client.signal(SIGTERM);
    client.wait(30000);
    EXPECT_NE(Tethra({"ports"}).output.find("COM71\t" + pair->device() + "\t-\tclosed"),
              std::string::npos);
}

TEST_F(Examples, CppClientSendsAndReceivesOneLine)
{
    auto pair = MappedPair(72);
    terminal_child client({SHARE_PORT, "COM72"});
    EXPECT_EQ(pair->receive(16, 30000), "hello from C++\r\n");
    ASSERT_TRUE(pair->send("welcome\r\n"));
    EXPECT_EQ(client.wait(30000), 0);
    EXPECT_NE(client.screen().find("received: welcome"), std::string::npos) << client.screen();
}

}  // namespace
