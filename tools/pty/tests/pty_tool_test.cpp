// tethra pty end to end: the built server started by a private bus, a socat pair as the
// device (COM5), tethra pty instances offering it as virtual devices, and Python
// programs (pty_helper.py) as the unmodified programs on them, a python3-dbus client of
// the same port and the far end of the line.
#include "platform/rpc/testing/bus_fixture.h"
#include "platform/testing/process.h"
#include "platform/testing/testing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using platform::testing::child;
using platform::testing::run_program;

constexpr const char* kPython = "/usr/bin/python3";

// A helper program and its one-line answers.
class Helper {
public:
    Helper(const std::string& role, const std::string& target)
        : child_({kPython, PTY_HELPER, role, target}, true)
    {
    }
    std::string Ask(const std::string& command)
    {
        child_.write_line(command);
        return child_.read_line();
    }
    std::string Line() { return child_.read_line(); }
    void Tell(const std::string& command) { child_.write_line(command); }

private:
    child child_;
};

// "sent N SHA" and "got N SHA" describe the same bytes.
std::string Bytes(const std::string& answer)
{
    const std::size_t space = answer.find(' ');
    return space == std::string::npos ? "<" + answer + ">" : answer.substr(space + 1);
}

class PtyTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(registry_.ready());
        dir_ = fs::path(registry_.file()).parent_path();
        platform::testing::set_environment("XDG_DATA_HOME", (dir_ / "data").c_str());
        platform::testing::set_environment("XDG_RUNTIME_DIR", (dir_ / "run").c_str());
        ASSERT_EQ(run_program({TETHRA_SERVER, "-RegServer"}), 0);
        bus_ = std::make_unique<platform::rpc::testing::private_bus>();
        ASSERT_TRUE(bus_->ready());
        fs::copy_file(dir_ / "data/dbus-1/services/Ostra.Tethra.service",
                      fs::path(bus_->service_dir()) / "Ostra.Tethra.service");

        socat_ = std::make_unique<platform::testing::socat_pair>();
        ASSERT_TRUE(socat_->ready());
        ASSERT_EQ(registry_.map_port(socat_->device(), 5), ERROR_SUCCESS);
        peer_ = std::make_unique<Helper>("peer", socat_->far_end());
    }
    void TearDown() override
    {
        instances_.clear();
        peer_.reset();
        socat_.reset();
        if (const int pid = ServerPid(); pid > 0)
            platform::testing::kill_process(pid);
        bus_.reset();
        platform::testing::set_environment("XDG_RUNTIME_DIR", nullptr);
        platform::testing::set_environment("XDG_DATA_HOME", nullptr);
    }

    // Starts tethra pty for COM5; the link it reports, or empty.
    std::string StartInstance(const std::vector<std::string>& options = {})
    {
        std::vector<std::string> argv{TETHRA, "pty", "COM5"};
        argv.insert(argv.end(), options.begin(), options.end());
        instances_.push_back(std::make_unique<child>(argv, true));
        const std::string line = instances_.back()->read_line();
        // "tethra pty: COM5 is LINK (/dev/pts/N)"
        const std::size_t is = line.find(" is ");
        const std::size_t paren = line.rfind(" (");
        if (is == std::string::npos || paren == std::string::npos || paren < is)
            return "";
        return line.substr(is + 4, paren - is - 4);
    }

    int ServerPid() { return bus_ ? platform::testing::name_owner_pid(bus_->address()) : -1; }

    platform::testing::temp_registry registry_;
    fs::path dir_;
    std::unique_ptr<platform::rpc::testing::private_bus> bus_;
    std::unique_ptr<platform::testing::socat_pair> socat_;
    std::unique_ptr<Helper> peer_;
    std::vector<std::unique_ptr<child>> instances_;
};

TEST_F(PtyTool, AProgramAndABusClientBothReceiveAndBothSendByteExact)
{
    const std::string link = StartInstance();
    ASSERT_EQ(link, (dir_ / "run/tethra/COM5.1").string());
    Helper program("tty", link);
    Helper client("bus", "5");
    ASSERT_EQ(client.Line(), "ready");

    // From the device: every byte value, in an order no chunking can fake.
    const std::string sent = Bytes(peer_->Ask("send 300000 1"));
    EXPECT_EQ(Bytes(program.Ask("recv 300000")), sent);
    EXPECT_EQ(Bytes(client.Ask("recv 300000")), sent);

    // From the program, more than the pty and the send queue hold at once.
    peer_->Tell("recv 1000000");
    const std::string from_program = Bytes(program.Ask("send 1000000 2"));
    EXPECT_EQ(Bytes(peer_->Line()), from_program);
    // And from the other client.
    const std::string from_client = Bytes(client.Ask("send 5000 3"));
    EXPECT_EQ(Bytes(peer_->Ask("recv 5000")), from_client);
}

TEST_F(PtyTool, AProgramWritingFasterThanTheLineIsHeldBackInItsWrite)
{
    const std::string link = StartInstance();
    Helper program("tty", link);
    // The far end reads nothing: the line stands still once the buffers between are
    // full, and the program's writes stop being taken long before its 64 MiB are.
    const std::string flooded = program.Ask("flood 67108864 9");
    const std::size_t taken = std::stoul(Bytes(flooded));
    std::printf("the program wrote %zu bytes before it was held back\n", taken);
    EXPECT_LT(taken, 4u << 20);

    // Stopped while a send waits for the line: the link goes at once, the process when
    // the send is done, or at a second interrupt.
    child& instance = *instances_.back();
    const std::string pid = std::to_string(instance.pid());
    ASSERT_EQ(run_program({"/bin/kill", "-TERM", pid}), 0);
    EXPECT_EQ(instance.wait(1000), -1);
    EXPECT_FALSE(fs::is_symlink(link));
    ASSERT_EQ(run_program({"/bin/kill", "-TERM", pid}), 0);
    EXPECT_EQ(instance.wait(10000), 128 + 15);
}

TEST_F(PtyTool, WhatAProgramWroteBeforeTheLineStoodStillArrivesWhole)
{
    Helper program("tty", StartInstance());
    const std::string flooded = program.Ask("flood 67108864 9");
    const std::size_t taken = std::stoul(Bytes(flooded));
    EXPECT_EQ(Bytes(peer_->Ask("recv " + std::to_string(taken))), Bytes(flooded));
}

TEST_F(PtyTool, TheProgramsSpeedIsAskedAndToldAndARefusalIsUndoneOnItsTty)
{
    Helper program("tty", StartInstance());
    Helper client("bus", "5");
    ASSERT_EQ(client.Line(), "ready");
    client.Ask("notices");

    EXPECT_EQ(program.Ask("speed 57600"), "speed 57600");
    EXPECT_EQ(client.Ask("expect 2"), "notices asked 25 told 25");
    EXPECT_EQ(client.Ask("baud"), "baud 57600");

    // Refused: the port keeps its speed and the program's tty reads it again.
    EXPECT_EQ(client.Ask("refuse 25"), "ok");
    EXPECT_EQ(program.Ask("speed 19200"), "speed 19200");
    EXPECT_EQ(client.Ask("expect 1"), "notices asked 25");
    EXPECT_EQ(program.Ask("waitspeed 57600"), "speed 57600");
    EXPECT_EQ(client.Ask("baud"), "baud 57600");
    EXPECT_EQ(client.Ask("allow"), "ok");

    // Another client's change shows on the program's tty.
    EXPECT_EQ(client.Ask("setbaud 38400"), "setbaud 0");
    EXPECT_EQ(program.Ask("waitspeed 38400"), "speed 38400");
    // Bytes still flow both ways after all that.
    const std::string sent = Bytes(peer_->Ask("send 1000 4"));
    EXPECT_EQ(Bytes(program.Ask("recv 1000")), sent);
}

TEST_F(PtyTool, FlowControlAndItsCharactersGoBothWays)
{
    Helper program("tty", StartInstance());
    Helper client("bus", "5");
    ASSERT_EQ(client.Line(), "ready");

    // X-on/X-off one way is the port's one mode, which the tty then shows both ways.
    program.Ask("flow 0 1 0 17 19");
    EXPECT_EQ(client.Ask("expect 2"), "notices asked 6 told 6");
    EXPECT_EQ(program.Ask("waitflow 0 1 1 17 19"), "flow 0 1 1 17 19");
    EXPECT_EQ(client.Ask("get HandShakingMode"), "HandShakingMode 1");
    program.Ask("flow 1 1 1 113 115");
    EXPECT_EQ(client.Ask("expect 6"), "notices asked 6 told 6 asked 19 told 19 asked 20 told 20");
    EXPECT_EQ(client.Ask("get HandShakingMode"), "HandShakingMode 3");
    EXPECT_EQ(client.Ask("get XOnChar"), "XOnChar 113");
    EXPECT_EQ(client.Ask("get XOffChar"), "XOffChar 115");

    // The other client turns handshaking off and changes a character.
    EXPECT_EQ(client.Ask("put HandShakingMode 2"), "put 0");
    EXPECT_EQ(program.Ask("waitflow 1 0 0 113 115"), "flow 1 0 0 113 115");
    EXPECT_EQ(client.Ask("put XOffChar 120"), "put 0");
    EXPECT_EQ(program.Ask("waitflow 1 0 0 113 120"), "flow 1 0 0 113 120");
}

TEST_F(PtyTool, TwoInstancesServeTwoProgramsAtOnce)
{
    const std::string first = StartInstance();
    const std::string second = StartInstance();
    EXPECT_EQ(fs::path(first).filename(), "COM5.1");
    EXPECT_EQ(fs::path(second).filename(), "COM5.2");
    Helper a("tty", first);
    Helper b("tty", second);

    const std::string sent = Bytes(peer_->Ask("send 100000 5"));
    EXPECT_EQ(Bytes(a.Ask("recv 100000")), sent);
    EXPECT_EQ(Bytes(b.Ask("recv 100000")), sent);
    const std::string from_a = Bytes(a.Ask("send 3000 6"));
    EXPECT_EQ(Bytes(peer_->Ask("recv 3000")), from_a);
    const std::string from_b = Bytes(b.Ask("send 3000 7"));
    EXPECT_EQ(Bytes(peer_->Ask("recv 3000")), from_b);
    // One program's speed reaches the other's tty through the port.
    EXPECT_EQ(a.Ask("speed 115200"), "speed 115200");
    EXPECT_EQ(b.Ask("waitspeed 115200"), "speed 115200");
}

TEST_F(PtyTool, TheProgramClosesAndReopensAndTheInstanceEndsCleanly)
{
    const std::string link = (dir_ / "mine").string();
    ASSERT_EQ(StartInstance({"--link", link}), link);
    Helper program("tty", link);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(program.Ask("close"), "closed");
        // What comes while the tty is closed waits for the next open.
        const std::string sent = Bytes(peer_->Ask("send 2000 " + std::to_string(10 + round)));
        EXPECT_EQ(program.Ask("open"), "opened");
        EXPECT_EQ(Bytes(program.Ask("recv 2000")), sent);
        const std::string back = Bytes(program.Ask("send 2000 " + std::to_string(20 + round)));
        EXPECT_EQ(Bytes(peer_->Ask("recv 2000")), back);
    }
    // SIGTERM: it ends with 0 and takes its link along.
    child& instance = *instances_.back();
    ASSERT_EQ(run_program({"/bin/kill", "-TERM", std::to_string(instance.pid())}), 0);
    EXPECT_EQ(instance.wait(10000), 0);
    EXPECT_FALSE(fs::is_symlink(link));
}

TEST_F(PtyTool, AnInstanceWhoseServerIsGoneEndsAtTheProgramsNextWrite)
{
    const std::string link = StartInstance();
    Helper program("tty", link);
    const int server = ServerPid();
    ASSERT_GT(server, 0);
    platform::testing::kill_process(server);
    ASSERT_TRUE(platform::testing::wait_process_end(server, 10000));
    program.Ask("send 10 8");
    child& instance = *instances_.back();
    EXPECT_EQ(instance.wait(10000), 1);
    EXPECT_FALSE(fs::is_symlink(link));
}

TEST_F(PtyTool, BadCommandLinesAndATakenLinkAreRefusedClearly)
{
    EXPECT_EQ(run_program({TETHRA, "pty"}), 2);
    EXPECT_EQ(run_program({TETHRA, "pty", "LPT1"}), 2);
    EXPECT_EQ(run_program({TETHRA, "pty", "COM5", "--bogus"}), 2);
    std::string help;
    EXPECT_EQ(run_program({TETHRA, "pty", "--help"}, &help), 0);
    EXPECT_NE(help.find("modem lines"), std::string::npos);
    EXPECT_NE(help.find("break"), std::string::npos);
    // A --link that exists is left alone.
    const fs::path taken = dir_ / "taken";
    { std::FILE* f = std::fopen(taken.c_str(), "w"); std::fputs("keep", f); std::fclose(f); }
    EXPECT_EQ(run_program({TETHRA, "pty", "COM5", "--link", taken.string()}), 1);
    EXPECT_TRUE(fs::is_regular_file(taken));
    EXPECT_EQ(fs::file_size(taken), 4U);
}

}  // namespace
