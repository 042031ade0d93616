// A socat pseudo-terminal pair standing in for a serial line, as a null-modem cable would:
// the driver (or the server) opens one end as its device, the test holds the other (the
// far end), and a second process (socat) joins the two.
//
// And the figures of another process that the reliability tests compare: resident
// memory, threads, open descriptors and processor time, read from /proc.
//
// For tests, benchmarks and demonstrations only.
#pragma once

#include "platform/base/types.h"

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace platform::testing {

// socat -d -d joining two new pseudo-terminals, reached through the links it makes in a
// temporary directory of its own:
//  - device(): the end a driver or the server opens. The first start makes it raw with
//    echo off, as the far end, so that every byte value passes. A start after stop()
//    sets no terminal options on it: socat applies them after making the link, and
//    would write over the settings that a driver which reopened the link at once had
//    written (the device comes back with the settings its users gave it).
//  - far_end(): raw, echo off, held open by this object (send, receive, drain). A test
//    may open it once more itself; this object reads it only when asked to.
// stop() ends socat (both terminals hang up, the links go) and start() runs it again with
// the same link paths, so the device vanishes and comes back under the same name. socat
// is ended (SIGTERM) and reaped with the object, and the directory removed.
class socat_pair {
public:
    socat_pair();  // starts socat; ready() false when it cannot
    ~socat_pair();
    socat_pair(const socat_pair&) = delete;
    socat_pair& operator=(const socat_pair&) = delete;

    // socat runs and the far end is open.
    bool ready() const { return pid_ > 0 && far_ >= 0; }
    const std::string& device() const { return device_; }
    const std::string& far_end() const { return far_end_; }

    // Starts socat (again) on the same links once both ends are made; true when it runs.
    bool start();
    // Closes the far end and ends socat; the links go with it.
    void stop();

    // Writes every byte into the far end; false on an error, or when stop is set while
    // the pair cannot take more (a port nobody reads). *written (when given) grows by the
    // bytes written.
    bool send(const void* data, std::size_t size, const std::atomic<bool>* stop = nullptr,
              std::size_t* written = nullptr) const;
    bool send(const std::string& bytes) const { return send(bytes.data(), bytes.size()); }
    // Reads the far end until count bytes have arrived or timeout_ms pass without a byte;
    // the bytes as a string, which is what tests compare them with.
    std::string receive(std::size_t count, DWORD timeout_ms) const;
    // Reads and counts what arrives at the far end until timeout_ms pass without a byte.
    std::size_t drain(DWORD timeout_ms) const;

    // The settings of the terminal behind device(), read from the kernel through an open
    // of its own (which the tty's exclusive mode allows only to root): false when it
    // cannot be opened. A pseudo-terminal always holds 8 data bits and no parity.
    struct tty_settings {
        DWORD baud = 0;
        bool two_stop_bits = false;
        bool rts_cts = false;
        bool xon_out = false;
        bool xon_in = false;
    };
    bool device_settings(tty_settings& settings) const;

private:
    std::string dir_;
    std::string device_;
    std::string far_end_;
    int pid_ = -1;
    int log_ = -1;  // socat's standard error, kept open (see start())
    int far_ = -1;
    bool restarted_ = false;  // start() after stop(): no options on the device end
};

struct process_figures {
    long rss_kib = -1;  // VmRSS
    int threads = -1;
    int fds = -1;       // entries of /proc/<pid>/fd
    // User and system time of all its threads so far, in steps of the kernel's clock tick
    // (10 ms where USER_HZ is 100): compare two readings over a second or more.
    double cpu_ms = -1;
};

// Reads the descriptor fd until count bytes have arrived or timeout_ms pass without a
// byte; returns what arrived (the far ends of pty_peer and socat_pair).
std::vector<BYTE> read_fd(int fd, std::size_t count, DWORD timeout_ms);
// The same, appending what arrives to *bytes when bytes is not null; the count read.
std::size_t read_fd(int fd, std::size_t count, DWORD timeout_ms, std::vector<BYTE>* bytes);

// The figures of process pid; every field -1 when it is gone.
process_figures figures_of(int pid);

}  // namespace platform::testing
