#include "platform/console/console.h"

#include "platform/base/handle.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

class console_stream : public platform::kernel_object {
public:
    explicit console_stream(int fd) : fd_(fd) {}
    int fd() const { return fd_; }

private:
    int fd_;
};

DWORD error_from_errno(int error)
{
    switch (error) {
    case EBADF:
    case ENOTTY:
        return ERROR_INVALID_HANDLE;
    case EIO:
        return ERROR_READ_FAULT;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

int fd_of(HANDLE handle)
{
    auto stream = platform::lookup_handle_as<console_stream>(handle);
    return stream ? stream->fd() : -1;
}

// ---- the terminal's mode, put back at exit ----------------------------------------------
std::mutex g_modeMutex;
bool g_bSaved = false;
int g_savedFd = -1;
termios g_saved{};

void restore_mode()
{
    std::lock_guard lock(g_modeMutex);
    if (g_bSaved)
        ::tcsetattr(g_savedFd, TCSANOW, &g_saved);
}

// ---- control handlers ------------------------------------------------------------------
std::mutex g_ctrlMutex;
std::vector<PHANDLER_ROUTINE> g_handlers;
bool g_bIgnoreCtrlC = false;
bool g_bInstalled = false;
int g_pipe[2] = {-1, -1};

void on_signal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

DWORD ctrl_type_of(int number)
{
    switch (number) {
    case SIGINT:
        return CTRL_C_EVENT;
    case SIGQUIT:
        return CTRL_BREAK_EVENT;
    case SIGHUP:
        return CTRL_CLOSE_EVENT;
    default:
        return CTRL_SHUTDOWN_EVENT;
    }
}

// The thread that turns signals into handler calls; a handler may block or take locks,
// which a signal handler may not.
void dispatch_signals()
{
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = ::read(g_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        const int number = byte;
        std::vector<PHANDLER_ROUTINE> handlers;
        bool ignore = false;
        {
            std::lock_guard lock(g_ctrlMutex);
            handlers = g_handlers;
            ignore = g_bIgnoreCtrlC && number == SIGINT;
        }
        bool handled = ignore;
        for (auto it = handlers.rbegin(); !handled && it != handlers.rend(); ++it)
            handled = (*it)(ctrl_type_of(number)) != FALSE;
        if (!handled) {
            restore_mode();
            std::signal(number, SIG_DFL);
            std::raise(number);
        }
    }
}

bool install_signals()
{
    if (g_bInstalled)
        return true;
    if (::pipe2(g_pipe, O_CLOEXEC) != 0)
        return false;
    std::thread(dispatch_signals).detach();
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        ::sigaction(number, &action, nullptr);
    g_bInstalled = true;
    return true;
}

}  // namespace

HANDLE GetStdHandle(DWORD nStdHandle)
{
    static std::mutex s_mutex;
    static HANDLE s_handles[3] = {nullptr, nullptr, nullptr};
    const DWORD index = STD_INPUT_HANDLE - nStdHandle;  // 0, 1, 2 for input, output, error
    if (index > 2) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard lock(s_mutex);
    if (!s_handles[index])
        s_handles[index] = platform::insert_handle(
            std::make_shared<console_stream>(static_cast<int>(index)));
    if (!s_handles[index]) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return s_handles[index];
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode)
{
    const int fd = fd_of(hConsoleHandle);
    termios t{};
    if (!lpMode || fd < 0 || ::tcgetattr(fd, &t) != 0) {
        SetLastError(lpMode ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD mode = 0;
    if (t.c_lflag & ICANON)
        mode |= ENABLE_LINE_INPUT;
    if (t.c_lflag & ECHO)
        mode |= ENABLE_ECHO_INPUT;
    if (t.c_lflag & ISIG)
        mode |= ENABLE_PROCESSED_INPUT;
    *lpMode = mode;
    return TRUE;
}

BOOL SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode)
{
    const int fd = fd_of(hConsoleHandle);
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard lock(g_modeMutex);
        if (!g_bSaved) {
            g_saved = t;
            g_savedFd = fd;
            g_bSaved = true;
            std::atexit(restore_mode);
        }
    }
    auto set = [](tcflag_t& flags, tcflag_t bits, bool on) {
        flags = on ? (flags | bits) : (flags & ~bits);
    };
    set(t.c_lflag, ICANON | IEXTEN, (dwMode & ENABLE_LINE_INPUT) != 0);
    set(t.c_lflag, ECHO, (dwMode & ENABLE_ECHO_INPUT) != 0);
    set(t.c_lflag, ISIG, (dwMode & ENABLE_PROCESSED_INPUT) != 0);
    // Raw keys: no carriage-return translation, no flow-control keys, no stripping.
    set(t.c_iflag, ICRNL | IXON, (dwMode & ENABLE_PROCESSED_INPUT) != 0);
    t.c_iflag &= ~static_cast<tcflag_t>(INLCR | IGNCR | ISTRIP);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        SetLastError(error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL ReadConsoleA(HANDLE hConsoleInput, LPVOID lpBuffer, DWORD nNumberOfCharsToRead,
                  LPDWORD lpNumberOfCharsRead, LPVOID pInputControl)
{
    const int fd = fd_of(hConsoleInput);
    if (fd < 0 || !lpBuffer || !lpNumberOfCharsRead || pInputControl) {
        SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpNumberOfCharsRead = 0;
    ssize_t n;
    do
        n = ::read(fd, lpBuffer, nNumberOfCharsToRead);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastError(error_from_errno(errno));
        return FALSE;
    }
    *lpNumberOfCharsRead = static_cast<DWORD>(n);
    return TRUE;
}

BOOL GetConsoleScreenBufferInfo(HANDLE hConsoleOutput,
                                CONSOLE_SCREEN_BUFFER_INFO* lpConsoleScreenBufferInfo)
{
    const int fd = fd_of(hConsoleOutput);
    winsize ws{};
    if (!lpConsoleScreenBufferInfo || fd < 0 || ::ioctl(fd, TIOCGWINSZ, &ws) != 0 ||
        ws.ws_row == 0 || ws.ws_col == 0) {
        SetLastError(lpConsoleScreenBufferInfo ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    CONSOLE_SCREEN_BUFFER_INFO info{};
    info.dwSize = {static_cast<SHORT>(ws.ws_col), static_cast<SHORT>(ws.ws_row)};
    info.srWindow = {0, 0, static_cast<SHORT>(ws.ws_col - 1), static_cast<SHORT>(ws.ws_row - 1)};
    info.dwMaximumWindowSize = info.dwSize;
    *lpConsoleScreenBufferInfo = info;
    return TRUE;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    std::lock_guard lock(g_ctrlMutex);
    if (!HandlerRoutine) {
        g_bIgnoreCtrlC = Add != FALSE;
        if (!install_signals()) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        return TRUE;
    }
    if (Add) {
        if (!install_signals()) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        g_handlers.push_back(HandlerRoutine);
        return TRUE;
    }
    auto it = std::find(g_handlers.rbegin(), g_handlers.rend(), HandlerRoutine);
    if (it == g_handlers.rend()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    g_handlers.erase(std::next(it).base());
    return TRUE;
}
