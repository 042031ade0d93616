// The line back end under the serial driver: what the driver core needs from a device.
//
// Two back ends implement it: tty_line (a Linux tty: a UART, a USB adapter or a
// pseudo-terminal) and sim_line (the simulated UART of sim_uart.h). The driver core
// (comm_device) owns exactly one line; the line never calls back into the core except
// through the wake-up function it is handed for modem-line changes.
#pragma once

#include "platform/base/types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <sys/types.h>

namespace platform {

// The part of the line settings that a device keeps itself (termios on a tty). Values use
// the DCB's encodings: parity NOPARITY..SPACEPARITY, stop bits ONESTOPBIT..TWOSTOPBITS.
struct line_settings {
    DWORD baud = 9600;
    BYTE data_bits = 8;
    BYTE parity = 0;
    BYTE stop_bits = 0;
    bool rts_cts = false;   // hardware flow control in both directions (CRTSCTS)
    bool xon_out = false;   // honour received XON/XOFF (IXON)
    bool xon_in = false;    // send XON/XOFF as the receive side fills (IXOFF)
    char xon_char = 0x11;
    char xoff_char = 0x13;
};

// Modem input lines, in GetCommModemStatus's MS_* bits.
using modem_bits = DWORD;

// Line-error counters, as TIOCGICOUNT gives them; only differences between two readings
// mean anything.
struct line_counters {
    std::uint32_t frame = 0;
    std::uint32_t parity = 0;
    std::uint32_t overrun = 0;
    std::uint32_t brk = 0;
    std::uint32_t buf_overrun = 0;
};

class serial_line {
public:
    virtual ~serial_line();

    // The descriptor and poll events the driver thread waits on for this line; the
    // driver asks again before every wait. want_read: the driver has room for received
    // bytes; want_write: it has bytes that the last write could not place.
    struct wait_spec {
        int fd = -1;
        short events = 0;
    };
    virtual wait_spec wait_for(bool want_read, bool want_write) = 0;

    // Non-blocking transfer: bytes moved, or -errno (-EAGAIN when nothing can move now).
    // A read of 0 bytes or -EIO means the device has gone.
    // When marks_errors() is true, received bytes come in the line discipline's marked
    // form: \377\0c for a byte c with a parity or framing error, \377\0\0 for a break,
    // \377\377 for a data byte 0xff.
    virtual ssize_t read(void* buffer, std::size_t size) = 0;
    virtual ssize_t write(const void* buffer, std::size_t size) = 0;
    virtual bool marks_errors() const = 0;

    // Settings: apply returns 0 or an errno; current gives what the device really holds.
    virtual int apply(const line_settings& settings) = 0;
    virtual int current(line_settings& settings) = 0;

    // Modem lines. A line without them (a pseudo-terminal) reports has_modem_lines()
    // false, and the driver keeps DTR, RTS and break to itself.
    virtual bool has_modem_lines() const = 0;
    virtual int get_modem(modem_bits& bits) = 0;
    virtual int set_dtr(bool on) = 0;
    virtual int set_rts(bool on) = 0;
    virtual int set_break(bool on) = 0;
    // Suspends (true) or resumes transmission, as a received XOFF or XON would.
    virtual int suspend_output(bool suspend) = 0;

    // Starts or stops watching the modem input lines; while watching, a change calls the
    // notify function handed to watch_modem (from any thread; it must not block).
    virtual void watch_modem(bool enable, std::function<void()> notify) = 0;

    // Error counters; false when the device keeps none.
    virtual bool get_counters(line_counters& counters) = 0;

    // Bytes written but not yet sent by the device.
    virtual std::size_t output_pending() = 0;

    // Ends every activity and closes the device; called once, after the driver thread
    // has ended.
    virtual void close() = 0;
};

}  // namespace platform
