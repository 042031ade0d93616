// A socat pseudo-terminal pair for tests that run the server as a process of its own:
// the server opens one end as its device, the test holds the other (the far end), and
// a second process (socat) joins the two, as a null-modem cable would.
//
// And the figures of another process that the reliability tests compare: resident
// memory, threads and open descriptors, read from /proc.
//
// For tests and benchmarks only.
#pragma once

#include "platform/base/types.h"

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace platform::testing {

class socat_pair {
public:
    // Starts `socat pty,raw,echo=0 pty,raw,echo=0` and opens the far end. ready() tells
    // whether both ends are there.
    socat_pair();
    // Closes the far end, ends socat (SIGTERM) and reaps it.
    ~socat_pair();
    socat_pair(const socat_pair&) = delete;
    socat_pair& operator=(const socat_pair&) = delete;

    bool ready() const { return far_ >= 0 && !port_path_.empty(); }
    // The end the server opens (map it to a COM number).
    const std::string& port_path() const { return port_path_; }

    // Writes every byte into the far end; false on an error, or when stop is set while
    // the pair cannot take more (a port nobody reads). *written (when given) grows by the
    // bytes written.
    bool send(const void* data, std::size_t size, const std::atomic<bool>* stop = nullptr,
              std::size_t* written = nullptr) const;
    bool send(const std::string& bytes) const { return send(bytes.data(), bytes.size()); }
    // Reads until count bytes have arrived or timeout_ms pass without a byte.
    std::vector<BYTE> receive(std::size_t count, DWORD timeout_ms) const;
    // Reads and counts what arrives until timeout_ms pass without a byte.
    std::size_t drain(DWORD timeout_ms) const;

private:
    int pid_ = -1;
    int far_ = -1;
    std::string port_path_;
};

struct process_figures {
    long rss_kib = -1;  // VmRSS
    int threads = -1;
    int fds = -1;       // entries of /proc/<pid>/fd
};

// Reads the descriptor fd until count bytes have arrived or timeout_ms pass without a
// byte; returns what arrived (the far ends of pty_peer and socat_pair).
std::vector<BYTE> read_fd(int fd, std::size_t count, DWORD timeout_ms);

// The figures of process pid; every field -1 when it is gone.
process_figures figures_of(int pid);

}  // namespace platform::testing
