// Real parts for the tests of the layers above the platform: a private registry store
// with a port map, pseudo-terminal peers, and a second process holding a device. Tests
// of port/, server/ and the tools use these instead of Linux calls of their own.
//
// For tests, benchmarks and demonstrations only: the system's code never includes it.
#pragma once

#include "platform/base/types.h"
#include "platform/testing/socat.h"  // socat_pair, read_fd

#include <cstddef>
#include <string>
#include <vector>

namespace platform::testing {

// What the file holds; empty when it cannot be read.
std::string read_file(const std::string& path);

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

// Writes one value under HKEY_LOCAL_MACHINE\key (made when missing) in the registry
// store this process uses. ERROR_SUCCESS or the registry's error.
LONG set_machine_value(const std::string& key, const char* name, DWORD type, const void* data,
                       DWORD size);

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
    // The same without keeping the bytes: how many arrived (for benchmarks, whose reader
    // must cost no more than a plain copy's).
    std::size_t discard(std::size_t count, DWORD timeout_ms) const;
    // Waits up to timeout_ms for the last holder of the slave to close it; true when it
    // is closed. Bytes that arrive meanwhile are discarded. Call it only once the slave
    // has been opened: before that it reports closed at once.
    bool wait_closed(DWORD timeout_ms) const;

private:
    int master_ = -1;
    std::string path_;
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

// The processor time this process has used so far, in milliseconds (all its threads).
double process_cpu_ms();

// The processor time this process uses over one second of sleep. Processor time, not wall
// time: threads blocked in their waits use under 1 ms however loaded the machine is, while
// a spinning thread uses the whole second on an idle machine and still its share of a
// core (about 100 ms with eight builds on two cores) on a busy one. kIdleCpuBoundMs sits
// between the two.
double idle_cpu_ms_over_a_second();
constexpr double kIdleCpuBoundMs = 25;

}  // namespace platform::testing
