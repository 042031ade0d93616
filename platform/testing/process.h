// Processes for the tests of the server executable: programs run to their end, children
// started and stopped, and other processes (a server the bus started) waited for.
//
// For tests and demonstrations only.
#pragma once

#include "platform/base/types.h"

#include <string>
#include <vector>

namespace platform::testing {

// Runs argv[0] (a path) with the arguments and waits for it. Its exit code (128 plus the
// signal when a signal ended it); -1 when it could not be started. Its output goes where
// ours goes.
int run_program(const std::vector<std::string>& argv);
// The same, and what it wrote to its standard output; its standard error is discarded.
int run_program(const std::vector<std::string>& argv, std::string* output);

// Waits, without polling, up to timeout_ms for the process pid (any process, not only a
// child of ours) to end. true when it has ended (or never existed).
bool wait_process_end(int pid, DWORD timeout_ms);
// Whether a process pid exists.
bool process_exists(int pid);
// SIGKILL for pid; waits for it when it is a child of ours.
void kill_process(int pid);
// SIGSTOP (stop) or SIGCONT (not stop) for pid: a process that stops answering, and
// goes on again.
void stop_process(int pid, bool stop);

// The process that owns the bus name on the bus at bus_address (asked with busctl), or
// -1 when nobody owns it.
int name_owner_pid(const std::string& bus_address, const std::string& name = "Ostra.Tethra");

// Sets (value not null) or removes an environment variable of this process, which its
// children inherit.
void set_environment(const char* name, const char* value);

// A child process; ended with SIGKILL, if it still runs, when the object goes.
class child {
public:
    // With capture_output, its standard output comes to read_line and write_line goes to
    // its standard input, and this process ignores SIGPIPE from then on.
    explicit child(const std::vector<std::string>& argv, bool capture_output = false);
    ~child();
    child(const child&) = delete;
    child& operator=(const child&) = delete;

    int pid() const { return pid_; }
    // Waits up to timeout_ms for its end; its exit code (128 plus the signal when a signal
    // ended it), or -1 while it still runs.
    int wait(DWORD timeout_ms);
    // SIGKILL and reap.
    void kill();
    // Sends the signal and reaps it.
    void end(int signal);
    // Sends the signal and leaves it running.
    void signal(int signal) const;
    // Its next line of output without the newline; empty at the end of its output, or
    // when timeout_ms (unless negative: no limit) passes without one.
    std::string read_line(int timeout_ms = -1);
    // Its next line that starts with prefix, the lines before it skipped; empty as
    // read_line's is (the time-out counts for each line).
    std::string line_starting(const std::string& prefix, int timeout_ms = -1);
    // Writes the text and a newline to its standard input; false when it is gone.
    bool write_line(const std::string& text);

private:
    int pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string buffer_;  // what was read past the last line returned
};

}  // namespace platform::testing
