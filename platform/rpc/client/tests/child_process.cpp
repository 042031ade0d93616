#include "platform/rpc/client/tests/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>


namespace rpc_client_test {

child_process::child_process(const std::vector<std::string>& argv)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return;
    }
    pid_ = pid;
    out_ = ::fdopen(fds[0], "r");
    line_ = read_line();
}

child_process::~child_process()
{
    kill(SIGTERM);
}

std::string child_process::read_line()
{
    char buf[512] = {};
    if (!out_ || !std::fgets(buf, sizeof buf, out_))
        return std::string();
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

void child_process::signal(int signal) const
{
    if (pid_ > 0)
        ::kill(pid_, signal);
}

void child_process::kill(int signal)
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, signal);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    if (out_)
        std::fclose(out_);
    out_ = nullptr;
}

}  // namespace rpc_client_test
