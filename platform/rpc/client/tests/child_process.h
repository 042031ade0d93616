// A child process for the client tests (a server, a second client), with its standard
// output on a pipe, stopped by signal.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace rpc_client_test {

class child_process {
public:
    // Starts argv[0] with the arguments and waits for its first line of output.
    explicit child_process(const std::vector<std::string>& argv);
    ~child_process();  // SIGTERM, then reaps it
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    const std::string& first_line() const { return line_; }
    // Its next line of output; empty at the end of its output.
    std::string read_line();
    // Sends a signal and leaves it running.
    void signal(int signal) const;
    // Kills it with the signal and reaps it.
    void kill(int signal);

private:
    int pid_ = -1;
    FILE* out_ = nullptr;
    std::string line_;
};

}  // namespace rpc_client_test
