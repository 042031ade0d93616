// The only file that includes <asm/termbits.h>; see termios2.h.
#include "platform/comm/termios2.h"

#include "platform/comm/comm.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace platform {

static_assert(sizeof(kernel_termios::cc) == NCCS, "kernel c_cc size");

namespace {

// The speed's own code where it has one, as the kernel's serial drivers encode it, so a
// program that reads the tty with plain termios (cfgetospeed) sees B115200 and not
// BOTHER; BOTHER for any other rate.
tcflag_t speed_code(std::uint32_t baud)
{
    static const struct {
        std::uint32_t baud;
        tcflag_t code;
    } codes[] = {{50, B50},         {75, B75},         {110, B110},         {134, B134},
                 {150, B150},       {200, B200},       {300, B300},         {600, B600},
                 {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
                 {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
                 {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
                 {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
                 {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
                 {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000}};
    for (const auto& entry : codes)
        if (entry.baud == baud)
            return entry.code;
    return BOTHER;
}

}  // namespace

int termios2_get(int fd, kernel_termios& t)
{
    termios2 k{};
    if (::ioctl(fd, TCGETS2, &k) != 0)
        return errno;
    t.iflag = k.c_iflag;
    t.oflag = k.c_oflag;
    t.cflag = k.c_cflag;
    t.lflag = k.c_lflag;
    t.line = k.c_line;
    std::memcpy(t.cc, k.c_cc, sizeof t.cc);
    t.ispeed = k.c_ispeed;
    t.ospeed = k.c_ospeed;
    return 0;
}

int termios2_set(int fd, const kernel_termios& t, std::uint32_t baud)
{
    termios2 k{};
    k.c_iflag = t.iflag;
    k.c_oflag = t.oflag;
    // Input speed follows the output speed (CIBAUD cleared), as a UART has one clock.
    k.c_cflag = (t.cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | speed_code(baud);
    k.c_lflag = t.lflag;
    k.c_line = t.line;
    std::memcpy(k.c_cc, t.cc, sizeof t.cc);
    k.c_ispeed = baud;
    k.c_ospeed = baud;
    if (::ioctl(fd, TCSETS2, &k) != 0)
        return errno;
    return 0;
}

line_settings line_settings_from_termios(const kernel_termios& t)
{
    line_settings s;
    s.baud = t.ospeed;
    switch (t.cflag & CSIZE) {
    case CS5:
        s.data_bits = 5;
        break;
    case CS6:
        s.data_bits = 6;
        break;
    case CS7:
        s.data_bits = 7;
        break;
    default:
        s.data_bits = 8;
        break;
    }
    if (!(t.cflag & PARENB))
        s.parity = NOPARITY;
    else if (t.cflag & CMSPAR)
        s.parity = (t.cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        s.parity = (t.cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(t.cflag & CSTOPB))
        s.stop_bits = ONESTOPBIT;
    else
        s.stop_bits = s.data_bits == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    s.rts_cts = (t.cflag & CRTSCTS) != 0;
    s.xon_out = (t.iflag & IXON) != 0;
    s.xon_in = (t.iflag & IXOFF) != 0;
    s.xon_char = static_cast<char>(t.cc[VSTART]);
    s.xoff_char = static_cast<char>(t.cc[VSTOP]);
    return s;
}

void put_line_settings(kernel_termios& t, const line_settings& s)
{
    t.iflag &= ~(IXON | IXOFF);
    if (s.xon_out)
        t.iflag |= IXON;
    if (s.xon_in)
        t.iflag |= IXOFF;
    t.cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const std::uint32_t sizes[] = {CS5, CS6, CS7, CS8};
    t.cflag |= sizes[s.data_bits >= 5 && s.data_bits <= 8 ? s.data_bits - 5 : 3];
    switch (s.parity) {
    case ODDPARITY:
        t.cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        t.cflag |= PARENB;
        break;
    case MARKPARITY:
        t.cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        t.cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    // Linux has one stop-bit flag: with 5 data bits CSTOPB gives 1.5 stop bits.
    if (s.stop_bits != ONESTOPBIT)
        t.cflag |= CSTOPB;
    if (s.rts_cts)
        t.cflag |= CRTSCTS;
    t.cc[VSTART] = static_cast<std::uint8_t>(s.xon_char);
    t.cc[VSTOP] = static_cast<std::uint8_t>(s.xoff_char);
}

}  // namespace platform
