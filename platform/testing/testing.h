// Real parts for the tests of the layers above the platform: a private registry store
// with a port map, pseudo-terminal peers, and a second process holding a device. Tests
// of port/, server/ and the tools use these instead of Linux calls of their own.
//
// For tests, benchmarks and demonstrations only: the system's code never includes it.
#pragma once

#include "platform/base/types.h"

#include <cstddef>
#include <string>
#include <vector>

namespace platform::testing {

// size pseudo-random bytes, the same for the same seed: a stream whose every piece can be
// told apart and found again.
std::string pattern_bytes(std::size_t size, unsigned seed);

// A registry store of its own in a temporary directory, named by TETHRA_REGISTRY_FILE
// for this process (and its children) while the object lives; removed afterwards.
class temp_registry {
public:
    temp_registry();
    ~temp_registry();
    temp_registry(const temp_registry&) = delete;
    temp_registry& operator=(const temp_registry&) = delete;

    bool ready() const { return !file_.empty(); }
    const std::string& file() const { return file_; }

    // Maps a device path (a pty slave, "sim:<name>") to COM<number> in the port map.
    // ERROR_SUCCESS or the registry's error.
    LONG map_port(const std::string& device_path, LONG number) const;

private:
    std::string dir_;
    std::string file_;
};

// A pseudo-terminal whose slave end the driver opens by path; the test is the far end
// on the master. The slave is not held open here, so the master sees the driver close it.
class pty_peer {
public:
    pty_peer();
    ~pty_peer();
    pty_peer(const pty_peer&) = delete;
    pty_peer& operator=(const pty_peer&) = delete;

    bool ready() const { return master_ >= 0; }
    const std::string& path() const { return path_; }

    // Writes every byte (blocking); false on an error.
    bool send(const void* data, std::size_t size) const;
    bool send(const std::string& bytes) const { return send(bytes.data(), bytes.size()); }
    // Writes the bytes in pieces of `piece` bytes with a pause of interval_ms after each: a
    // stream at a rate slower clients still keep up with. false on an error.
    bool send_paced(const std::string& bytes, std::size_t piece, DWORD interval_ms) const;
    // Reads until count bytes have arrived or timeout_ms pass without a byte; returns
    // what arrived.
    std::vector<BYTE> receive(std::size_t count, DWORD timeout_ms) const;
    // Waits up to timeout_ms for the last holder of the slave to close it; true when it
    // is closed. Bytes that arrive meanwhile are discarded. Call it only once the slave
    // has been opened: before that it reports closed at once.
    bool wait_closed(DWORD timeout_ms) const;

private:
    int master_ = -1;
    std::string path_;
};

// socat -d -d pty,raw,echo=0 pty,raw,echo=0: two pseudo-terminals joined by socat, by
// the slave paths it reports. socat is ended (SIGTERM) with the object.
class socat_pair {
public:
    socat_pair();
    ~socat_pair();
    socat_pair(const socat_pair&) = delete;
    socat_pair& operator=(const socat_pair&) = delete;

    bool ready() const { return paths.size() == 2; }
    std::vector<std::string> paths;

private:
    int pid_ = -1;
    int log_ = -1;  // socat's standard error, kept open so that it never writes into nothing
};

// Another process that opens a device with CreateFileA (exclusive, as the server does)
// and holds it until this object is destroyed.
class device_holder {
public:
    explicit device_holder(const std::string& name);
    ~device_holder();
    device_holder(const device_holder&) = delete;
    device_holder& operator=(const device_holder&) = delete;

    // Whether the other process holds the device.
    bool holding() const { return holding_; }

private:
    int pid_ = -1;
    int to_child_ = -1;
    bool holding_ = false;
};

}  // namespace platform::testing

namespace platform::testing {

// A socat pseudo-terminal pair under a temporary directory of its own, reached through
// the links socat makes there: link_a() for the side the driver opens, and the far end
// link_b(), which this object reads and writes. stop() ends socat (both terminals hang
// up, the links go) and start() runs it again with the same link paths, so the device
// behind link_a() vanishes and comes back under the same name.
class socat_link_pair {
public:
    socat_link_pair();  // starts socat; ready() false when it cannot
    ~socat_link_pair();
    socat_link_pair(const socat_link_pair&) = delete;
    socat_link_pair& operator=(const socat_link_pair&) = delete;

    bool ready() const { return pid_ > 0; }
    const std::string& link_a() const { return link_a_; }
    const std::string& link_b() const { return link_b_; }
    bool start();
    void stop();

    // The far end: writes every byte to link_b(); reads from it until count bytes have
    // arrived or timeout_ms pass without one.
    bool send(const std::string& bytes);
    std::vector<BYTE> receive(std::size_t count, DWORD timeout_ms);

    // The settings of the terminal behind link_a(), read from the kernel through an open
    // of its own (which the tty's exclusive mode allows only to root): false when it
    // cannot be opened. A pseudo-terminal always holds 8 data bits and no parity.
    struct tty_settings {
        DWORD baud = 0;
        bool two_stop_bits = false;
        bool rts_cts = false;
        bool xon_out = false;
        bool xon_in = false;
    };
    bool settings_a(tty_settings& settings) const;

private:
    std::string dir_;
    std::string link_a_;
    std::string link_b_;
    int pid_ = -1;
    int log_ = -1;  // socat's standard error
    int far_ = -1;
};

// The processor time this process has used so far, in milliseconds (all its threads).
double process_cpu_ms();

}  // namespace platform::testing
