// Helpers shared by the serial driver's tests: pseudo-terminal pairs, events and waits.
#pragma once

#include "platform/comm/comm.h"
#include "platform/sync/sync.h"
#include "platform/testing/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace comm_test {

// A pseudo-terminal pair: the driver opens the slave by its path, the test holds the
// master as the far end of the line.
struct pty_pair {
    int master = -1;
    int slave = -1;
    std::string path;
    pty_pair();
    ~pty_pair();
    void close_master();
    void send(const std::string& bytes) const;
    // Blocking transfer on the master; receive gives up after timeout_ms without a byte.
    std::string receive(std::size_t count, int timeout_ms = -1) const;
};

// A manual-reset event that closes itself.
struct event {
    HANDLE handle;
    event() : handle(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~event() { CloseHandle(handle); }
};

// An OVERLAPPED block with its own event.
struct overlapped {
    event ev;
    OVERLAPPED ov{};
    overlapped() { ov.hEvent = ev.handle; }
    bool signalled(DWORD timeout_ms = 0) const
    {
        return WaitForSingleObject(ev.handle, timeout_ms) == WAIT_OBJECT_0;
    }
};

inline HANDLE open_port(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

inline void set_timeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant)
{
    COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
}

// Waits for a pending operation; its byte count, or -1 with the error in *error.
inline long finish(HANDLE port, overlapped& o, DWORD* error = nullptr)
{
    DWORD count = 0;
    if (GetOverlappedResult(port, &o.ov, &count, TRUE))
        return static_cast<long>(count);
    if (error)
        *error = GetLastError();
    return -1;
}

inline double ms_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// Bytes 0..255 in an order that differs block to block, 0xff and 0x00 included.
inline std::vector<BYTE> pattern(std::size_t size, unsigned seed)
{
    const std::string bytes = platform::testing::pattern_bytes(size, seed);
    return {bytes.begin(), bytes.end()};
}

}  // namespace comm_test
