#include "platform/testing/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace platform::testing {

namespace {

// poll for readability within timeout_ms, going on after signals.
bool readable(int fd, DWORD timeout_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

bool write_all(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return fd >= 0;
}

std::vector<char*> c_args(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    return args;
}

}  // namespace

// ---- terminal_child -----------------------------------------------------------------------

terminal_child::terminal_child(const std::vector<std::string>& argv, int rows, int cols)
{
    if (argv.empty())
        return;
    std::vector<char*> args = c_args(argv);
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(cols);
    const pid_t pid = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid == 0) {
        ::execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) {
        master_ = -1;
        return;
    }
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    pid_ = pid;
}

terminal_child::~terminal_child()
{
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0)
        ::close(master_);
}

bool terminal_child::type(const std::string& keys) { return write_all(master_, keys); }

int terminal_child::read_some(DWORD timeout_ms)
{
    if (master_ < 0)
        return -1;
    if (!readable(master_, timeout_ms))
        return 0;
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0)
        return -1;  // EIO once every holder of the slave has closed it
    screen_.append(buffer, static_cast<std::size_t>(n));
    return 1;
}

bool terminal_child::wait_for(const std::string& text, DWORD timeout_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (screen_.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || read_some(static_cast<DWORD>(left.count())) <= 0)
            return screen_.find(text) != std::string::npos;
    }
    return true;
}

void terminal_child::signal(int number) const
{
    if (pid_ > 0 && !reaped_)
        ::kill(pid_, number);
}

int terminal_child::wait(DWORD timeout_ms)
{
    if (pid_ <= 0)
        return -1;
    if (reaped_)
        return status_;
    // The child's terminal ends when the child (and all it started) has closed it; its
    // exit follows, so the wait for it is short.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int got = 1;
    while (got > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -1;
        got = read_some(static_cast<DWORD>(left.count()));
    }
    if (got == 0)
        return -1;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_)
        return -1;
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
}

}  // namespace platform::testing
