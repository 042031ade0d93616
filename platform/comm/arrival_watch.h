// Waiting, without polling, for a device that has vanished to come back.
//
// While a device is gone the driver thread blocks on the watch's descriptor beside its
// wake-up descriptor. The descriptor becomes readable when something happened that may
// have brought the device back; the driver then calls changed() and tries to open the
// device again. Nothing wakes the driver while nothing happens, so a port whose device
// is gone costs no processor time.
//
// - A tty path (/dev/ttyUSB0, a /dev/serial/by-id link, a link that socat makes to a
//   pseudo-terminal): inotify on the deepest directory of the path that exists, for
//   entries created, moved in or changed in their attributes (a device node appears,
//   then udev sets its owner and mode, then makes its links), and for the directory
//   itself going. When a missing directory of the path appears (udev removes
//   /dev/serial/by-id with its last link and makes it again with the next) the watch
//   moves down to it. A path that is a link left dangling is not followed: the device
//   comes back when a new link replaces it, as udev and socat do.
// - A simulated UART ("sim:<name>"): the UART's own arrival descriptor, which
//   sim_uart::replug makes readable.
// - A pseudo-terminal named by its number (/dev/pts/3) is not watched: once its master
//   has closed it never comes back, and the kernel gives its number to the next terminal
//   anyone opens, which is another program's line. Reached through a link, it comes
//   back when the link is made again.
#pragma once

#include <memory>
#include <string>

namespace platform {

class arrival_watch {
public:
    virtual ~arrival_watch();
    // The descriptor to wait on for POLLIN.
    virtual int fd() const = 0;
    // Takes what made the descriptor readable and re-arms the watch.
    virtual void changed() = 0;
};

// A watch for the device path as the driver opened it. 0, or an errno: ENODEV for a
// pseudo-terminal named by its number, or the watch cannot be made (no inotify instance
// left, a simulated UART that no longer exists).
int watch_for_arrival(const std::string& path, std::unique_ptr<arrival_watch>& watch);

}  // namespace platform
