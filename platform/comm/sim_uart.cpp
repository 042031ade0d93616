// The simulated UART: its shared state, the test's side (sim_uart) and the driver's
// back end (sim_line).
#include "platform/comm/sim_uart.h"

#include "platform/comm/arrival_watch.h"
#include "platform/comm/comm.h"
#include "platform/comm/port_name.h"
#include "platform/comm/sim_line.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

// One UART. The driver thread waits on wake[0]; the test side writes a byte to wake[1]
// whenever it gives the driver something to do, and closes wake[1] to unplug, which
// the driver sees as a hang-up. Plugging it in again makes a new pair and makes the
// arrival descriptor readable for a driver waiting for the UART to come back.
struct sim_uart_state {
    std::string name;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::uint64_t generation = 0;  // counts changes, for wait_until
    int wake[2] = {-1, -1};
    int arrival = -1;  // eventfd
    bool open = false;
    bool unplugged = false;
    bool held = false;
    std::vector<BYTE> rx;  // marked, as the line discipline delivers it
    std::size_t rx_pos = 0;
    std::vector<BYTE> tx;
    line_settings settings;
    bool dtr = false;
    bool rts = false;
    bool brk = false;
    bool suspended = false;
    DWORD modem = 0;
    line_counters counters;
    bool watching = false;
    std::function<void()> notify;

    ~sim_uart_state()
    {
        for (int fd : wake) {
            if (fd >= 0)
                ::close(fd);
        }
        if (arrival >= 0)
            ::close(arrival);
    }

    // Under mutex.
    void touch()
    {
        ++generation;
        changed.notify_all();
    }
    void wake_driver()
    {
        if (wake[1] >= 0) {
            char one = 1;
            [[maybe_unused]] ssize_t n = ::send(wake[1], &one, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        }
    }
};

namespace {

std::mutex registry_mutex;
std::map<std::string, std::weak_ptr<sim_uart_state>>& registry()
{
    static auto* uarts = new std::map<std::string, std::weak_ptr<sim_uart_state>>;
    return *uarts;
}

class sim_line final : public serial_line {
public:
    explicit sim_line(std::shared_ptr<sim_uart_state> state) : s_(std::move(state)) {}
    ~sim_line() override { close(); }

    wait_spec wait_for(bool want_read, bool want_write) override
    {
        std::lock_guard lock(s_->mutex);
        bool ready = s_->unplugged || (want_read && s_->rx_pos < s_->rx.size()) ||
                     (want_write && !s_->held && !s_->suspended);
        if (ready) {
            s_->wake_driver();
        } else {
            char drain[64];
            while (::recv(s_->wake[0], drain, sizeof drain, MSG_DONTWAIT) > 0) {
            }
        }
        return wait_spec{s_->wake[0], POLLIN};
    }

    ssize_t read(void* buffer, std::size_t size) override
    {
        std::lock_guard lock(s_->mutex);
        if (s_->unplugged)
            return -EIO;
        std::size_t n = std::min(size, s_->rx.size() - s_->rx_pos);
        if (n == 0)
            return -EAGAIN;
        std::memcpy(buffer, s_->rx.data() + s_->rx_pos, n);
        s_->rx_pos += n;
        if (s_->rx_pos == s_->rx.size()) {
            s_->rx.clear();
            s_->rx_pos = 0;
        }
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const void* buffer, std::size_t size) override
    {
        std::lock_guard lock(s_->mutex);
        if (s_->unplugged)
            return -EIO;
        if (s_->held || s_->suspended)
            return -EAGAIN;
        const BYTE* bytes = static_cast<const BYTE*>(buffer);
        s_->tx.insert(s_->tx.end(), bytes, bytes + size);
        s_->touch();
        return static_cast<ssize_t>(size);
    }

    bool marks_errors() const override { return true; }

    // The simulated UART keeps every setting as given.
    int apply(const line_settings& settings) override
    {
        std::lock_guard lock(s_->mutex);
        s_->settings = settings;
        s_->touch();
        return 0;
    }
    int current(line_settings& settings) override
    {
        std::lock_guard lock(s_->mutex);
        settings = s_->settings;
        return 0;
    }

    bool has_modem_lines() const override { return true; }
    int get_modem(modem_bits& bits) override
    {
        std::lock_guard lock(s_->mutex);
        bits = s_->modem;
        return 0;
    }
    int set_dtr(bool on) override { return set_flag(s_->dtr, on); }
    int set_rts(bool on) override { return set_flag(s_->rts, on); }
    int set_break(bool on) override { return set_flag(s_->brk, on); }
    int suspend_output(bool suspend) override { return set_flag(s_->suspended, suspend); }

    void watch_modem(bool enable, std::function<void()> notify) override
    {
        std::lock_guard lock(s_->mutex);
        s_->watching = enable;
        s_->notify = std::move(notify);
    }

    bool get_counters(line_counters& counters) override
    {
        std::lock_guard lock(s_->mutex);
        counters = s_->counters;
        return true;
    }

    std::size_t output_pending() override { return 0; }

    void close() override
    {
        if (!s_)
            return;
        // The state may outlive the lock only through this reference: when the test has
        // already let go of its UART, dropping s_ under the lock would free the mutex
        // while it is held.
        std::shared_ptr<sim_uart_state> state = std::move(s_);
        std::lock_guard lock(state->mutex);
        state->open = false;
        state->watching = false;
        state->notify = nullptr;
        state->rx.clear();
        state->rx_pos = 0;
        state->touch();
    }

private:
    int set_flag(bool& flag, bool on)
    {
        std::lock_guard lock(s_->mutex);
        flag = on;
        s_->touch();
        return 0;
    }

    std::shared_ptr<sim_uart_state> s_;
};

class sim_arrival_watch final : public arrival_watch {
public:
    explicit sim_arrival_watch(std::shared_ptr<sim_uart_state> state) : s_(std::move(state)) {}
    int fd() const override { return s_->arrival; }
    void changed() override
    {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(s_->arrival, &count, sizeof count);
    }

private:
    std::shared_ptr<sim_uart_state> s_;
};

std::shared_ptr<sim_uart_state> find_uart(const std::string& name)
{
    std::lock_guard lock(registry_mutex);
    auto it = registry().find(name);
    return it != registry().end() ? it->second.lock() : nullptr;
}

}  // namespace

int watch_sim_arrival(const std::string& name, std::unique_ptr<arrival_watch>& watch)
{
    std::shared_ptr<sim_uart_state> state = find_uart(name);
    if (!state)
        return ENOENT;
    watch = std::make_unique<sim_arrival_watch>(std::move(state));
    return 0;
}

int open_sim_line(const std::string& name, std::unique_ptr<serial_line>& line)
{
    std::shared_ptr<sim_uart_state> state = find_uart(name);
    if (!state)
        return ENOENT;
    std::lock_guard lock(state->mutex);
    if (state->unplugged)
        return ENOENT;
    if (state->open)
        return EBUSY;
    state->open = true;
    // Opening a UART raises DTR and RTS, as a Linux tty does.
    state->dtr = true;
    state->rts = true;
    state->touch();
    line = std::make_unique<sim_line>(state);
    return 0;
}

// ---- the test's side ---------------------------------------------------------------------

std::shared_ptr<sim_uart> sim_uart::create(const std::string& name)
{
    auto state = std::make_shared<sim_uart_state>();
    state->name = name;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, state->wake) != 0)
        return nullptr;
    state->arrival = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state->arrival < 0)
        return nullptr;
    std::lock_guard lock(registry_mutex);
    auto& uarts = registry();
    auto it = uarts.find(name);
    if (it != uarts.end() && !it->second.expired())
        return nullptr;
    uarts[name] = state;
    return std::shared_ptr<sim_uart>(new sim_uart(state));
}

sim_uart::sim_uart(std::shared_ptr<sim_uart_state> state) : state_(std::move(state)) {}

sim_uart::~sim_uart()
{
    unplug();
    std::lock_guard lock(registry_mutex);
    auto it = registry().find(state_->name);
    if (it != registry().end() && it->second.lock() == state_)
        registry().erase(it);
}

std::string sim_uart::path() const
{
    return sim_uart_prefix + state_->name;
}

void sim_uart::send(const void* data, std::size_t size)
{
    std::lock_guard lock(state_->mutex);
    const BYTE* bytes = static_cast<const BYTE*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        state_->rx.push_back(bytes[i]);
        if (bytes[i] == 0xff)
            state_->rx.push_back(0xff);
    }
    state_->wake_driver();
}

void sim_uart::send_parity_error(BYTE c)
{
    std::lock_guard lock(state_->mutex);
    ++state_->counters.parity;
    state_->rx.insert(state_->rx.end(), {0xff, 0x00, c});
    state_->wake_driver();
}

void sim_uart::send_framing_error(BYTE c)
{
    std::lock_guard lock(state_->mutex);
    ++state_->counters.frame;
    state_->rx.insert(state_->rx.end(), {0xff, 0x00, c});
    state_->wake_driver();
}

void sim_uart::send_break()
{
    std::lock_guard lock(state_->mutex);
    ++state_->counters.brk;
    state_->rx.insert(state_->rx.end(), {0xff, 0x00, 0x00});
    state_->wake_driver();
}

void sim_uart::send_after_overrun(BYTE c)
{
    std::lock_guard lock(state_->mutex);
    ++state_->counters.overrun;
    state_->rx.push_back(c);
    if (c == 0xff)
        state_->rx.push_back(0xff);
    state_->wake_driver();
}

void sim_uart::send_after_buffer_overflow(BYTE c)
{
    std::lock_guard lock(state_->mutex);
    ++state_->counters.buf_overrun;
    state_->rx.push_back(c);
    if (c == 0xff)
        state_->rx.push_back(0xff);
    state_->wake_driver();
}

void sim_uart::set_modem_lines(DWORD ms_bits)
{
    std::lock_guard lock(state_->mutex);
    state_->modem = ms_bits & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    state_->touch();
    if (state_->watching && state_->notify)
        state_->notify();
}

void sim_uart::hold_output(bool hold)
{
    std::lock_guard lock(state_->mutex);
    state_->held = hold;
    state_->touch();
    state_->wake_driver();
}

void sim_uart::unplug()
{
    std::lock_guard lock(state_->mutex);
    if (state_->unplugged)
        return;
    state_->unplugged = true;
    ::close(state_->wake[1]);
    state_->wake[1] = -1;
    state_->touch();
}

bool sim_uart::replug()
{
    std::lock_guard lock(state_->mutex);
    if (!state_->unplugged || state_->open)
        return false;
    int wake[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, wake) != 0)
        return false;
    ::close(state_->wake[0]);
    state_->wake[0] = wake[0];
    state_->wake[1] = wake[1];
    state_->unplugged = false;
    // A device fresh from the box, as an adapter plugged in again is: default settings,
    // nothing received or held; the far end's lines are as the test left them.
    state_->settings = line_settings{};
    state_->dtr = false;
    state_->rts = false;
    state_->rx.clear();
    state_->rx_pos = 0;
    state_->held = false;
    state_->suspended = false;
    state_->brk = false;
    state_->touch();
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(state_->arrival, &one, sizeof one);
    return true;
}

std::vector<BYTE> sim_uart::written() const
{
    std::lock_guard lock(state_->mutex);
    return state_->tx;
}

std::vector<BYTE> sim_uart::take_written()
{
    std::lock_guard lock(state_->mutex);
    std::vector<BYTE> bytes;
    bytes.swap(state_->tx);
    return bytes;
}

bool sim_uart::dtr() const
{
    std::lock_guard lock(state_->mutex);
    return state_->dtr;
}

bool sim_uart::rts() const
{
    std::lock_guard lock(state_->mutex);
    return state_->rts;
}

bool sim_uart::in_break() const
{
    std::lock_guard lock(state_->mutex);
    return state_->brk;
}

bool sim_uart::output_suspended() const
{
    std::lock_guard lock(state_->mutex);
    return state_->suspended;
}

line_settings sim_uart::settings() const
{
    std::lock_guard lock(state_->mutex);
    return state_->settings;
}

bool sim_uart::is_open() const
{
    std::lock_guard lock(state_->mutex);
    return state_->open;
}

bool sim_uart::wait_until(const std::function<bool()>& pred, DWORD timeout_ms) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lock(state_->mutex);
            seen = state_->generation;
        }
        if (pred())
            return true;
        std::unique_lock lock(state_->mutex);
        if (!state_->changed.wait_until(lock, deadline,
                                        [&] { return state_->generation != seen; }))
            return false;
    }
}

bool sim_uart::wait_written(std::size_t count, DWORD timeout_ms) const
{
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [&] { return state_->tx.size() >= count; });
}

}  // namespace platform
