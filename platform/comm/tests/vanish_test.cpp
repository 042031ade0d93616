// Devices that vanish and come back, at the driver: the simulated UART unplugged and
// plugged in again, and a pseudo-terminal behind a link whose directory goes and comes
// back. port/tests/vanish_test.cpp takes a socat pair through the same, seen by clients.
#include "comm_test_support.h"

#include "platform/comm/sim_uart.h"
#include "platform/comm/termios2.h"
#include "platform/testing/testing.h"

#include <cstdlib>
#include <memory>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace comm_test;
using platform::sim_uart;
using platform::testing::idle_cpu_ms_over_a_second;
using platform::testing::kIdleCpuBoundMs;

namespace {

constexpr DWORD kGoneEvents = EV_RXCHAR | EV_EVENT1 | EV_EVENT2;

// The settings a client would have made: none of them the device's defaults.
DCB custom_dcb(HANDLE port)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.fParity = TRUE;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = TRUE;
    dcb.fNull = TRUE;
    dcb.EvtChar = '!';
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    return dcb;
}

// Starts a wait; its event mask goes to *events when it ends.
void start_wait(HANDLE port, overlapped& o, DWORD* events)
{
    if (!WaitCommEvent(port, events, &o.ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
}

TEST(VanishSim, PendingIoEndsTheHandleWaitsAndComesBackWithItsSettings)
{
    auto uart = sim_uart::create("vanish-settings");
    ASSERT_TRUE(uart);
    HANDLE port = open_port(uart->path());
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb = custom_dcb(port);
    ASSERT_TRUE(SetCommState(port, &dcb));
    set_timeouts(port, 0, 0, 0);  // reads wait for their full count
    ASSERT_TRUE(EscapeCommFunction(port, SETBREAK));
    ASSERT_TRUE(SetCommMask(port, kGoneEvents));

    overlapped r, w, e;
    BYTE buffer[4];
    DWORD n = 0, events = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &r.ov));
    uart->hold_output(true);
    ASSERT_FALSE(WriteFile(port, "held", 4, &n, &w.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    // One byte reaches the pending read, which must keep it when the device goes.
    start_wait(port, e, &events);
    uart->send("x");
    ASSERT_GE(finish(port, e), 0);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
    start_wait(port, e, &events);

    uart->unplug();
    DWORD error = 0;
    EXPECT_EQ(finish(port, w, &error), -1);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(finish(port, r), 1);
    EXPECT_EQ(buffer[0], 'x');
    ASSERT_GE(finish(port, e), 0);
    EXPECT_EQ(events, static_cast<DWORD>(EV_EVENT1));

    // Gone: calls on the device fail at once, the handle's own state stays usable.
    EXPECT_FALSE(WriteFile(port, "y", 1, &n, &w.ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &r.ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    DCB seen{};
    EXPECT_FALSE(GetCommState(port, &seen));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    DWORD mask = 0;
    EXPECT_TRUE(GetCommMask(port, &mask));
    EXPECT_EQ(mask, kGoneEvents);
    ASSERT_TRUE(uart->wait_until([&] { return !uart->is_open(); }, 5000))
        << "the driver keeps the vanished device open";
    start_wait(port, e, &events);
    EXPECT_FALSE(e.signalled());
    EXPECT_LT(idle_cpu_ms_over_a_second(), kIdleCpuBoundMs);
    EXPECT_FALSE(e.signalled());

    // Back: every setting is written to the fresh device before the wait reports it.
    ASSERT_TRUE(uart->replug());
    ASSERT_TRUE(e.signalled(5000)) << "the device's return was not reported";
    ASSERT_GE(finish(port, e), 0);
    EXPECT_EQ(events, static_cast<DWORD>(EV_EVENT2));
    platform::line_settings s = uart->settings();
    EXPECT_EQ(s.baud, 19200U);
    EXPECT_EQ(s.data_bits, 7);
    EXPECT_EQ(s.parity, EVENPARITY);
    EXPECT_EQ(s.stop_bits, TWOSTOPBITS);
    EXPECT_TRUE(s.xon_out);
    EXPECT_TRUE(uart->dtr());
    EXPECT_FALSE(uart->rts());
    EXPECT_TRUE(uart->in_break());
    ASSERT_TRUE(GetCommState(port, &seen));
    EXPECT_TRUE(seen.fNull);
    EXPECT_EQ(seen.EvtChar, '!');
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(port, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0U);

    // And it works as before, on the same handle.
    ASSERT_TRUE(EscapeCommFunction(port, CLRBREAK));
    uart->send("back");
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, &r.ov) ||
                GetLastError() == ERROR_IO_PENDING);
    EXPECT_EQ(finish(port, r), 4);
    EXPECT_EQ(std::string(buffer, buffer + 4), "back");
    ASSERT_TRUE(WriteFile(port, "out", 3, &n, &w.ov) || GetLastError() == ERROR_IO_PENDING);
    EXPECT_EQ(finish(port, w), 3);
    EXPECT_TRUE(uart->wait_written(3, 5000));
    EXPECT_TRUE(CloseHandle(port));
}

TEST(VanishSim, WithoutTheLossInTheMaskAPendingWaitFailsAndTheNextOneWaits)
{
    auto uart = sim_uart::create("vanish-unmasked");
    ASSERT_TRUE(uart);
    HANDLE port = open_port(uart->path());
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    overlapped e;
    DWORD events = 0;
    start_wait(port, e, &events);
    uart->unplug();
    DWORD error = 0;
    EXPECT_EQ(finish(port, e, &error), -1);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    start_wait(port, e, &events);
    ASSERT_TRUE(uart->wait_until([&] { return !uart->is_open(); }, 5000));
    ASSERT_TRUE(uart->replug());
    ASSERT_TRUE(uart->wait_until([&] { return uart->is_open(); }, 5000));
    EXPECT_FALSE(e.signalled(100));  // the return is not in the mask
    uart->send("z");
    ASSERT_GE(finish(port, e), 0);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_TRUE(CloseHandle(port));
}

// A /dev/serial/by-id link goes with its directory when the adapter is pulled out, and
// both come back with it.
TEST(VanishTty, ALinkWhoseDirectoryGoesAndComesBack)
{
    char dir[] = "/tmp/tethra-vanish-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string by_id = std::string(dir) + "/by-id";
    const std::string link = by_id + "/usb-adapter";
    ASSERT_EQ(::mkdir(by_id.c_str(), 0755), 0);
    auto first = std::make_unique<pty_pair>();
    ASSERT_EQ(::symlink(first->path.c_str(), link.c_str()), 0);
    HANDLE port = open_port(link);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    DCB dcb = custom_dcb(port);
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_TRUE(SetCommMask(port, kGoneEvents));
    overlapped e;
    DWORD events = 0;
    start_wait(port, e, &events);

    first.reset();  // the adapter is pulled out: its terminal hangs up...
    ASSERT_GE(finish(port, e), 0);
    EXPECT_EQ(events, static_cast<DWORD>(EV_EVENT1));
    ::unlink(link.c_str());  // ... and its link and directory go
    ::rmdir(by_id.c_str());
    start_wait(port, e, &events);
    EXPECT_LT(idle_cpu_ms_over_a_second(), kIdleCpuBoundMs);

    // The directory first, and the link only once the driver has looked into the empty
    // directory, as udev makes them: the link must be seen where the directory was not.
    pty_pair second;
    ASSERT_EQ(::mkdir(by_id.c_str(), 0755), 0);
    ::usleep(200 * 1000);
    ASSERT_EQ(::symlink(second.path.c_str(), link.c_str()), 0);
    ASSERT_TRUE(e.signalled(5000)) << "the device's return was not reported";
    ASSERT_GE(finish(port, e), 0);
    EXPECT_EQ(events, static_cast<DWORD>(EV_EVENT2));
    // A pty's master reads the slave's settings. A pty always holds 8 data bits and no
    // parity, so the speed, stop bits and flow control tell whether they were written.
    platform::kernel_termios t;
    ASSERT_EQ(platform::termios2_get(second.master, t), 0);
    EXPECT_EQ(t.ospeed, 19200U);
    EXPECT_TRUE(t.cflag & CSTOPB);
    EXPECT_TRUE(t.iflag & IXON);
    EXPECT_FALSE(t.iflag & IXOFF);

    second.send("hi");
    BYTE buffer[2];
    DWORD n = 0;
    overlapped r;
    set_timeouts(port, 0, 0, 0);
    ASSERT_TRUE(ReadFile(port, buffer, 2, &n, &r.ov) || GetLastError() == ERROR_IO_PENDING);
    EXPECT_EQ(finish(port, r), 2);
    EXPECT_EQ(std::string(buffer, buffer + 2), "hi");
    EXPECT_TRUE(CloseHandle(port));
    ::unlink(link.c_str());
    ::rmdir(by_id.c_str());
    ::rmdir(dir);
}

// The number of a pseudo-terminal that hung up goes to the next one opened, which is
// somebody else's line: the driver must neither report it as its device's return nor
// hold it.
TEST(VanishTty, ThePseudoTerminalThatTakesAGoneOnesNumberIsLeftAlone)
{
    auto first = std::make_unique<pty_pair>();
    const std::string path = first->path;
    HANDLE port = open_port(path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(SetCommMask(port, kGoneEvents));
    overlapped e;
    DWORD events = 0;
    start_wait(port, e, &events);
    first.reset();
    ASSERT_GE(finish(port, e), 0);
    EXPECT_EQ(events, static_cast<DWORD>(EV_EVENT1));
    start_wait(port, e, &events);

    // The driver lets the number go once it has closed the terminal; the next one opened
    // takes the lowest free number, unless another process takes it first.
    std::unique_ptr<pty_pair> next;
    for (int attempt = 0; attempt < 50 && !next; ++attempt) {
        auto candidate = std::make_unique<pty_pair>();
        if (candidate->path == path)
            next = std::move(candidate);
        else
            ::usleep(20 * 1000);
    }
    if (!next) {
        EXPECT_TRUE(CloseHandle(port));
        GTEST_SKIP() << "no new pseudo-terminal got the number " << path;
    }
    EXPECT_FALSE(e.signalled(500)) << "another terminal was taken for the vanished one";
    HANDLE other = open_port(path);
    EXPECT_NE(other, INVALID_HANDLE_VALUE) << "the driver holds the new terminal";
    if (other != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(CloseHandle(other));
    }
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
