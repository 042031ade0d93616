// Real terminals and serial lines for the tests of command-line programs: a program run on
// a pseudo-terminal of its own (keys in, screen out), and a socat pair of pseudo-terminals
// standing in for a serial line (one end is the device a port maps to, the test is the
// far end).
//
// For tests and demonstrations only.
#pragma once

#include "platform/base/types.h"

#include <string>
#include <vector>

namespace platform::testing {

// A program whose standard input, output and error are the slave of a new
// pseudo-terminal of rows x cols; the test types on and reads the master. Killed
// (SIGKILL), if it still runs, when the object goes.
class terminal_child {
public:
    terminal_child(const std::vector<std::string>& argv, int rows = 24, int cols = 80);
    ~terminal_child();
    terminal_child(const terminal_child&) = delete;
    terminal_child& operator=(const terminal_child&) = delete;

    bool started() const { return pid_ > 0; }
    int pid() const { return pid_; }
    // Types the bytes; false when the terminal is gone.
    bool type(const std::string& keys);
    // Reads the screen until its output so far contains text or timeout_ms pass without
    // it; true when found. Everything read stays in screen().
    bool wait_for(const std::string& text, DWORD timeout_ms);
    const std::string& screen() const { return screen_; }
    // Sends a signal (SIGINT, SIGTERM, ...).
    void signal(int number) const;
    // Waits up to timeout_ms for its end (its terminal closed), reading its output
    // meanwhile; its exit code, or -1 (still running, or ended by a signal).
    int wait(DWORD timeout_ms);

private:
    // Reads what is there within timeout_ms: 1 when something came, 0 on time-out, -1 at
    // the end of the output.
    int read_some(DWORD timeout_ms);

    int pid_ = -1;
    int master_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::string screen_;
};

// socat joining two new pseudo-terminals, reached by links device() and far_end() in a
// temporary directory of its own; the test holds the far end open. Stopped (SIGTERM, then
// waited for) when the object goes.
class socat_pair {
public:
    socat_pair();
    ~socat_pair();
    socat_pair(const socat_pair&) = delete;
    socat_pair& operator=(const socat_pair&) = delete;

    bool ready() const { return far_ >= 0; }
    const std::string& device() const { return device_; }
    const std::string& far_end() const { return far_end_; }
    // Writes every byte at the far end; false on an error.
    bool send(const std::string& bytes) const;
    // Reads at the far end until it holds count bytes or timeout_ms pass without one.
    std::string receive(std::size_t count, DWORD timeout_ms) const;

private:
    int pid_ = -1;
    int far_ = -1;
    std::string dir_;
    std::string device_;
    std::string far_end_;
};

}  // namespace platform::testing
