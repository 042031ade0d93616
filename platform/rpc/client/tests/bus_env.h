// A private dbus-daemon for the client tests, and child processes on it.
#pragma once

#include <string>
#include <vector>

namespace rpc_client_test {

// Starts a dbus-daemon of its own and points DBUS_SESSION_BUS_ADDRESS at it, so the
// client library (which connects once per process) and every child use it.
class private_bus {
public:
    private_bus();
    ~private_bus();
    bool ready() const { return pid_ > 0; }
    const std::string& address() const { return address_; }

private:
    std::string dir_;
    std::string address_;
    int pid_ = -1;
};

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
