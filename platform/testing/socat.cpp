#include "platform/testing/socat.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace platform::testing {

socat_pair::socat_pair()
{
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(err[1], STDERR_FILENO);
        ::execlp("socat", "socat", "-d", "-d", "pty,raw,echo=0", "pty,raw,echo=0",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(err[1]);
    if (pid_ < 0) {
        ::close(err[0]);
        return;
    }
    // socat names both ptys ("PTY is /dev/pts/N") before it starts copying.
    FILE* log = ::fdopen(err[0], "r");
    std::vector<std::string> paths;
    char line[512];
    while (paths.size() < 2 && std::fgets(line, sizeof line, log)) {
        if (const char* at = std::strstr(line, "PTY is ")) {
            std::string path = at + 7;
            path.erase(path.find_last_not_of("\r\n ") + 1);
            paths.push_back(path);
        }
    }
    // Its later notices go nowhere: the pipe closes, socat writes to a closed pipe only
    // on errors, and SIGPIPE then ends a socat that is failing anyway.
    std::fclose(log);
    if (paths.size() != 2)
        return;
    port_path_ = paths[0];
    far_ = ::open(paths[1].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

socat_pair::~socat_pair()
{
    if (far_ >= 0)
        ::close(far_);
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool socat_pair::send(const void* data, std::size_t size, const std::atomic<bool>* stop,
                      std::size_t* written) const
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(far_, bytes, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                return false;
            // Full: wait until the pair takes more, looking at stop now and then.
            pollfd p{far_, POLLOUT, 0};
            if (::poll(&p, 1, stop ? 100 : 60000) == 0 &&
                (!stop || stop->load(std::memory_order_relaxed)))
                return false;
            continue;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
        if (written)
            *written += static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<BYTE> read_fd(int fd, std::size_t count, DWORD timeout_ms)
{
    std::vector<BYTE> bytes;
    BYTE buffer[65536];
    while (bytes.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout_ms)) <= 0 || !(p.revents & POLLIN))
            break;
        const std::size_t want = count - bytes.size();
        const ssize_t n = ::read(fd, buffer, want < sizeof buffer ? want : sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

std::vector<BYTE> socat_pair::receive(std::size_t count, DWORD timeout_ms) const
{
    return read_fd(far_, count, timeout_ms);
}

std::size_t socat_pair::drain(DWORD timeout_ms) const
{
    std::size_t total = 0;
    BYTE buffer[65536];
    for (;;) {
        pollfd p{far_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout_ms)) <= 0 || !(p.revents & POLLIN))
            return total;
        const ssize_t n = ::read(far_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return total;
        total += static_cast<std::size_t>(n);
    }
}

process_figures figures_of(int pid)
{
    process_figures figures;
    const std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream status(dir + "/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "VmRSS:")
            words >> figures.rss_kib;
        else if (key == "Threads:")
            words >> figures.threads;
    }
    std::error_code error;
    int fds = 0;
    for (std::filesystem::directory_iterator it(dir + "/fd", error), end; !error && it != end;
         it.increment(error))
        ++fds;
    if (!error && figures.threads >= 0)
        figures.fds = fds;
    return figures;
}

}  // namespace platform::testing
