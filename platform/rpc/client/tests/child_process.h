// A child process for the client tests (a server, a second client), started with its
// own arguments and stopped by signal.
#pragma once

#include <string>
#include <vector>

namespace rpc_client_test {

// A child process; its first line of output is kept (a server prints its unique name).
class child_process {
public:
    explicit child_process(const std::vector<std::string>& argv);
    ~child_process();
    bool running() const { return pid_ > 0; }
    const std::string& first_line() const { return line_; }
    // Kills it with the signal and reaps it.
    void kill(int signal);

private:
    int pid_ = -1;
    std::string line_;
};

}  // namespace rpc_client_test
