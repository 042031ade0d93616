#include "platform/testing/socat.h"

#include "platform/comm/termios2.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
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
    char dir[] = "/tmp/tethra-socat-XXXXXX";
    if (!::mkdtemp(dir))
        return;
    dir_ = dir;
    device_ = dir_ + "/device";
    far_end_ = dir_ + "/far";
    start();
}

socat_pair::~socat_pair()
{
    stop();
    if (!dir_.empty()) {
        ::unlink(device_.c_str());
        ::unlink(far_end_.c_str());
        ::rmdir(dir_.c_str());
    }
}

// socat -d -d reports "starting data transfer loop" once both terminals and their links
// are made.
bool socat_pair::start()
{
    if (pid_ > 0 || dir_.empty())
        return pid_ > 0;
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0)
        return false;
    const std::string device = (restarted_ ? "pty,link=" : "pty,raw,echo=0,link=") + device_;
    const std::string far = "pty,raw,echo=0,link=" + far_end_;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(err[1], STDERR_FILENO);
        ::execlp("socat", "socat", "-d", "-d", device.c_str(), far.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(err[1]);
    if (pid < 0) {
        ::close(err[0]);
        return false;
    }
    std::string log;
    char buffer[512];
    bool started = false;
    for (ssize_t n; !started && (n = ::read(err[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        log.append(buffer, static_cast<std::size_t>(n));
        started = log.find("starting data transfer loop") != std::string::npos;
    }
    if (started)
        far_ = ::open(far_end_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (far_ < 0) {
        ::close(err[0]);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return false;
    }
    // Kept open, unread, until socat ends: its later notices (a side at end of file) fit
    // in the pipe, where a closed pipe would end socat with SIGPIPE.
    log_ = err[0];
    pid_ = pid;
    return true;
}

void socat_pair::stop()
{
    if (far_ >= 0)
        ::close(far_);
    far_ = -1;
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    restarted_ = true;
    ::close(log_);
    log_ = -1;
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

bool socat_pair::device_settings(tty_settings& s) const
{
    int fd = ::open(device_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    platform::kernel_termios t;
    int error = platform::termios2_get(fd, t);
    ::close(fd);
    if (error != 0)
        return false;
    s.baud = t.ospeed;
    s.two_stop_bits = (t.cflag & CSTOPB) != 0;
    s.rts_cts = (t.cflag & CRTSCTS) != 0;
    s.xon_out = (t.iflag & IXON) != 0;
    s.xon_in = (t.iflag & IXOFF) != 0;
    return true;
}

std::size_t read_fd(int fd, std::size_t count, DWORD timeout_ms, std::vector<BYTE>* bytes)
{
    std::size_t got = 0;
    BYTE buffer[65536];
    while (got < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout_ms)) <= 0 || !(p.revents & POLLIN))
            break;
        const std::size_t want = count - got;
        const ssize_t n = ::read(fd, buffer, want < sizeof buffer ? want : sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            break;
        }
        got += static_cast<std::size_t>(n);
        if (bytes)
            bytes->insert(bytes->end(), buffer, buffer + n);
    }
    return got;
}

std::vector<BYTE> read_fd(int fd, std::size_t count, DWORD timeout_ms)
{
    std::vector<BYTE> bytes;
    read_fd(fd, count, timeout_ms, &bytes);
    return bytes;
}

std::string socat_pair::receive(std::size_t count, DWORD timeout_ms) const
{
    const std::vector<BYTE> bytes = read_fd(far_, count, timeout_ms);
    return std::string(bytes.begin(), bytes.end());
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
    // utime and stime are the 14th and 15th fields; the name (2nd) may hold spaces and
    // parentheses, so the count starts after its last ')', at the 3rd.
    std::ifstream stat_file(dir + "/stat");
    std::string stat;
    std::getline(stat_file, stat);
    const std::size_t name_end = stat.rfind(')');
    if (name_end != std::string::npos) {
        std::istringstream fields(stat.substr(name_end + 1));
        std::string skipped;
        for (int field = 3; field < 14 && fields >> skipped; ++field) {
        }
        unsigned long long utime = 0, stime = 0;
        if (fields >> utime >> stime)
            figures.cpu_ms = static_cast<double>(utime + stime) * 1000.0 /
                             static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    return figures;
}

}  // namespace platform::testing
