// Exclusive use of a tty device across processes and within one.
//
// Three locks together, because each covers different programs:
// - flock(LOCK_EX | LOCK_NB) on the open descriptor: every open has its own open file
//   description, so a second open in the same process conflicts too;
// - the UUCP lock file /var/lock/LCK..<name> holding the owner's pid, which terminal
//   programs honour; a file left by a process that no longer runs (or has ended and
//   waits, a zombie, to be reaped) is removed; when
//   /var/lock cannot be written the lock file is skipped quietly;
// - TIOCEXCL, set by the tty back end while it holds the device and cleared when it
//   closes it, which refuses other opens by unprivileged processes (root passes it, so
//   it is a help, not the guarantee).
#pragma once

#include <string>

namespace platform {

class device_lock {
public:
    device_lock() = default;
    device_lock(const device_lock&) = delete;
    device_lock& operator=(const device_lock&) = delete;
    ~device_lock();

    // Takes the flock on fd and the lock file for device_path. 0, or EBUSY when another
    // open holds the device, or another errno.
    int acquire(int fd, const std::string& device_path);
    // Removes the lock file (the flock goes with the descriptor).
    void release();

    // The lock file's path for a device, named after the device the path resolves to
    // (links followed), so that every name of one device shares one lock file: the path
    // below /dev with '/' as '_', /var/lock/LCK..ttyUSB0 for a /dev/serial/by-id link to
    // /dev/ttyUSB0, /var/lock/LCK..pts_3 for /dev/pts/3. A path that does not resolve is
    // taken as given.
    static std::string lock_file_for(const std::string& device_path);

private:
    std::string lock_file_;
};

}  // namespace platform
