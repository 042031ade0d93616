// The tethra command against the built server, started by a private bus, on socat pairs.
#include "tools/tethra/tests/server_fixture.h"

#include "platform/testing/process.h"

#include <csignal>
#include <cctype>
#include <unistd.h>

namespace {

using platform::testing::terminal_child;
using tools_testing::ServerTest;

class TethraCommand : public ServerTest {};

TEST_F(TethraCommand, HelpListsEverySubcommandAndTheExitCodes)
{
    const Result all = Tethra({"--help"});
    EXPECT_EQ(all.code, 0);
    for (const char* name : {"ports", "map", "unmap", "get", "set", "watch", "term"}) {
        EXPECT_NE(all.output.find(std::string("tethra ") + name + " "), std::string::npos) << name;
        const Result one = Tethra({name, "--help"});
        EXPECT_EQ(one.code, 0) << name;
        EXPECT_NE(one.output.find(std::string("Usage: tethra ") + name), std::string::npos) << name;
        EXPECT_NE(one.output.find("held by another program"), std::string::npos) << name;
    }
    EXPECT_EQ(Tethra({"frobnicate"}).code, 2);
    EXPECT_EQ(Tethra({}).code, 2);
}

TEST_F(TethraCommand, MapRefusesAMissingDeviceAndATakenNumberOrDevice)
{
    platform::testing::socat_pair a, b;
    ASSERT_TRUE(a.ready() && b.ready());

    Result r = Tethra({"map", "COM61", "/dev/tethra-no-such-device"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.output.find("/dev/tethra-no-such-device: no such device"), std::string::npos) << r.output;
    EXPECT_EQ(Tethra({"map", "COM61", "relative/path"}).code, 2);
    EXPECT_EQ(Tethra({"map", "COMX", a.device()}).code, 2);

    EXPECT_EQ(Tethra({"map", "com61", a.device()}).code, 0);
    r = Tethra({"map", "COM61", b.device()});
    EXPECT_EQ(r.code, 7);
    EXPECT_NE(r.output.find("COM61 is mapped already, to " + a.device()), std::string::npos) << r.output;
    r = Tethra({"map", "62", a.device()});
    EXPECT_EQ(r.code, 7);
    EXPECT_NE(r.output.find(a.device() + " is mapped already, as COM61"), std::string::npos) << r.output;

    // The refused attempts changed nothing: COM61 is still a's, COM62 nobody's.
    r = Tethra({"ports"});
    EXPECT_NE(r.output.find("COM61\t" + a.device() + "\t-\t"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(b.device()), std::string::npos) << r.output;

    EXPECT_EQ(Tethra({"unmap", "COM61"}).code, 0);
    r = Tethra({"unmap", "COM61"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.output.find("COM61 is not in the port map"), std::string::npos) << r.output;
    EXPECT_EQ(Tethra({"ports"}).output.find(a.device()), std::string::npos);
    EXPECT_EQ(Tethra({"map", "COM61", b.device()}).code, 0);
    EXPECT_EQ(Tethra({"unmap", "COM61"}).code, 0);
}

TEST_F(TethraCommand, PortsCountsTheClientsThatShareAPort)
{
    auto pair = MappedPair(63);
    const std::string line = "COM63\t" + pair->device() + "\t-\t";
    Result r = Tethra({"ports"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.output.find(line + "closed"), std::string::npos) << r.output;

    terminal_child first({TETHRA, "watch", "COM63"});
    ASSERT_TRUE(first.wait_for("watching COM63", 30000)) << first.screen();
    EXPECT_NE(Tethra({"ports"}).output.find(line + "open, 1 client\r"), std::string::npos);
    terminal_child second({TETHRA, "watch", "COM63"});
    ASSERT_TRUE(second.wait_for("watching COM63", 30000)) << second.screen();
    EXPECT_NE(Tethra({"ports"}).output.find(line + "open, 2 clients"), std::string::npos);

    second.signal(SIGTERM);
    EXPECT_EQ(second.wait(30000), 0);
    EXPECT_NE(Tethra({"ports"}).output.find(line + "open, 1 client\r"), std::string::npos);
    first.signal(SIGINT);
    EXPECT_EQ(first.wait(30000), 0);
    EXPECT_NE(Tethra({"ports"}).output.find(line + "closed"), std::string::npos);
}

TEST_F(TethraCommand, SetChangesSettingsThatGetReadsBackAndBadInputChangesNothing)
{
    auto pair = MappedPair(64);
    // Settings the driver keeps beside the terminal's live as long as the port is open:
    // a watcher holds it open between the commands. (A pseudo-terminal keeps no character
    // size or parity, so those are left out.)
    terminal_child holder({TETHRA, "watch", "COM64"});
    ASSERT_TRUE(holder.wait_for("watching COM64", 30000)) << holder.screen();
    Result r = Tethra({"set", "COM64", "BaudRate=9600", "xonchar=0x13", "EventChar='!'", "ReadIntervalTimeOut=20",
                       "NULLDiscard=true", "DTREnable=true"});
    EXPECT_EQ(r.code, 0) << r.output;
    r = Tethra({"get", "COM64", "BaudRate", "XOnChar", "eventchar",
                "ReadIntervalTimeOut", "NULLDiscard", "DTREnable"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.output.find("BaudRate=9600\r\n"
                            "XOnChar=0x13\r\nEventChar=0x21\r\nReadIntervalTimeOut=20\r\n"
                            "NULLDiscard=true\r\nDTREnable=true\r\n"),
              std::string::npos) << r.output;

    // One bad assignment among good ones: nothing is changed.
    for (const char* bad : {"BaudRate=fast", "Bits=256", "NoSuchThing=1", "PortNum=3",
                            "ParityScheme=spoSometimes", "BaudRate", "XOffChar=300"}) {
        r = Tethra({"set", "COM64", "XOnChar=0x12", bad});
        EXPECT_EQ(r.code, 2) << bad;
    }
    EXPECT_NE(Tethra({"get", "COM64", "XOnChar"}).output.find("XOnChar=0x13"), std::string::npos);
    EXPECT_EQ(Tethra({"get", "COM64", "NoSuchThing"}).code, 2);

    // The whole list reads back through set.
    r = Tethra({"get", "COM64"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.output.find("PortNum=64"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("ReceiveBufferSize="), std::string::npos) << r.output;
}

TEST_F(TethraCommand, ExitCodesTellAMissingPortAHeldDeviceAndAMissingServer)
{
    // COM96 is /dev/ttyACM31 by the default rule, which no test machine has.
    Result r = Tethra({"get", "COM96", "BaudRate"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.output.find("COM96: no device at /dev/ttyACM31"), std::string::npos) << r.output;

    auto pair = MappedPair(65);
    {
        platform::testing::device_holder holder(pair->device());
        ASSERT_TRUE(holder.holding());
        r = Tethra({"get", "COM65", "BaudRate"});
        EXPECT_EQ(r.code, 4);
        EXPECT_NE(r.output.find("is held by another program"), std::string::npos) << r.output;
    }
    EXPECT_EQ(Tethra({"get", "COM65", "BaudRate"}).code, 0);

    // A store without the server's class keys: not registered.
    const std::string empty = s_pRegistry->file() + ".empty";
    platform::testing::set_environment("TETHRA_REGISTRY_FILE", empty.c_str());
    r = Tethra({"get", "COM65", "BaudRate"});
    platform::testing::set_environment("TETHRA_REGISTRY_FILE", s_pRegistry->file().c_str());
    EXPECT_EQ(r.code, 6);
    EXPECT_NE(r.output.find("the server is not registered"), std::string::npos) << r.output;
}

TEST_F(TethraCommand, WatchPrintsDataAndAnotherClientsSettingChangeUntilInterrupted)
{
    auto pair = MappedPair(66);
    terminal_child watch({TETHRA, "watch", "COM66", "--timestamps"});
    ASSERT_TRUE(watch.wait_for("watching COM66", 30000)) << watch.screen();
    ASSERT_TRUE(pair->send("hi\r\n\x01"));
    EXPECT_TRUE(watch.wait_for("data \"hi\\r\\n\\x01\"", 10000)) << watch.screen();
    // "12:34:56.789 data ...": the local time starts the line.
    const std::size_t at = watch.screen().find(" data \"hi");
    ASSERT_GE(at, 12u);
    const std::string stamp = watch.screen().substr(at - 12, 12);
    for (std::size_t i = 0; i < stamp.size(); ++i)
        EXPECT_TRUE(i == 2 || i == 5 ? stamp[i] == ':' : i == 8 ? stamp[i] == '.'
                                                                : std::isdigit(static_cast<unsigned char>(stamp[i])))
            << stamp;

    EXPECT_EQ(Tethra({"set", "COM66", "BaudRate=19200"}).code, 0);
    EXPECT_TRUE(watch.wait_for("changed BaudRate=19200", 10000)) << watch.screen();

    watch.signal(SIGINT);
    EXPECT_EQ(watch.wait(30000), 0);
    // The watcher let the port go: the device is free for another program once the
    // server has closed it, which it does shortly after the last release, not within it.
    bool free = false;
    for (int attempt = 0; attempt < 50 && !free; ++attempt) {
        platform::testing::device_holder holder(pair->device());
        free = holder.holding();
        if (!free)
            ::usleep(100 * 1000);
    }
    EXPECT_TRUE(free) << "the server still holds the device 5 s after the watcher ended";
}

TEST_F(TethraCommand, WatchHexShowsBytes)
{
    auto pair = MappedPair(67);
    terminal_child watch({TETHRA, "watch", "--hex", "COM67"});
    ASSERT_TRUE(watch.wait_for("watching COM67", 30000)) << watch.screen();
    ASSERT_TRUE(pair->send(std::string("\x00\xff" "A", 3)));
    EXPECT_TRUE(watch.wait_for("data 00 ff 41", 10000)) << watch.screen();
    watch.signal(SIGTERM);
    EXPECT_EQ(watch.wait(30000), 0);
}

TEST_F(TethraCommand, TermSharesThePortWithAnotherClient)
{
    auto pair = MappedPair(68);
    terminal_child other({TETHRA, "watch", "COM68"});
    ASSERT_TRUE(other.wait_for("watching COM68", 30000)) << other.screen();
    terminal_child term({TETHRA, "term", "COM68", "--baud", "57600"});
    ASSERT_TRUE(term.wait_for("COM68: connected", 30000)) << term.screen();
    EXPECT_TRUE(other.wait_for("changed BaudRate=57600", 10000)) << other.screen();

    // Both see what the device sends.
    ASSERT_TRUE(pair->send("from the device\r\n"));
    EXPECT_TRUE(term.wait_for("from the device", 10000)) << term.screen();
    EXPECT_TRUE(other.wait_for("data \"from the device\\r\\n\"", 10000)) << other.screen();

    // Keys reach the device raw: no echo, no line editing, Ctrl+C and CR as bytes.
    ASSERT_TRUE(term.type("ab\x03\r"));
    EXPECT_EQ(pair->receive(4, 10000), "ab\x03\r");
    EXPECT_EQ(term.screen().find("ab"), std::string::npos) << term.screen();

    // Another client's change shows on the status line, and the terminal allowed it.
    EXPECT_EQ(Tethra({"set", "COM68", "BaudRate=38400"}).code, 0);
    EXPECT_TRUE(term.wait_for("COM68: changed BaudRate=38400", 10000)) << term.screen();

    // Ctrl+] ends the session and releases the port; the other client goes on.
    ASSERT_TRUE(term.type("\x1d"));
    EXPECT_EQ(term.wait(30000), 0);
    ASSERT_TRUE(pair->send("still here\r\n"));
    EXPECT_TRUE(other.wait_for("still here", 10000)) << other.screen();
    EXPECT_NE(Tethra({"ports"}).output.find("COM68\t" + pair->device() + "\t-\topen, 1 client\r"),
              std::string::npos);
    other.signal(SIGINT);
    EXPECT_EQ(other.wait(30000), 0);
}

TEST_F(TethraCommand, TermHexAndASignalEndTheSession)
{
    auto pair = MappedPair(69);
    terminal_child term({TETHRA, "term", "COM69", "--hex"});
    ASSERT_TRUE(term.wait_for("COM69: connected", 30000)) << term.screen();
    ASSERT_TRUE(pair->send("\x7f\x10"));
    EXPECT_TRUE(term.wait_for("7f 10", 10000)) << term.screen();
    term.signal(SIGTERM);
    EXPECT_EQ(term.wait(30000), 0);
    EXPECT_EQ(Tethra({"term", "COM69", "--baud", "fast"}).code, 2);
}

}  // namespace
