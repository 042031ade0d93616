// termios2 with BOTHER: any baud rate on a Linux tty.
//
// <asm/termbits.h>, which declares struct termios2, clashes with glibc's <termios.h>, so
// the one file that includes it (termios2.cpp) exposes only this plain record. The flag
// bits in it have the same values as <termios.h>'s; c_cc has the kernel's 19 entries,
// indexed by the same V* constants.
#pragma once

#include "platform/comm/serial_line.h"

#include <cstdint>

namespace platform {

struct kernel_termios {
    std::uint32_t iflag = 0;
    std::uint32_t oflag = 0;
    std::uint32_t cflag = 0;
    std::uint32_t lflag = 0;
    std::uint8_t line = 0;
    std::uint8_t cc[19] = {};
    std::uint32_t ispeed = 0;  // baud rate, in bits per second
    std::uint32_t ospeed = 0;
};

// Reads the tty's settings (TCGETS2). 0 or an errno.
int termios2_get(int fd, kernel_termios& t);

// Writes the tty's settings at once (TCSETS2), with the speed given in bits per second
// for both directions: a standard rate by its own code (B9600, ...), any other through
// BOTHER; the speed fields of t are ignored. 0 or an errno.
int termios2_set(int fd, const kernel_termios& t, std::uint32_t baud);

// The line settings that termios holds: data bits (CSIZE), parity (PARENB, PARODD,
// CMSPAR), stop bits (CSTOPB; with 5 data bits it means 1.5), CRTSCTS, IXON, IXOFF and
// the X-on/X-off characters (VSTART, VSTOP). The speed is t.ospeed.
line_settings line_settings_from_termios(const kernel_termios& t);

// Puts those settings into t and leaves every other flag as it is; the speed is not
// touched (termios2_set takes it).
void put_line_settings(kernel_termios& t, const line_settings& s);

}  // namespace platform
