#include "comm_test_support.h"

#include <cerrno>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace comm_test {

pty_pair::pty_pair()
{
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        ADD_FAILURE() << "openpty failed";
    termios t{};
    ::tcgetattr(master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master, TCSANOW, &t);
    path = name;
}

pty_pair::~pty_pair()
{
    close_master();
    if (slave >= 0)
        ::close(slave);
}

void pty_pair::close_master()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}

void pty_pair::send(const std::string& bytes) const
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "write to the pty master failed";
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string pty_pair::receive(std::size_t count, int timeout_ms) const
{
    std::string bytes(count, '\0');
    std::size_t done = 0;
    while (done < count) {
        pollfd ready{master, POLLIN, 0};
        if (::poll(&ready, 1, timeout_ms) == 0)
            break;
        ssize_t n = ::read(master, bytes.data() + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

}  // namespace comm_test
