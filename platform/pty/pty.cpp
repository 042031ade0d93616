#include "platform/pty/pty.h"

#include "platform/comm/comm_errors.h"
#include "platform/comm/termios2.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

DWORD last_error()
{
    return comm_error_from_errno(errno);
}

void close_fd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

DWORD pty_pair::create(std::unique_ptr<pty_pair>& pair)
{
    std::unique_ptr<pty_pair> result(new pty_pair);
    result->master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (result->master_ < 0)
        return last_error();
    char name[128] = {};
    if (::grantpt(result->master_) != 0 || ::unlockpt(result->master_) != 0 ||
        ::ptsname_r(result->master_, name, sizeof name) != 0)
        return last_error();
    result->slave_path_ = name;
    const int flags = ::fcntl(result->master_, F_GETFL);
    int packet = 1;
    if (flags < 0 || ::fcntl(result->master_, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::ioctl(result->master_, TIOCPKT, &packet) != 0)
        return last_error();
    result->slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    result->wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (result->slave_ < 0 || result->wake_ < 0)
        return last_error();

    // Raw, as a serial device that no program has configured yet should be for a program
    // that does not configure it: nothing echoed back to the line, nothing translated.
    kernel_termios t;
    if (int error = termios2_get(result->slave_, t); error != 0)
        return comm_error_from_errno(error);
    t.iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    t.oflag &= ~OPOST;
    t.lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.lflag |= EXTPROC;
    t.cflag |= CREAD | CLOCAL;
    t.cc[VMIN] = 1;
    t.cc[VTIME] = 0;
    line_settings defaults;
    put_line_settings(t, defaults);
    if (int error = termios2_set(result->slave_, t, defaults.baud); error != 0)
        return comm_error_from_errno(error);
    // The packet that announces this first setting is not news to anyone.
    DWORD got = 0;
    BOOL changed = FALSE;
    char scratch[64];
    result->read(scratch, sizeof scratch, &got, &changed);
    pair = std::move(result);
    return ERROR_SUCCESS;
}

pty_pair::~pty_pair()
{
    close_fd(master_);
    close_fd(slave_);
    close_fd(wake_);
}

DWORD pty_pair::wait(bool want_read, bool want_write)
{
    pollfd fds[2] = {};
    fds[0].fd = wake_;
    fds[0].events = POLLIN;
    fds[1].fd = master_;
    fds[1].events = static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0));
    for (;;) {
        const int n = ::poll(fds, fds[1].events ? 2 : 1, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 0;
        break;
    }
    DWORD result = 0;
    if (fds[0].revents & POLLIN) {
        std::uint64_t count = 0;
        while (::read(wake_, &count, sizeof count) < 0 && errno == EINTR) {
        }
        result |= woken;
    }
    // A hang-up or error on the master shows as readable: read() then reports it.
    if (fds[1].revents & (POLLIN | POLLPRI | POLLHUP | POLLERR))
        result |= want_read ? readable : 0;
    if (fds[1].revents & POLLOUT)
        result |= writable;
    return result;
}

void pty_pair::wake()
{
    const std::uint64_t one = 1;
    while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

DWORD pty_pair::read(void* buffer, DWORD size, DWORD* got, BOOL* settings_changed)
{
    *got = 0;
    *settings_changed = FALSE;
    // In packet mode every read starts with one status byte: 0 before data, or the
    // TIOCPKT_* bits of a status change alone.
    std::vector<char> packet(static_cast<std::size_t>(size) + 1);
    for (;;) {
        const ssize_t n = ::read(master_, packet.data(), packet.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                return ERROR_SUCCESS;
            return last_error();
        }
        if (n == 0)
            return ERROR_SUCCESS;
        if (packet[0] == TIOCPKT_DATA) {
            const auto bytes = static_cast<std::size_t>(n - 1);
            std::copy(packet.begin() + 1, packet.begin() + n, static_cast<char*>(buffer));
            *got = static_cast<DWORD>(bytes);
            return ERROR_SUCCESS;
        }
        if (packet[0] & TIOCPKT_IOCTL)
            *settings_changed = TRUE;
        // Flush and flow-stop notices carry nothing for the line; look for data behind.
    }
}

DWORD pty_pair::write(const void* data, DWORD size, DWORD* written)
{
    *written = 0;
    for (;;) {
        const ssize_t n = ::write(master_, data, size);
        if (n >= 0) {
            *written = static_cast<DWORD>(n);
            return ERROR_SUCCESS;
        }
        if (errno == EINTR)
            continue;
        return errno == EAGAIN ? ERROR_SUCCESS : last_error();
    }
}

DWORD pty_pair::keep_extproc()
{
    kernel_termios t;
    if (int error = termios2_get(slave_, t); error != 0)
        return comm_error_from_errno(error);
    if (t.lflag & EXTPROC)
        return ERROR_SUCCESS;
    t.lflag |= EXTPROC;
    return comm_error_from_errno(termios2_set(slave_, t, t.ospeed));
}

DWORD pty_pair::get_settings(line_settings& settings)
{
    if (DWORD error = keep_extproc(); error != ERROR_SUCCESS)
        return error;
    kernel_termios t;
    if (int error = termios2_get(slave_, t); error != 0)
        return comm_error_from_errno(error);
    settings = line_settings_from_termios(t);
    return ERROR_SUCCESS;
}

DWORD pty_pair::set_settings(const line_settings& settings)
{
    kernel_termios t;
    if (int error = termios2_get(slave_, t); error != 0)
        return comm_error_from_errno(error);
    put_line_settings(t, settings);
    t.lflag |= EXTPROC;
    return comm_error_from_errno(termios2_set(slave_, t, settings.baud));
}

}  // namespace platform
