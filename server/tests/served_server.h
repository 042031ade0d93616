// The tethra-server executable as the reliability tests and benchmarks see it: started
// by a private bus of its own on this process's first call, with a registry store of
// its own whose port map points COM1..COMn at socat pairs whose far ends this process
// holds. This process keeps one reference on the port registry, so the server serves
// until finish() gives it back.
//
// One per process: the client library connects once, to the bus that was there first
// (ctest runs every test in a process of its own).
//
// Sanitizer reports of the server (ASan, LSan at its exit, UBSan, TSan) go to files in
// a directory of this object's, so that a test sees them although the bus, not the
// test, is the server's parent.
#pragma once

#include "idl/tethra.h"
#include "platform/rpc/client/client.h"
#include "platform/rpc/testing/bus_fixture.h"
#include "platform/testing/socat.h"
#include "platform/testing/testing.h"

#include <memory>
#include <string>
#include <vector>

namespace reliability {

class served_server {
public:
    // server: the path of tethra-server; ports: how many socat pairs (COM1..COMports).
    served_server(const std::string& server, int ports);
    ~served_server();
    served_server(const served_server&) = delete;
    served_server& operator=(const served_server&) = delete;

    // Empty when everything is in place and the server runs, else what is missing.
    const std::string& error() const { return error_; }
    int pid() const { return pid_; }
    const std::string& bus_address() const { return bus_->address(); }
    const std::string& dir() const { return dir_; }
    platform::testing::socat_pair& pair(int number) { return *pairs_.at(number - 1); }
    ITethra* tethra() const { return tethra_; }
    platform::testing::process_figures figures() const { return platform::testing::figures_of(pid_); }

    // Samples the figures every 100 ms, for up to timeout_ms, until threads and fds are
    // at most the given values; the last sample.
    platform::testing::process_figures settle(int threads, int fds, unsigned timeout_ms) const;

    // Gives back this process's reference and waits up to timeout_ms for the server to
    // end. true when it ended.
    bool finish(unsigned timeout_ms);
    // What the server's sanitizers wrote (empty when they wrote nothing).
    std::string sanitizer_reports() const;

private:
    std::string error_;
    std::string dir_;
    platform::testing::temp_registry registry_;
    std::vector<std::unique_ptr<platform::testing::socat_pair>> pairs_;
    std::unique_ptr<platform::rpc::testing::private_bus> bus_;
    ITethra* tethra_ = nullptr;
    int pid_ = -1;
};

// What a well-behaved client must still get from the server: it opens COM<number>,
// sends bytes that arrive at the far end byte for byte, receives what the far end sends
// byte for byte through its event sink, sets BaudRate and reads it back, and releases
// everything. Empty when all of it worked, else what did not.
std::string check_normal_client(served_server& server, LONG number);

}  // namespace reliability
