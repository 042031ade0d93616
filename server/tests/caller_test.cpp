// Who may reach a server on a session bus: the bus admits connections of the user it runs
// as, and no other. A session-style private bus started by root, with the server
// activated on it; another user (nobody, through setpriv) may open the bus's socket but
// is refused, while root's identical call reaches the server. Skipped unless root, which
// alone can run a program as another user.
#include "server/tests/served_server.h"

#include "platform/testing/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using platform::testing::run_program;

// The socket of "unix:path=/tmp/x/dbus-abc,guid=..."; empty for another kind of address.
std::string SocketPath(const std::string& address)
{
    const std::string prefix = "unix:path=";
    if (address.rfind(prefix, 0) != 0)
        return {};
    const std::string rest = address.substr(prefix.size());
    return rest.substr(0, rest.find(','));
}

std::vector<std::string> AsNobody(std::vector<std::string> argv)
{
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                               "--clear-groups", "--"});
    return argv;
}

TEST(Callers, ASessionBusServerIsReachedByItsOwnUserAndRefusesAnother)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the bus processes run on Qt, which ThreadSanitizer cannot see into";
#endif
    std::string uid;
    if (run_program({"/usr/bin/id", "-u"}, &uid) != 0 || uid != "0\n")
        GTEST_SKIP() << "only root may run a client as another user";
    if (run_program({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                     "--", "/bin/true"}) != 0)
        GTEST_SKIP() << "setpriv cannot run a program as nobody here";

    reliability::served_server server(TETHRA_SERVER, 0);
    ASSERT_EQ(server.error(), "");
    const std::string socket = SocketPath(server.bus_address());
    ASSERT_FALSE(socket.empty()) << server.bus_address();

    // Nothing in the file system stands in the way: nobody may enter the bus's directory
    // and write to its socket, so a refusal can only come from the bus.
    std::error_code ec;
    fs::permissions(fs::path(socket).parent_path(),
                    fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add, ec);
    ASSERT_FALSE(ec) << ec.message();
    fs::permissions(socket, fs::perms::others_read | fs::perms::others_write,
                    fs::perm_options::add, ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(run_program(AsNobody({"/usr/bin/test", "-w", socket})), 0);

    const std::vector<std::string> ping{"/usr/bin/busctl", "--address=" + server.bus_address(),
                                        "call", "Ostra.Tethra", "/",
                                        "org.freedesktop.DBus.Peer", "Ping"};
    std::string output;
    EXPECT_EQ(run_program(ping, &output), 0) << "root's own call did not reach the server";
    EXPECT_NE(run_program(AsNobody(ping), &output), 0)
        << "another user reached the server: " << output;
    // The call to the bus itself is refused as well: the connection is.
    EXPECT_NE(run_program(AsNobody({"/usr/bin/busctl", "--address=" + server.bus_address(),
                                    "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "GetId"}),
                          &output),
              0)
        << "another user was admitted to the bus: " << output;
    EXPECT_TRUE(server.finish(10000));
}

}  // namespace
