// The simulated UART: a serial device inside the process, for tests.
//
// A test creates one by name and opens it with CreateFileA(uart->path()) ("sim:<name>"),
// or maps that path to a COM number in the port map and opens "\\.\COM<n>". The test
// holds the far end of the line: it sends bytes, line errors, breaks and modem-line
// changes to the driver, and observes the bytes written, DTR, RTS, break and the line
// settings. The driver treats the UART exactly as a tty: received bytes and errors come
// in the same marked form and go through the same receive path.
//
// For tests only: the system's code never includes this header.
#pragma once

#include "platform/base/types.h"
#include "platform/comm/serial_line.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct sim_uart_state;

class sim_uart {
public:
    // A new UART "sim:<name>"; null when the name is in use.
    static std::shared_ptr<sim_uart> create(const std::string& name);
    // Unplugs the UART (an open handle sees the device vanish) and frees its name.
    ~sim_uart();
    sim_uart(const sim_uart&) = delete;
    sim_uart& operator=(const sim_uart&) = delete;

    // The device path for CreateFileA and the port map.
    std::string path() const;

    // ---- the far end's side of the line: what the driver receives ----
    void send(const void* data, std::size_t size);
    void send(std::string_view bytes) { send(bytes.data(), bytes.size()); }
    // A byte received with a parity error, or with a framing error.
    void send_parity_error(BYTE c);
    void send_framing_error(BYTE c);
    void send_break();
    // Bytes were lost before c arrived (a receiver overrun); c is received.
    void send_after_overrun(BYTE c);
    // The device's own receive buffer overflowed before c arrived; c is received.
    void send_after_buffer_overflow(BYTE c);
    // The modem input lines, as MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON.
    void set_modem_lines(DWORD ms_bits);
    // Output stalls (as if the far end held CTS or sent X-off) until released.
    void hold_output(bool hold);
    // The device vanishes, as a USB adapter pulled out.
    void unplug();
    // The same device is plugged in again: a driver waiting for it reopens it. Only
    // once the driver has let go of the unplugged UART (is_open() false); false before
    // that, or when it is not unplugged. It comes back with default settings (9600 8N1,
    // no flow control, DTR and RTS low until opened), as a real adapter does, so the
    // driver must write its own again.
    bool replug();

    // ---- what the driver did ----
    // Bytes written so far (and not yet taken).
    std::vector<BYTE> written() const;
    std::vector<BYTE> take_written();
    bool dtr() const;
    bool rts() const;
    bool in_break() const;
    bool output_suspended() const;  // by EscapeCommFunction(SETXOFF)
    line_settings settings() const;
    bool is_open() const;

    // Waits until pred() holds, re-testing it after every change of the UART's state;
    // false if it does not within timeout_ms. pred may call the getters above.
    bool wait_until(const std::function<bool()>& pred, DWORD timeout_ms) const;
    // Waits until at least count bytes have been written (and not taken).
    bool wait_written(std::size_t count, DWORD timeout_ms) const;

private:
    explicit sim_uart(std::shared_ptr<sim_uart_state> state);
    std::shared_ptr<sim_uart_state> state_;
};

}  // namespace platform
