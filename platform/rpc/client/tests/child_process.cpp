#include "platform/rpc/client/tests/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace rpc_client_test {

namespace {

std::string read_line(FILE* f)
{
    char buf[512] = {};
    if (!std::fgets(buf, sizeof buf, f))
        return std::string();
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

}  // namespace

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
    FILE* f = ::fdopen(fds[0], "r");
    line_ = read_line(f);
    std::fclose(f);
}

child_process::~child_process()
{
    kill(SIGTERM);
}

void child_process::kill(int signal)
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, signal);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace rpc_client_test
