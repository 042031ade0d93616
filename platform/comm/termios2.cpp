// The only file that includes <asm/termbits.h>; see termios2.h.
#include "platform/comm/termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace platform {

static_assert(sizeof(kernel_termios::cc) == NCCS, "kernel c_cc size");

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
    k.c_cflag = (t.cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | BOTHER;
    k.c_lflag = t.lflag;
    k.c_line = t.line;
    std::memcpy(k.c_cc, t.cc, sizeof t.cc);
    k.c_ispeed = baud;
    k.c_ospeed = baud;
    if (::ioctl(fd, TCSETS2, &k) != 0)
        return errno;
    return 0;
}

}  // namespace platform
