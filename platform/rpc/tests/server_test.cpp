// The server runtime on a private bus, with a real port registry in this process behind
// the class object and pseudo-terminal ports, and clients in processes of their own:
// python3-dbus scripts (bus_client.py) and busctl.
#include "platform/rpc/rpc.h"
#include "platform/rpc/sink_proxy.h"
#include "platform/rpc/tests/tethra_factory.h"
#include "platform/rpc/testing/bus_fixture.h"

#include "idl/tethra.h"
#include "platform/testing/process.h"
#include "platform/testing/testing.h"
#include "server/Module.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kIidITethra[] = "{5AA04296-B290-4D75-80E1-DE6703FB8774}";

// A bus_client.py process, driven by lines on its standard input and output.
struct Child : platform::testing::child {
    explicit Child(const std::vector<std::string>& argv) : child(argv, true) {}
    void say(const std::string& line) { ASSERT_TRUE(write_line(line)); }
    // The next line of output, or "" after timeout_ms without one.
    std::string line(int timeout_ms = 20000) { return read_line(timeout_ms); }
    std::string line_starting(const std::string& prefix, int timeout_ms = 20000)
    {
        return child::line_starting(prefix, timeout_ms);
    }
    void kill_hard() { kill(); }
    std::string ready;  // the line that said the client is ready
};

// Runs a command and returns its standard output and error.
std::string RunCommand(const std::string& command)
{
    std::string output;
    FILE* f = ::popen((command + " 2>&1").c_str(), "r");
    if (!f)
        return output;
    char chunk[4096];
    size_t got;
    while ((got = ::fread(chunk, 1, sizeof chunk, f)) > 0)
        output.append(chunk, got);
    ::pclose(f);
    return output;
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

class ServerTest : public ::testing::Test {
protected:
    static constexpr LONG kPort = 42;

    void SetUp() override
    {
        ASSERT_TRUE(bus_.ready());
        ASSERT_TRUE(registry_.ready() && peer_.ready());
        ASSERT_EQ(registry_.map_port(peer_.path(), kPort), ERROR_SUCCESS);
        baseline_ = _Module.GetLockCount();
        ASSERT_EQ(CoRegisterClassObject(CLSID_Tethra, &factory_, CLSCTX_LOCAL_SERVER,
                                        REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie_),
                  S_OK);
        ASSERT_EQ(CoResumeClassObjects(), S_OK);
    }
    void TearDown() override
    {
        EXPECT_EQ(CoRevokeClassObject(cookie_), S_OK);
        platform::rpc::stop_server();
        // No proxy of a client's sink outlives the runtime, whether its calls were answered
        // or not.
        EXPECT_EQ(platform::rpc::sink_proxy::live_count(), 0U);
        EXPECT_TRUE(factory_.tethra.m_mapPorts.empty());
        EXPECT_EQ(_Module.GetLockCount(), baseline_);
    }
    std::unique_ptr<Child> Client(const std::vector<std::string>& options)
    {
        std::vector<std::string> argv = {"/usr/bin/python3", TETHRA_RPC_TEST_DIR "/bus_client.py",
                                         std::to_string(kPort)};
        argv.insert(argv.end(), options.begin(), options.end());
        auto child = std::make_unique<Child>(argv);
        child->ready = child->line_starting("READY");
        EXPECT_EQ(child->ready.rfind("READY /Ostra/Tethra/SerialPort/", 0), 0U) << child->ready;
        return child;
    }
    // X-off from the far end, with X-on/X-off set on the port: the port may send nothing
    // until X-on. The kernel takes the character in on a work queue of its own, with no
    // sign when it has: a short pause lets it.
    void HoldTheLine()
    {
        ASSERT_TRUE(peer_.send("\x13"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::string Busctl(const std::string& args)
    {
        return RunCommand("busctl --address=" + bus_.address() + " " + args);
    }
    // Waits (bounded) until the server holds no more than the baseline's locks.
    bool LocksBackToBaseline()
    {
        for (int i = 0; i < 200 && _Module.GetLockCount() != baseline_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return _Module.GetLockCount() == baseline_;
    }

    platform::rpc::testing::private_bus bus_;
    platform::testing::temp_registry registry_;
    platform::testing::pty_peer peer_;
    TethraFactory factory_;
    DWORD cookie_ = 0;
    LONG baseline_ = 0;
    std::unique_ptr<Child> kept_;  // a client still on the bus when the runtime stops
};

// Once the runtime serves, a block of the size libdbus grows its read buffer to for a
// 64 KiB Send (128 KiB and more) comes from the heap, not from a mapping that every
// such call would resize.
TEST_F(ServerTest, BuffersOfBigCallsAreHeapMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers bring their own allocator";
#else
    const std::size_t mapped = mallinfo2().hblks;
    for (std::size_t size : {128u << 10, 1u << 20, 3u << 20}) {
        void* block = std::malloc(size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(mallinfo2().hblks, mapped) << size;
        std::free(block);
    }
#endif
}

TEST_F(ServerTest, BusctlCreatesTheRegistryAndReachesNothingItDoesNotHold)
{
    EXPECT_EQ(Busctl(std::string("call Ostra.Tethra /Ostra/Tethra Ostra.Tethra.IClassFactory "
                                 "CreateInstance s ") + kIidITethra),
              "io 0 \"/Ostra/Tethra/Tethra\"\n");
    // That busctl has left: its reference went with it.
    EXPECT_TRUE(LocksBackToBaseline());
    EXPECT_NE(Busctl("call Ostra.Tethra /Ostra/Tethra Ostra.Tethra.IClassFactory CreateInstance s "
                     "{F8ED87C1-42AD-4DFF-ABF7-710CD4282223}")
                  .find("E_NOINTERFACE"),
              std::string::npos);
    EXPECT_NE(Busctl("call Ostra.Tethra /Ostra/Tethra/Tethra Ostra.Tethra.ITethra CreatePort i 42")
                  .find("No object"),
              std::string::npos);
    EXPECT_NE(Busctl("introspect Ostra.Tethra /Ostra/Tethra").find("Ostra.Tethra.IClassFactory"),
              std::string::npos);
    EXPECT_EQ(Busctl("introspect Ostra.Tethra /Ostra/Tethra/Tethra").find("ITethra"),
              std::string::npos);
    // A lock is the connection's too: it goes when busctl does.
    EXPECT_EQ(Busctl("call Ostra.Tethra /Ostra/Tethra Ostra.Tethra.IClassFactory LockServer b true"),
              "i 0\n");
    EXPECT_TRUE(LocksBackToBaseline());
    EXPECT_NE(Busctl("call Ostra.Tethra /Ostra/Tethra Ostra.Tethra.IClassFactory LockServer b false")
                  .find("0x8000FFFF"),
              std::string::npos);
}

TEST_F(ServerTest, SuspendedTheNameIsGoneAndHandedOutObjectsAreStillServed)
{
    const std::string create =
        std::string("Ostra.Tethra.IClassFactory CreateInstance s ") + kIidITethra;
    auto a = Client({});
    const std::string owner =
        Busctl("call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus "
               "GetNameOwner s Ostra.Tethra");
    ASSERT_EQ(owner.rfind("s \":", 0), 0U) << owner;
    const std::string unique = owner.substr(3, owner.size() - 5);

    EXPECT_EQ(CoSuspendClassObjects(), S_OK);
    const std::string byName = Busctl("call Ostra.Tethra /Ostra/Tethra " + create);
    EXPECT_NE(byName.find("not provided by any .service files"), std::string::npos) << byName;
    const std::string byUnique = Busctl("call " + unique + " /Ostra/Tethra " + create);
    EXPECT_NE(byUnique.find("0x80004028"), std::string::npos) << byUnique;
    a->say("put BaudRate u 19200");
    EXPECT_EQ(a->line(), "PUT ok");

    EXPECT_EQ(CoResumeClassObjects(), S_OK);
    EXPECT_EQ(Busctl("call Ostra.Tethra /Ostra/Tethra " + create), "io 0 \"/Ostra/Tethra/Tethra\"\n");
    DWORD second = 0;
    EXPECT_EQ(CoRegisterClassObject(CLSID_Tethra, &factory_, CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE, &second),
              CO_E_OBJISREG);
    EXPECT_EQ(CoRevokeClassObject(cookie_ + 100), CO_E_OBJNOTREG);
}

TEST_F(ServerTest, TwoClientProcessesOnOnePtyGetEveryByteInOrder)
{
    auto a = Client({"--events", "record"});
    auto b = Client({"--events", "record"});
    std::string sent;
    for (int i = 0; i < 20; ++i) {
        const std::string chunk = "chunk " + std::to_string(i) + std::string(50 + i, char('A' + i));
        ASSERT_TRUE(peer_.send(chunk));
        sent += chunk;
    }
    for (Child* c : {a.get(), b.get()}) {
        std::string got;
        while (got.size() < Hex(sent).size()) {
            const std::string l = c->line_starting("DATA ");
            ASSERT_FALSE(l.empty()) << "received " << got.size() / 2 << " bytes";
            got += l.substr(5);
        }
        EXPECT_EQ(got, Hex(sent));
    }
    a->say("send " + Hex("from a"));
    EXPECT_EQ(a->line_starting("SENT"), "SENT ok");
    const std::vector<BYTE> echoed = peer_.receive(6, 10000);
    EXPECT_EQ(std::string(echoed.begin(), echoed.end()), "from a");
}

TEST_F(ServerTest, OneClientsCallsOnOneObjectRunInTheOrderSent)
{
    auto a = Client({});
    a->say("sendmany 100");  // below the bus's limit of pending replies per connection
    std::string expected;
    for (int i = 0; i < 100; ++i)
        expected += "<" + std::to_string(i) + ">";
    const std::vector<BYTE> got = peer_.receive(expected.size(), 20000);
    EXPECT_EQ(std::string(got.begin(), got.end()), expected);
    EXPECT_EQ(a->line(), "SENTMANY ok");
}

TEST_F(ServerTest, RemoteRefusalFailsTheSetterAndTheChangerHearsNothing)
{
    auto a = Client({"--props", "accept"});
    auto b = Client({"--props", "refuse"});
    a->say("put BaudRate u 19200");
    EXPECT_EQ(b->line(), "REQ 25");
    EXPECT_EQ(a->line(), "PUT Ostra.Tethra.Error.E_FAIL");

    b->say("put BaudRate u 57600");
    EXPECT_EQ(a->line(), "REQ 25");
    EXPECT_EQ(a->line(), "CHG 25");
    EXPECT_EQ(b->line(), "PUT ok");
    a->say("get BaudRate");
    EXPECT_EQ(a->line(), "GET 57600");
    b->say("quit");
    a->say("quit");
    EXPECT_EQ(a->line(2000), "");  // the changer heard nothing of its own change
}

TEST_F(ServerTest, AStalledConsentCountsAsConsentAfterTheTimeOut)
{
    auto a = Client({"--props", "stall"});
    auto b = Client({"--props", "accept"});
    b->say("put BaudRate u 57600");
    EXPECT_EQ(a->line(), "REQ 25");
    EXPECT_EQ(b->line(), "PUT ok");  // once the server has given the question up
    EXPECT_EQ(a->line(), "CHG 25");
}

TEST_F(ServerTest, ReferencesCountPerConnection)
{
    auto a = Client({});
    a->say("refs");
    EXPECT_EQ(a->line(), "REFS 2 3 2");
}

TEST_F(ServerTest, ASinkThatIsNotThereIsUnadvisedAtOnce)
{
    auto a = Client({});
    a->say("advise-missing");
    const std::string first = a->line();
    ASSERT_EQ(first.rfind("ADVISED ", 0), 0U) << first;
    ASSERT_EQ(first.find("Error"), std::string::npos) << first;
    // A client object carries one events sink: a second Advise succeeds only once the
    // server has given up the first.
    std::string second;
    for (int i = 0; i < 100; ++i) {
        a->say("advise-missing");
        second = a->line();
        if (second != "ADVISED Ostra.Tethra.Error.CONNECT_E_ADVISELIMIT")
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(second.rfind("ADVISED ", 0), 0U);
    EXPECT_EQ(second.find("Error"), std::string::npos) << second;
}

TEST_F(ServerTest, AKilledClientGivesBackItsPort)
{
    auto a = Client({"--events", "record", "--props", "accept"});
    ASSERT_TRUE(peer_.send("x"));
    EXPECT_EQ(a->line_starting("DATA"), "DATA 78");
    a->kill_hard();
    EXPECT_TRUE(peer_.wait_closed(20000));
    EXPECT_TRUE(LocksBackToBaseline());
}

// A client that leaves the bus right after sending calls: the calls run before the
// clean-up after the client, so no object they hand out outlives it.
TEST_F(ServerTest, CallsSentJustBeforeTheClientLeftAreGivenBackWithIt)
{
    for (int round = 0; round < 10; ++round) {
        auto a = Client({});
        a->say("leave-after 50");
        EXPECT_TRUE(peer_.wait_closed(10000)) << "round " << round;
        EXPECT_TRUE(LocksBackToBaseline()) << "round " << round;
    }
}

// A client killed while its synchronous Send waits for a line held by X-off: the write
// is taken back, so the client's port is given back within the bound, not when (if
// ever) the line frees.
TEST_F(ServerTest, AClientKilledInASendOnAHeldLineGivesBackItsPort)
{
    auto a = Client({});
    a->say("put HandShakingMode i 1");  // X-on/X-off
    EXPECT_EQ(a->line(), "PUT ok");
    HoldTheLine();
    a->say("send-then-ping " + Hex("held"));
    EXPECT_EQ(a->line(), "PONG");  // the Send is under way
    a->kill_hard();
    EXPECT_TRUE(peer_.wait_closed(20000));
    EXPECT_TRUE(LocksBackToBaseline());
}

// Only the killed client's write is taken back: another client's asynchronous writes,
// queued before and after it, reach the device in order once the line frees.
TEST_F(ServerTest, AKilledSendersWriteLeavesTheOtherWritesOnTheLine)
{
    auto b = Client({});
    const LONG with_b = _Module.GetLockCount();
    auto a = Client({});
    a->say("put HandShakingMode i 1");
    EXPECT_EQ(a->line(), "PUT ok");
    HoldTheLine();
    b->say("sendmany 2");
    EXPECT_EQ(b->line(), "SENTMANY ok");
    a->say("send-then-ping " + Hex("held"));
    EXPECT_EQ(a->line(), "PONG");
    b->say("sendmany 2");
    EXPECT_EQ(b->line(), "SENTMANY ok");
    a->kill_hard();
    // The killed client's objects are given back once its Send has ended.
    for (int i = 0; i < 200 && _Module.GetLockCount() != with_b; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(_Module.GetLockCount(), with_b);
    ASSERT_TRUE(peer_.send("\x11"));
    const std::vector<BYTE> got = peer_.receive(12, 10000);
    EXPECT_EQ(std::string(got.begin(), got.end()), "<0><1><0><1>");
    EXPECT_TRUE(peer_.receive(1, 300).empty());
}

TEST_F(ServerTest, AClientThatReleasesEverythingWithoutUnadviseClosesThePort)
{
    auto a = Client({"--events", "record", "--props", "accept"});
    ASSERT_TRUE(peer_.send("x"));
    EXPECT_EQ(a->line_starting("DATA"), "DATA 78");
    a->say("release-all");
    EXPECT_EQ(a->line(), "RELEASED");
    EXPECT_TRUE(peer_.wait_closed(10000));  // while the client stays on the bus
    // The next client opens the port afresh and hears its data.
    auto b = Client({"--events", "record"});
    ASSERT_TRUE(peer_.send("y"));
    EXPECT_EQ(b->line_starting("DATA"), "DATA 79");
}

TEST_F(ServerTest, APortAndItsConnectionPointLetGoTogetherAreGivenBackEveryTime)
{
    // Each round opens and closes the port: the client's first port object goes first.
    auto a = Client({});
    a->say("drop-port");
    EXPECT_EQ(a->line(), "DROPPED");
    ASSERT_TRUE(peer_.wait_closed(10000));
    const LONG held = _Module.GetLockCount();  // the client's registry
    a->say("cycle 300");
    EXPECT_EQ(a->line_starting("CYCLE", 120000), "CYCLED");
    // While the client stays on the bus.
    EXPECT_TRUE(peer_.wait_closed(10000));
    for (int i = 0; i < 200 && _Module.GetLockCount() != held; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(_Module.GetLockCount(), held);
    EXPECT_TRUE(factory_.tethra.m_mapPorts.empty());
}

TEST_F(ServerTest, AStalledSinkHoldsUpNeitherThePortNorAnotherClient)
{
    auto stalled = Client({"--events", "stall"});
    auto b = Client({"--events", "record", "--props", "accept"});
    std::string sent;
    for (int i = 0; i < 40; ++i) {
        const std::string chunk = "#" + std::to_string(i) + ";";
        ASSERT_TRUE(peer_.send(chunk));
        sent += chunk;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::string got;
    while (got.size() < Hex(sent).size()) {
        const std::string l = b->line_starting("DATA ", 3000);
        ASSERT_FALSE(l.empty()) << "received " << got.size() / 2 << " bytes";
        got += l.substr(5);
    }
    EXPECT_EQ(got, Hex(sent));
    EXPECT_EQ(stalled->line_starting("STALLED").rfind("STALLED", 0), 0U);
    b->say("send " + Hex("still"));
    EXPECT_EQ(b->line_starting("SENT", 3000), "SENT ok");
}

TEST_F(ServerTest, TheRuntimeStopsWhileASinkOwesItsAnswers)
{
    kept_ = Client({"--events", "stall"});
    ASSERT_TRUE(peer_.send("abc"));
    EXPECT_EQ(kept_->line_starting("STALLED").rfind("STALLED", 0), 0U);
    // TearDown stops the runtime with this OnData call unanswered.
}

TEST_F(ServerTest, AnotherClientsObjectIsUnknownToACaller)
{
    auto a = Client({});
    auto b = Client({});
    a->say("foreign " + b->ready.substr(6));
    const std::string unknown = "org.freedesktop.DBus.Error.UnknownObject";
    EXPECT_EQ(a->line(), "FOREIGN " + unknown + " " + unknown + " " + unknown);
    b->say("refs");
    EXPECT_EQ(b->line(), "REFS 2 3 2");  // the foreign AddRef counted nowhere
}

TEST_F(ServerTest, BadCallsGetCleanErrorsAndChangeNothing)
{
    auto a = Client({"--events", "record"});
    a->say("probe");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"send-string", "Ostra.Tethra.Error.E_INVALIDARG"},
        {"send-int-array", "Ostra.Tethra.Error.E_INVALIDARG"},
        {"send-struct", "Ostra.Tethra.Error.E_INVALIDARG"},
        {"wrong-signature", "org.freedesktop.DBus.Error.InvalidArgs"},
        {"unknown-member", "org.freedesktop.DBus.Error.UnknownMethod"},
        {"unknown-interface", "org.freedesktop.DBus.Error.UnknownInterface"},
        {"set-wrong-type", "org.freedesktop.DBus.Error.InvalidArgs"},
        {"set-read-only", "org.freedesktop.DBus.Error.PropertyReadOnly"},
        {"get-unknown", "org.freedesktop.DBus.Error.UnknownProperty"},
        {"put-out-of-range", "Ostra.Tethra.Error.E_INVALIDARG"},
        {"foreign-path", "org.freedesktop.DBus.Error.UnknownObject"},
        {"foreign-introspect", "org.freedesktop.DBus.Error.UnknownObject"},
        {"unadvise-unknown", "Ostra.Tethra.Error.CONNECT_E_NOCONNECTION"},
        {"bad-riid", "Ostra.Tethra.Error.E_INVALIDARG"},
        {"no-interface", "Ostra.Tethra.Error.E_NOINTERFACE"},
        {"baud", "38400"},  // a pseudo-terminal's own rate, unchanged
        {"released", "org.freedesktop.DBus.Error.UnknownObject"},
    };
    for (const auto& [name, error] : expected)
        EXPECT_EQ(a->line(120000), name + " " + error);
    EXPECT_EQ(a->line(), "PROBED");
    EXPECT_TRUE(peer_.receive(1, 500).empty());  // nothing reached the device
}

}  // namespace
