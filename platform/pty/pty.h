// A pseudo-terminal pair whose master this process keeps and whose slave any program
// opens as if it were a serial device.
//
// The master runs in packet mode with EXTPROC on the slave, so the master learns each
// time the program behind the slave changes its termios (tcsetattr, cfsetspeed) and can
// read the new settings; settings that come from elsewhere are written onto the slave.
// What that costs and what a pty cannot carry:
// - EXTPROC tells the line discipline that input processing happens outside it, so bytes
//   written into the master reach the program untouched, as from a raw serial line: no
//   echo, no line editing, no signal characters, no CR/NL translation on input, whatever
//   the program asks for. Output processing (OPOST) stays as the program sets it. A
//   program that clears EXTPROC with its own tcsetattr gets it back at the next reading
//   of the settings, so no later change goes unnoticed.
// - The pty driver keeps every pty at 8 data bits without parity (it clears CSIZE and
//   PARENB after each tcsetattr), so a program's data bits and parity never reach the
//   master, and the port's cannot be shown to the program: get_settings reads 8 and
//   NOPARITY whatever was asked (a tcsetattr that asks for nothing else even fails with
//   EINVAL). Speed (any rate), stop bits, CRTSCTS, IXON, IXOFF and
//   the X-on/X-off characters are carried both ways.
// - A pty has no modem lines and no break: TIOCMGET fails on it and tcsendbreak only
//   waits. Nothing here passes them on.
// - This object keeps one descriptor of the slave open for its whole life, so the master
//   never sees the hang-up that the last close of the slave would give: a program may
//   open and close the slave any number of times. Bytes written into the master while no
//   program has the slave open wait in the pty's input queue (the kernel's buffer, some
//   tens of KiB) and reach the next program that opens it.
//
// Every call returns ERROR_SUCCESS or a GetLastError code (comm_error_from_errno). The
// calls may come from one thread, except wake(), which any thread may call at any time.
#pragma once

#include "platform/base/types.h"
#include "platform/comm/serial_line.h"

#include <memory>
#include <string>

namespace platform {

class pty_pair {
public:
    // Opens a new pair: the master non-blocking in packet mode, the slave held open in
    // raw mode (8 data bits, no echo, no output processing, VMIN 1) with EXTPROC, its
    // speed at 9600.
    static DWORD create(std::unique_ptr<pty_pair>& pair);
    ~pty_pair();
    pty_pair(const pty_pair&) = delete;
    pty_pair& operator=(const pty_pair&) = delete;

    // The slave's device path ("/dev/pts/7").
    const std::string& slave_path() const { return slave_path_; }

    // What wait() reports, as bits.
    static constexpr DWORD readable = 1;  // read() has bytes or a settings change
    static constexpr DWORD writable = 2;  // write() can place bytes
    static constexpr DWORD woken = 4;     // wake() was called since the last wait

    // Blocks, without a time-out, until one of the asked-for conditions holds or wake()
    // is called; returns the bits that hold. With neither asked, only wake() ends it.
    DWORD wait(bool want_read, bool want_write);
    // Ends the current wait, or the next one when none is running.
    void wake();

    // Takes what the master holds, without blocking: bytes the program wrote (up to size,
    // into buffer, *got of them) and whether the program changed its settings since the
    // last call (*settings_changed). Both may be empty when nothing was there.
    DWORD read(void* buffer, DWORD size, DWORD* got, BOOL* settings_changed);
    // Writes bytes for the program to read, without blocking: *written is how many the
    // pty took (0 while its input queue is full).
    DWORD write(const void* data, DWORD size, DWORD* written);

    // The slave's settings now (data bits 8 and no parity always, see above); restores
    // EXTPROC when the program has cleared it.
    DWORD get_settings(line_settings& settings);
    // Writes the settings onto the slave, leaving the program's other termios flags
    // (its input, output and local modes) as they are. The change reaches the master as a
    // settings change of its own, which read() reports like the program's.
    DWORD set_settings(const line_settings& settings);

private:
    pty_pair() = default;
    DWORD keep_extproc();

    int master_ = -1;
    int slave_ = -1;  // held so the master never sees a hang-up
    int wake_ = -1;   // an eventfd
    std::string slave_path_;
};

}  // namespace platform
