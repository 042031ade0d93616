// A private message bus for tests: a dbus-daemon of its own, with its own configuration
// in a temporary directory and a service directory for activation files, so that tests
// never touch the session or system bus and can run side by side.
//
// While it runs, the object points DBUS_SESSION_BUS_ADDRESS of this process (and so of
// every child it starts afterwards) at the private bus and clears DBUS_STARTER_ADDRESS;
// both are restored when it stops. The daemon allows everything to everyone (it is the
// tests' own), and raises the message size limits so that large arrays reach the server.
//
// For tests and benchmarks only; it includes no Qt or D-Bus header.
#pragma once

#include <string>

namespace platform::rpc::testing {

class private_bus {
public:
    // Starts the daemon; ready() tells whether it runs. max_replies, when not 0, sets how
    // many method calls one connection may have awaiting replies (the daemon's
    // max_replies_per_connection; 128 when left alone).
    explicit private_bus(int max_replies = 0);
    // Stops the daemon (SIGTERM, then waits for it) and removes the directory.
    ~private_bus();
    private_bus(const private_bus&) = delete;
    private_bus& operator=(const private_bus&) = delete;

    bool ready() const { return pid_ > 0 && !address_.empty(); }
    // The address the daemon printed ("unix:path=...,guid=...").
    const std::string& address() const { return address_; }
    // The directory the daemon reads activation files (*.service) from.
    const std::string& service_dir() const { return service_dir_; }
    // The temporary directory that holds the configuration, the socket and the services.
    const std::string& dir() const { return dir_; }
    // Stops the daemon early (a bus that goes away); idempotent.
    void stop();

private:
    int pid_ = -1;
    std::string dir_;
    std::string service_dir_;
    std::string address_;
    std::string saved_session_;
    std::string saved_starter_;
    bool had_session_ = false;
    bool had_starter_ = false;
};

}  // namespace platform::rpc::testing
