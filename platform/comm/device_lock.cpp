#include "platform/comm/device_lock.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

namespace {

const char* const lock_dir = "/var/lock";

// The pid in a lock file (ASCII, as HDB UUCP writes it, or a binary int as old programs
// did); 0 when there is none.
pid_t read_lock_pid(const std::string& file)
{
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[32] = {};
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return 0;
    if (n == sizeof(int) && (text[0] < ' ' || text[1] < ' ')) {
        int binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return binary;
    }
    return static_cast<pid_t>(std::strtol(text, nullptr, 10));
}

// A process that has ended but is not yet reaped by its parent (a zombie, state Z in
// /proc/<pid>/stat) counts as gone: its descriptors are closed, so the device is free,
// and it may stay unreaped for a while (a server whose parent, the bus, has gone first).
bool process_alive(pid_t pid)
{
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno != EPERM))
        return false;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    char stat[512];
    ssize_t n = ::read(fd, stat, sizeof stat - 1);
    ::close(fd);
    if (n <= 0)
        return true;
    stat[n] = '\0';
    // The state follows the name, which is in parentheses and may hold any character.
    const char* name_end = std::strrchr(stat, ')');
    if (!name_end || name_end[1] != ' ')
        return true;
    return name_end[2] != 'Z' && name_end[2] != 'X';
}

}  // namespace

device_lock::~device_lock()
{
    release();
}

std::string device_lock::lock_file_for(const std::string& device_path)
{
    std::string name = device_path;
    if (char* real = ::realpath(device_path.c_str(), nullptr)) {
        name = real;
        std::free(real);
    }
    if (name.rfind("/dev/", 0) == 0)
        name.erase(0, 5);
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    return std::string(lock_dir) + "/LCK.." + name;
}

int device_lock::acquire(int fd, const std::string& device_path)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? EBUSY : errno;

    std::string file = lock_file_for(device_path);
    char text[16];
    int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    for (int attempt = 0; attempt < 2; ++attempt) {
        int lock = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (lock >= 0) {
            bool written = ::write(lock, text, length) == length;
            ::close(lock);
            if (!written) {
                ::unlink(file.c_str());
                return 0;
            }
            lock_file_ = file;
            return 0;
        }
        if (errno != EEXIST)
            return 0;  // no writable lock directory: skip the lock file quietly
        pid_t owner = read_lock_pid(file);
        // Our own pid can only be left over: the flock above already excludes every
        // live open of this process.
        if (process_alive(owner) && owner != ::getpid()) {
            ::flock(fd, LOCK_UN);
            return EBUSY;
        }
        ::unlink(file.c_str());
    }
    return 0;
}

void device_lock::release()
{
    if (!lock_file_.empty()) {
        if (read_lock_pid(lock_file_) == ::getpid())
            ::unlink(lock_file_.c_str());
        lock_file_.clear();
    }
}

}  // namespace platform
