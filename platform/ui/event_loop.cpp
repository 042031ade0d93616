// The message loop on Qt's event loop.
#include "platform/ui/event_loop.h"

#include "platform/ui/message.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace platform {
namespace {

int g_argc = 1;
char g_name[] = "tethra-server";
char* g_argv[] = {g_name, nullptr};
std::unique_ptr<QCoreApplication> g_app;
bool g_windows = false;

// The watch on standard input: its notifier, the callback and a line not yet ended.
struct input_watch {
    QSocketNotifier notifier{STDIN_FILENO, QSocketNotifier::Read};
    std::function<void(const std::string&)> on_line;
    std::string pending;

    static constexpr std::size_t kMaxLine = 4096;

    void read_some()
    {
        char buffer[512];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            // The end of the input (or an error that would only repeat): watch no more.
            notifier.setEnabled(false);
            return;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (;;) {
            const std::size_t end = pending.find('\n');
            if (end == std::string::npos && pending.size() < kMaxLine)
                return;
            const std::size_t take = std::min(end, kMaxLine);
            const std::string line = pending.substr(0, take);
            pending.erase(0, take == end ? take + 1 : take);
            on_line(line);
        }
    }
};
std::unique_ptr<input_watch> g_input;

// The loop's state outlives RunMessageLoop: a wake-up posted just before the loop ends
// may still be delivered to it afterwards.
struct loop_state {
    bool quit = false;
    int code = 0;

    void drain()
    {
        MSG msg;
        while (!quit && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                code = static_cast<int>(msg.wParam);
                QCoreApplication::exit(code);
                return;
            }
            DispatchMessageA(&msg);
        }
    }
};

}  // namespace

BOOL IsDisplayNamed()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return TRUE;
    }
    return FALSE;
}

BOOL StartApplication(BOOL bWindows)
{
    if (QCoreApplication::instance())
        return g_windows;
    try {
        if (bWindows && IsDisplayNamed()) {
            // A display that cannot be reached falls back to the offscreen platform
            // rather than ending the process: the server then runs with no visible window.
            if (!std::getenv("QT_QPA_PLATFORM"))
                qputenv("QT_QPA_PLATFORM", std::getenv("WAYLAND_DISPLAY") ? "wayland;xcb;offscreen"
                                                                          : "xcb;offscreen");
            g_app = std::make_unique<QApplication>(g_argc, g_argv);
            g_windows = true;
        } else {
            g_app = std::make_unique<QCoreApplication>(g_argc, g_argv);
        }
    } catch (...) {
        return FALSE;
    }
    return g_windows;
}

int RunMessageLoop()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || app->thread() != QThread::currentThread())
        return -1;
    std::shared_ptr<loop_state> state;
    try {
        state = std::make_shared<loop_state>();
    } catch (...) {
        return -1;
    }
    set_queue_wakeup([app, state] {
        QMetaObject::invokeMethod(app, [state] { state->drain(); }, Qt::QueuedConnection);
    });
    // A quit that arrived before the hook was set is taken by the hook's first call.
    if (!state->quit)
        QCoreApplication::exec();
    set_queue_wakeup({});
    return state->code;
}

void EndApplication()
{
    g_input.reset();
    g_app.reset();
    g_windows = false;
}

BOOL WatchInputLines(std::function<void(const std::string&)> onLine)
{
    g_input.reset();
    if (!QCoreApplication::instance())
        return FALSE;
    if (!onLine)
        return TRUE;
    try {
        g_input = std::make_unique<input_watch>();
    } catch (...) {
        return FALSE;
    }
    g_input->on_line = std::move(onLine);
    input_watch* watch = g_input.get();
    QObject::connect(&watch->notifier, &QSocketNotifier::activated, [watch] { watch->read_some(); });
    return TRUE;
}

}  // namespace platform
