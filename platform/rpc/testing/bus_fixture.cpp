#include "platform/rpc/testing/bus_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace platform::rpc::testing {

namespace {

constexpr int kStartTimeoutMs = 10000;

void save_env(const char* name, std::string* value, bool* had)
{
    const char* v = std::getenv(name);
    *had = v != nullptr;
    if (v)
        *value = v;
}

void restore_env(const char* name, const std::string& value, bool had)
{
    if (had)
        ::setenv(name, value.c_str(), 1);
    else
        ::unsetenv(name);
}

// Reads the first line the daemon prints (its address), waiting up to the start time-out.
std::string read_address(int fd)
{
    std::string line;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, kStartTimeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        char c;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return {};
        if (c == '\n')
            return line;
        line += c;
    }
}

}  // namespace

private_bus::private_bus(int max_replies)
{
    char dir[] = "/tmp/tethra-bus-XXXXXX";
    if (!::mkdtemp(dir))
        return;
    dir_ = dir;
    service_dir_ = dir_ + "/services";
    std::error_code ec;
    std::filesystem::create_directory(service_dir_, ec);
    const std::string config = dir_ + "/bus.conf";
    {
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:dir=" << dir_ << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <servicedir>" << service_dir_ << "</servicedir>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "  <limit name=\"max_message_size\">134217728</limit>\n"
               "  <limit name=\"max_incoming_bytes\">1000000000</limit>\n"
               "  <limit name=\"max_outgoing_bytes\">1000000000</limit>\n"
               "  <limit name=\"reply_timeout\">300000</limit>\n";
        if (max_replies > 0)
            out << "  <limit name=\"max_replies_per_connection\">" << max_replies << "</limit>\n";
        out << "</busconfig>\n";
        if (!out)
            return;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    if (pid == 0) {
        // The daemon ends with the test, even one that is killed.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(fds[1], 3);
        const std::string config_arg = "--config-file=" + config;
        ::execlp("dbus-daemon", "dbus-daemon", config_arg.c_str(), "--nofork", "--print-address=3",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    pid_ = pid;
    address_ = read_address(fds[0]);
    ::close(fds[0]);
    if (address_.empty()) {
        stop();
        return;
    }
    save_env("DBUS_SESSION_BUS_ADDRESS", &saved_session_, &had_session_);
    save_env("DBUS_STARTER_ADDRESS", &saved_starter_, &had_starter_);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    ::unsetenv("DBUS_STARTER_ADDRESS");
}

private_bus::~private_bus()
{
    stop();
    if (!address_.empty()) {
        restore_env("DBUS_SESSION_BUS_ADDRESS", saved_session_, had_session_);
        restore_env("DBUS_STARTER_ADDRESS", saved_starter_, had_starter_);
    }
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void private_bus::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace platform::rpc::testing

// Under LeakSanitizer: Qt keeps the thread data it makes for a thread that it did not
// start (the test's main thread calling into the bus) until that thread ends, which the
// main thread never does before the leak check runs. Qt is built without frame
// pointers, so the fast unwinder sees only the allocation inside Qt: allocations made in
// Qt are suppressed, while objects a test or the runtime leaks are still reported by
// their own (direct) allocation.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libQt6Core.so\n";
}
