// termios2 with BOTHER: any baud rate on a Linux tty.
//
// <asm/termbits.h>, which declares struct termios2, clashes with glibc's <termios.h>, so
// the one file that includes it (termios2.cpp) exposes only this plain record. The flag
// bits in it have the same values as <termios.h>'s; c_cc has the kernel's 19 entries,
// indexed by the same V* constants.
#pragma once

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
// through BOTHER for both directions; the speed fields of t are ignored. 0 or an errno.
int termios2_set(int fd, const kernel_termios& t, std::uint32_t baud);

}  // namespace platform
