#include "platform/testing/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace platform::testing {
namespace {

// Started with posix_spawn, which shares the parent's memory until the exec instead of
// copying its page tables as fork does: after a fork every page the parent writes costs
// it a fault (a copy while the child has not yet exec'd), which in a bench that is also
// the server would be charged to the server's figures.
int spawn(const std::vector<std::string>& argv, int out_fd, int in_fd = -1,
          bool quiet = false)
{
    if (argv.empty())
        return -1;
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    bool ok = true;
    if (out_fd >= 0)
        ok = ok && posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO) == 0;
    if (in_fd >= 0)
        ok = ok && posix_spawn_file_actions_adddup2(&actions, in_fd, STDIN_FILENO) == 0;
    if (quiet)
        ok = ok && posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null",
                                                    O_WRONLY, 0) == 0;
    pid_t pid = -1;
    if (ok && posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// As a shell tells it: the exit status, or 128 plus the signal that ended the process.
int exit_code(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

int reap(int pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return exit_code(status);
}

}  // namespace

int run_program(const std::vector<std::string>& argv)
{
    const int pid = spawn(argv, -1);
    return pid < 0 ? -1 : reap(pid);
}

int run_program(const std::vector<std::string>& argv, std::string* output)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const int pid = spawn(argv, fds[1], -1, true);
    close(fds[1]);
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0 && output)
            output->append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    return pid < 0 ? -1 : reap(pid);
}

bool wait_process_end(int pid, DWORD timeout_ms)
{
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return errno == ESRCH;
    pollfd p{fd, POLLIN, 0};
    int ready = 0;
    while ((ready = poll(&p, 1, static_cast<int>(timeout_ms))) < 0 && errno == EINTR) {
    }
    close(fd);
    return ready > 0;
}

bool process_exists(int pid)
{
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

void kill_process(int pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, WNOHANG);
}

void stop_process(int pid, bool stop)
{
    if (pid > 0)
        ::kill(pid, stop ? SIGSTOP : SIGCONT);
}

int name_owner_pid(const std::string& bus_address, const std::string& name)
{
    std::string output;
    int pid = -1;
    if (run_program({"/usr/bin/busctl", "--address=" + bus_address, "call", "org.freedesktop.DBus",
                     "/org/freedesktop/DBus", "org.freedesktop.DBus",
                     "GetConnectionUnixProcessID", "s", name},
                    &output) != 0 ||
        std::sscanf(output.c_str(), "u %d", &pid) != 1)
        return -1;
    return pid;
}

void set_environment(const char* name, const char* value)
{
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

child::child(const std::vector<std::string>& argv, bool capture_output)
{
    // A write to a child that has gone must fail (write_line's false, a test failure),
    // not end the test process with SIGPIPE before it could kill its other children.
    if (capture_output)
        ::signal(SIGPIPE, SIG_IGN);
    int fds[2] = {-1, -1};
    int in_fds[2] = {-1, -1};
    if (capture_output && pipe2(fds, O_CLOEXEC) != 0)
        return;
    if (capture_output && pipe2(in_fds, O_CLOEXEC) != 0) {
        close(fds[0]);
        close(fds[1]);
        return;
    }
    pid_ = spawn(argv, fds[1], in_fds[0]);
    if (capture_output) {
        close(fds[1]);
        close(in_fds[0]);
        out_ = fds[0];
        in_ = in_fds[1];
    }
}

bool child::write_line(const std::string& text)
{
    const std::string line = text + "\n";
    size_t done = 0;
    while (in_ >= 0 && done < line.size()) {
        const ssize_t n = write(in_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return in_ >= 0;
}

child::~child()
{
    kill();
    if (out_ >= 0)
        close(out_);
    if (in_ >= 0)
        close(in_);
}

std::string child::read_line(int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const std::size_t nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        int wait_ms = -1;
        if (timeout_ms >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait_ms = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        pollfd p{out_, POLLIN, 0};
        const int ready = out_ < 0 ? 0 : poll(&p, 1, wait_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return {};
        char chunk[4096];
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

std::string child::line_starting(const std::string& prefix, int timeout_ms)
{
    for (;;) {
        std::string line = read_line(timeout_ms);
        if (line.empty() || line.rfind(prefix, 0) == 0)
            return line;
    }
}

int child::wait(DWORD timeout_ms)
{
    if (pid_ <= 0 || !wait_process_end(pid_, timeout_ms))
        return -1;
    const int code = reap(pid_);
    pid_ = -1;
    return code;
}

void child::end(int signal)
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, signal);
    reap(pid_);
    pid_ = -1;
}

void child::kill()
{
    end(SIGKILL);
}

void child::signal(int signal) const
{
    if (pid_ > 0)
        ::kill(pid_, signal);
}

}  // namespace platform::testing
