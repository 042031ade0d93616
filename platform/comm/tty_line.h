// The tty back end: a Linux character device (UART, USB adapter) or pseudo-terminal.
#pragma once

#include "platform/comm/device_lock.h"
#include "platform/comm/serial_line.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

class tty_line final : public serial_line {
public:
    // Opens path for exclusive use (O_NONBLOCK | O_NOCTTY: never the controlling
    // terminal), puts it in raw mode keeping its speed, framing and flow control, and
    // returns 0, or ENOENT for a missing device or one that is not a tty, EBUSY when
    // another open holds it, or another errno.
    static int open(const std::string& path, std::unique_ptr<tty_line>& line);
    ~tty_line() override;

    wait_spec wait_for(bool want_read, bool want_write) override;
    ssize_t read(void* buffer, std::size_t size) override;
    ssize_t write(const void* buffer, std::size_t size) override;
    bool marks_errors() const override { return marks_errors_; }
    int apply(const line_settings& settings) override;
    int current(line_settings& settings) override;
    bool has_modem_lines() const override { return has_modem_lines_; }
    int get_modem(modem_bits& bits) override;
    int set_dtr(bool on) override;
    int set_rts(bool on) override;
    int set_break(bool on) override;
    int suspend_output(bool suspend) override;
    void watch_modem(bool enable, std::function<void()> notify) override;
    bool get_counters(line_counters& counters) override;
    std::size_t output_pending() override;
    void close() override;

private:
    tty_line() = default;
    int configure();
    void modem_watch_main();
    void stop_modem_watch();

    int fd_ = -1;
    std::string path_;
    device_lock lock_;
    bool marks_errors_ = true;
    bool has_modem_lines_ = false;
    bool has_counters_ = false;

    // Modem watch: a thread of its own blocks in TIOCMIWAIT; where the device refuses
    // that ioctl it falls back to reading TIOCMGET every modem_poll_ms, and only while
    // watching is enabled.
    std::mutex watch_mutex_;
    std::condition_variable watch_cv_;
    std::thread watch_thread_;
    std::function<void()> notify_;
    bool watch_enabled_ = false;
    bool watch_stop_ = false;
    bool watch_exited_ = false;
};

}  // namespace platform
