#include "platform/pty/console.h"

#include "platform/base/handle.h"

#include <algorithm>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::mutex g_mutex;
std::vector<PHANDLER_ROUTINE> g_handlers;  // in the order added
bool g_started = false;

DWORD event_of(int signal_number)
{
    switch (signal_number) {
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

sigset_t control_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int number : {SIGINT, SIGQUIT, SIGHUP, SIGTERM})
        sigaddset(&set, number);
    return set;
}

// Waits for the signals for the rest of the process's life.
void control_thread_main()
{
    const sigset_t set = control_signals();
    for (;;) {
        int number = 0;
        if (sigwait(&set, &number) != 0)
            continue;
        std::vector<PHANDLER_ROUTINE> handlers;
        {
            std::lock_guard lock(g_mutex);
            handlers = g_handlers;
        }
        bool handled = false;
        for (auto it = handlers.rbegin(); it != handlers.rend() && !handled; ++it)
            handled = (*it)(event_of(number)) != FALSE;
        if (!handled)
            ::_exit(128 + number);
    }
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    if (!HandlerRoutine) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(g_mutex);
    if (!Add) {
        auto it = std::find(g_handlers.rbegin(), g_handlers.rend(), HandlerRoutine);
        if (it == g_handlers.rend()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        g_handlers.erase(std::next(it).base());
        return TRUE;
    }
    g_handlers.push_back(HandlerRoutine);
    if (!g_started) {
        const sigset_t set = control_signals();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::thread(control_thread_main).detach();
        g_started = true;
    }
    return TRUE;
}
