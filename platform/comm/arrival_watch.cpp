#include "platform/comm/arrival_watch.h"

#include "platform/comm/port_name.h"
#include "platform/comm/sim_line.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

arrival_watch::~arrival_watch() = default;

namespace {

class tty_arrival_watch final : public arrival_watch {
public:
    explicit tty_arrival_watch(std::string path) : path_(std::move(path)) {}
    ~tty_arrival_watch() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    int start()
    {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0)
            return errno;
        return arm();
    }

    int fd() const override { return fd_; }

    void changed() override
    {
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->wd == wd_ && (event->mask & IN_IGNORED))
                    wd_ = -1;  // the directory went: the next arm() looks again
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        arm();
    }

private:
    // Watches the deepest existing directory on the way to the path; moves the watch
    // only when that directory changes, so events queued meanwhile are not lost.
    int arm()
    {
        std::string dir = path_;
        for (;;) {
            std::size_t slash = dir.find_last_of('/');
            if (slash == std::string::npos)
                return ENOENT;
            dir.erase(slash == 0 ? 1 : slash);
            struct stat info {};
            if (::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                break;
            if (dir == "/")
                return ENOENT;
        }
        if (dir == dir_ && wd_ >= 0)
            return 0;
        if (wd_ >= 0)
            ::inotify_rm_watch(fd_, wd_);
        wd_ = ::inotify_add_watch(fd_, dir.c_str(),
                                  IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                      IN_MOVE_SELF | IN_ONLYDIR);
        if (wd_ < 0) {
            dir_.clear();
            return errno;
        }
        dir_ = dir;
        return 0;
    }

    std::string path_;
    std::string dir_;
    int fd_ = -1;
    int wd_ = -1;
};

// The path itself, not where it leads: a link to a pseudo-terminal may be made again.
bool names_a_pseudo_terminal(const std::string& path)
{
    const std::string normal = std::filesystem::path(path).lexically_normal().string();
    return normal.rfind("/dev/pts/", 0) == 0;
}

}  // namespace

int watch_for_arrival(const std::string& path, std::unique_ptr<arrival_watch>& watch)
{
    try {
        if (path.rfind(sim_uart_prefix, 0) == 0)
            return watch_sim_arrival(path.substr(std::strlen(sim_uart_prefix)), watch);
        if (names_a_pseudo_terminal(path))
            return ENODEV;
        auto tty = std::make_unique<tty_arrival_watch>(path);
        if (int error = tty->start(); error != 0)
            return error;
        watch = std::move(tty);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

}  // namespace platform
