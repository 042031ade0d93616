// Real terminals for the tests of command-line programs: a program run on a
// pseudo-terminal of its own (keys in, screen out). Serial lines for them are socat pairs
// (platform/testing/socat.h).
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

}  // namespace platform::testing
