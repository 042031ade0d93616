// The console calls on a real pseudo-terminal and a pipe put in place of standard input
// and output, and control handlers on real signals.
#include "platform/console/console.h"

#include "platform/base/handle.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Puts fd in place of descriptor target for the object's life.
class Redirect {
public:
    Redirect(int fd, int target) : target_(target), saved_(::dup(target)) { ::dup2(fd, target); }
    ~Redirect()
    {
        ::dup2(saved_, target_);
        ::close(saved_);
    }

private:
    int target_;
    int saved_;
};

class Pty {
public:
    Pty()
    {
        winsize size{};
        size.ws_row = 30;
        size.ws_col = 100;
        ::openpty(&master, &slave, nullptr, nullptr, &size);
    }
    ~Pty()
    {
        ::close(master);
        ::close(slave);
    }
    int master = -1;
    int slave = -1;
};

TEST(Console, RawModeDeliversEveryKeyAsTypedAndTheOldModeComesBack)
{
    Pty pty;
    Redirect in(pty.slave, STDIN_FILENO);
    const HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    DWORD dwMode = 0;
    ASSERT_TRUE(GetConsoleMode(hIn, &dwMode));
    EXPECT_EQ(dwMode, ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);

    ASSERT_TRUE(SetConsoleMode(hIn, 0));
    DWORD dwRaw = 1;
    ASSERT_TRUE(GetConsoleMode(hIn, &dwRaw));
    EXPECT_EQ(dwRaw, 0u);
    // No line to wait for, no signal for Ctrl+C, no CR translation, no echo.
    ASSERT_EQ(::write(pty.master, "a\x03\r", 3), 3);
    char buffer[16] = {};
    DWORD cb = 0;
    ASSERT_TRUE(ReadConsoleA(hIn, buffer, sizeof buffer, &cb, nullptr));
    EXPECT_EQ(std::string(buffer, cb), "a\x03\r");

    ASSERT_TRUE(SetConsoleMode(hIn, dwMode));
    termios t{};
    ::tcgetattr(pty.slave, &t);
    EXPECT_TRUE(t.c_lflag & ICANON);
    EXPECT_TRUE(t.c_lflag & ISIG);
    EXPECT_TRUE(t.c_iflag & ICRNL);
}

TEST(Console, ARedirectedStreamHasNoModeButReadsUntilItsEnd)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    Redirect in(fds[0], STDIN_FILENO);
    Redirect out(fds[1], STDOUT_FILENO);
    DWORD dwMode = 0;
    SetLastError(0);
    EXPECT_FALSE(GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &dwMode));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), 0));
    CONSOLE_SCREEN_BUFFER_INFO info;
    EXPECT_FALSE(GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info));

    ASSERT_EQ(::write(fds[1], "xyz", 3), 3);
    ::close(fds[1]);
    ::close(fds[0]);
    char buffer[8];
    DWORD cb = 0;
    ASSERT_TRUE(ReadConsoleA(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &cb, nullptr));
    EXPECT_EQ(cb, 3u);
    // The write end is still held by the redirected stdout: close it to reach the end.
    ::close(STDOUT_FILENO);
    ASSERT_TRUE(ReadConsoleA(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &cb, nullptr));
    EXPECT_EQ(cb, 0u);
    EXPECT_EQ(GetStdHandle(12345), INVALID_HANDLE_VALUE);
}

TEST(Console, TheTerminalsSizeIsTheScreenBuffers)
{
    Pty pty;
    Redirect out(pty.slave, STDOUT_FILENO);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ASSERT_TRUE(GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info));
    EXPECT_EQ(info.dwSize.X, 100);
    EXPECT_EQ(info.dwSize.Y, 30);
    EXPECT_EQ(info.srWindow.Bottom, 29);
}

std::mutex g_mutex;
std::condition_variable g_called;
std::vector<std::pair<char, DWORD>> g_calls;
std::vector<std::thread::id> g_threads;  // the thread of each call

BOOL Record(char who, DWORD type, BOOL result)
{
    std::lock_guard lock(g_mutex);
    g_calls.emplace_back(who, type);
    g_threads.push_back(std::this_thread::get_id());
    g_called.notify_all();
    return result;
}
BOOL HandlerA(DWORD type) { return Record('A', type, TRUE); }
BOOL HandlerB(DWORD type) { return Record('B', type, FALSE); }

TEST(Console, SignalsReachTheHandlersNewestFirstUntilOneHandlesThem)
{
    ASSERT_TRUE(SetConsoleCtrlHandler(HandlerA, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(HandlerB, TRUE));
    ::kill(::getpid(), SIGINT);
    std::unique_lock lock(g_mutex);
    ASSERT_TRUE(g_called.wait_for(lock, std::chrono::seconds(10), [] { return g_calls.size() >= 2; }));
    EXPECT_EQ(g_calls[0], std::make_pair('B', static_cast<DWORD>(CTRL_C_EVENT)));
    EXPECT_EQ(g_calls[1], std::make_pair('A', static_cast<DWORD>(CTRL_C_EVENT)));
    lock.unlock();

    ASSERT_TRUE(SetConsoleCtrlHandler(HandlerB, FALSE));
    EXPECT_FALSE(SetConsoleCtrlHandler(HandlerB, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ::kill(::getpid(), SIGTERM);
    lock.lock();
    ASSERT_TRUE(g_called.wait_for(lock, std::chrono::seconds(10), [] { return g_calls.size() >= 3; }));
    EXPECT_EQ(g_calls[2], std::make_pair('A', static_cast<DWORD>(CTRL_SHUTDOWN_EVENT)));
    EXPECT_EQ(g_calls.size(), 3u);

    // The other two signals a console program is sent; every call on the handlers' own
    // thread, never on the one the signal interrupted.
    lock.unlock();
    ::kill(::getpid(), SIGQUIT);
    ::kill(::getpid(), SIGHUP);
    lock.lock();
    ASSERT_TRUE(g_called.wait_for(lock, std::chrono::seconds(10), [] { return g_calls.size() >= 5; }));
    std::vector<DWORD> types{g_calls[3].second, g_calls[4].second};
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types, (std::vector<DWORD>{CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT}));
    for (std::thread::id id : g_threads)
        EXPECT_NE(id, std::this_thread::get_id());
}

}  // namespace
