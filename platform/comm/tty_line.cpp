#include "platform/comm/tty_line.h"

#include "platform/comm/comm.h"
#include "platform/comm/termios2.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

// Fallback modem-line reading where TIOCMIWAIT is refused: 20 times a second, and only
// while the comm mask asks for modem events.
constexpr int modem_poll_ms = 50;

constexpr int modem_wait_lines = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;

// TIOCMIWAIT has no time-out and closing the descriptor does not end it; the watch
// thread is woken for shutdown by this signal, whose handler does nothing (installed
// without SA_RESTART, so the ioctl returns EINTR).
int wake_signal()
{
    static const int signal_number = [] {
        int number = SIGRTMIN + 4;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        ::sigaction(number, &action, nullptr);
        return number;
    }();
    return signal_number;
}

// Unix98 pseudo-terminal slaves (majors 136..143) and the legacy BSD slaves (major 3).
bool is_pseudo_terminal(dev_t device)
{
    unsigned major_number = major(device);
    return (major_number >= 136 && major_number <= 143) || major_number == 3;
}

}  // namespace

int tty_line::open(const std::string& path, std::unique_ptr<tty_line>& line)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || !::isatty(fd)) {
        ::close(fd);
        return ENOENT;
    }
    std::unique_ptr<tty_line> result(new tty_line);
    result->fd_ = fd;
    result->path_ = path;
    if (int error = result->lock_.acquire(fd, path); error != 0) {
        ::close(fd);
        result->fd_ = -1;
        return error;
    }
    ::ioctl(fd, TIOCEXCL);
    // A pseudo-terminal never receives a line error or a break, so error marking stays
    // off there and the line discipline keeps its raw fast path.
    result->marks_errors_ = !is_pseudo_terminal(info.st_rdev);
    int bits = 0;
    result->has_modem_lines_ = ::ioctl(fd, TIOCMGET, &bits) == 0;
    serial_icounter_struct counters {};
    result->has_counters_ = ::ioctl(fd, TIOCGICOUNT, &counters) == 0;
    if (int error = result->configure(); error != 0) {
        result->close();
        return error;
    }
    line = std::move(result);
    return 0;
}

tty_line::~tty_line()
{
    close();
}

int tty_line::configure()
{
    line_settings settings;
    if (int error = current(settings); error != 0)
        return error;
    return apply(settings);
}

int tty_line::apply(const line_settings& s)
{
    kernel_termios t;
    if (int error = termios2_get(fd_, t); error != 0)
        return error;
    // Raw input: no translation, no signals, no echo; errors and breaks marked in the
    // data (PARMRK with INPCK, BRKINT off) where the device can have them.
    t.iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                 IXON | IXOFF | IXANY | IMAXBEL | IUCLC);
    if (marks_errors_)
        t.iflag |= INPCK | PARMRK;
    t.oflag &= ~OPOST;
    t.lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN | TOSTOP);
    // CLOCAL: a dropped carrier must not hang the device up under the driver.
    t.cflag |= CREAD | CLOCAL;
    put_line_settings(t, s);
    t.cc[VMIN] = 1;
    t.cc[VTIME] = 0;
    return termios2_set(fd_, t, s.baud);
}

// What the device really holds. A pseudo-terminal keeps the speed (any rate), the stop
// bits, hardware and X-on/X-off flow control and the X-on/X-off characters, but always
// reads back 8 data bits and no parity: the pty driver forces CS8 and clears PARENB.
int tty_line::current(line_settings& s)
{
    kernel_termios t;
    if (int error = termios2_get(fd_, t); error != 0)
        return error;
    s = line_settings_from_termios(t);
    return 0;
}

serial_line::wait_spec tty_line::wait_for(bool want_read, bool want_write)
{
    wait_spec request;
    request.fd = fd_;
    request.events = static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0));
    return request;
}

ssize_t tty_line::read(void* buffer, std::size_t size)
{
    ssize_t n = ::read(fd_, buffer, size);
    return n >= 0 ? n : -errno;
}

ssize_t tty_line::write(const void* buffer, std::size_t size)
{
    ssize_t n = ::write(fd_, buffer, size);
    return n >= 0 ? n : -errno;
}

int tty_line::get_modem(modem_bits& bits)
{
    bits = 0;
    if (!has_modem_lines_)
        return 0;
    int lines = 0;
    if (::ioctl(fd_, TIOCMGET, &lines) != 0)
        return errno;
    if (lines & TIOCM_CTS)
        bits |= MS_CTS_ON;
    if (lines & TIOCM_DSR)
        bits |= MS_DSR_ON;
    if (lines & TIOCM_RNG)
        bits |= MS_RING_ON;
    if (lines & TIOCM_CD)
        bits |= MS_RLSD_ON;
    return 0;
}

int tty_line::set_dtr(bool on)
{
    int bit = TIOCM_DTR;
    return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : errno;
}

int tty_line::set_rts(bool on)
{
    int bit = TIOCM_RTS;
    return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : errno;
}

int tty_line::set_break(bool on)
{
    return ::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0 ? 0 : errno;
}

int tty_line::suspend_output(bool suspend)
{
    return ::ioctl(fd_, TCXONC, suspend ? TCOOFF : TCOON) == 0 ? 0 : errno;
}

bool tty_line::get_counters(line_counters& c)
{
    if (!has_counters_)
        return false;
    serial_icounter_struct k {};
    if (::ioctl(fd_, TIOCGICOUNT, &k) != 0)
        return false;
    c.frame = static_cast<std::uint32_t>(k.frame);
    c.parity = static_cast<std::uint32_t>(k.parity);
    c.overrun = static_cast<std::uint32_t>(k.overrun);
    c.brk = static_cast<std::uint32_t>(k.brk);
    c.buf_overrun = static_cast<std::uint32_t>(k.buf_overrun);
    return true;
}

std::size_t tty_line::output_pending()
{
    int queued = 0;
    if (::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0)
        return 0;
    return static_cast<std::size_t>(queued);
}

void tty_line::watch_modem(bool enable, std::function<void()> notify)
{
    if (!has_modem_lines_)
        return;  // a pseudo-terminal: no lines, no thread, no polling
    std::lock_guard lock(watch_mutex_);
    notify_ = std::move(notify);
    watch_enabled_ = enable;
    if (enable && !watch_thread_.joinable() && !watch_stop_) {
        wake_signal();
        try {
            watch_thread_ = std::thread([this] { modem_watch_main(); });
        } catch (...) {
            return;  // no thread: modem events are not reported
        }
    }
    watch_cv_.notify_all();
}

void tty_line::modem_watch_main()
{
    bool use_wait = true;
    int last = -1;
    std::unique_lock lock(watch_mutex_);
    while (!watch_stop_) {
        if (use_wait) {
            lock.unlock();
            int result = ::ioctl(fd_, TIOCMIWAIT, modem_wait_lines);
            int error = errno;
            lock.lock();
            if (watch_stop_)
                break;
            if (result == 0) {
                if (watch_enabled_ && notify_)
                    notify_();
                continue;
            }
            if (error == EINTR)
                continue;
            if (error == EIO || error == ENODEV)
                break;  // the device has gone; the driver thread sees it on its descriptor
            use_wait = false;  // refused (EINVAL, ENOTTY, ENOIOCTLCMD): read the lines
        }
        if (!watch_enabled_) {
            last = -1;
            watch_cv_.wait(lock, [this] { return watch_stop_ || watch_enabled_; });
            continue;
        }
        int lines = 0;
        if (::ioctl(fd_, TIOCMGET, &lines) == 0) {
            lines &= modem_wait_lines;
            if (last >= 0 && lines != last && notify_)
                notify_();
            last = lines;
        }
        watch_cv_.wait_for(lock, std::chrono::milliseconds(modem_poll_ms),
                           [this] { return watch_stop_ || !watch_enabled_; });
    }
    watch_exited_ = true;
    watch_cv_.notify_all();
}

void tty_line::stop_modem_watch()
{
    std::unique_lock lock(watch_mutex_);
    watch_stop_ = true;
    watch_cv_.notify_all();
    if (!watch_thread_.joinable())
        return;
    // The signal may arrive just before the thread enters TIOCMIWAIT; repeat it until
    // the thread has left.
    while (!watch_exited_) {
        ::pthread_kill(watch_thread_.native_handle(), wake_signal());
        watch_cv_.wait_for(lock, std::chrono::milliseconds(10), [this] { return watch_exited_; });
    }
    lock.unlock();
    watch_thread_.join();
}

void tty_line::close()
{
    if (fd_ < 0)
        return;
    stop_modem_watch();
    // Exclusive mode belongs to the tty, not to this descriptor: left set, it would keep
    // refusing unprivileged opens for as long as anything else holds the tty.
    ::ioctl(fd_, TIOCNXCL);
    lock_.release();
    ::close(fd_);
    fd_ = -1;
}

}  // namespace platform
