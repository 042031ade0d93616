// A child process for the client tests (a server, a second client) and the fan-out
// benchmark, with its standard output on a pipe; its first line is read at the start.
// It ends with SIGTERM, on which a server gives everything back.
#pragma once

#include "platform/testing/process.h"

#include <csignal>
#include <string>
#include <vector>

namespace rpc_client_test {

class child_process : public platform::testing::child {
public:
    explicit child_process(const std::vector<std::string>& argv)
        : child(argv, true), line_(read_line())
    {
    }
    ~child_process() { end(SIGTERM); }

    const std::string& first_line() const { return line_; }
    // Kills it with the signal and reaps it.
    void kill(int signal) { end(signal); }

private:
    std::string line_;
};

}  // namespace rpc_client_test
