// The driver on real pseudo-terminals: transfer, time-outs, cancellation, exclusive
// open, a vanishing peer, and what a pseudo-terminal keeps of the line settings.
#include "comm_test_support.h"

#include "platform/comm/device_lock.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace comm_test;

namespace {

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = open_port(pty.path);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port));
        }
    }
    // Waits until n bytes sent by the master have reached the receive queue.
    void wait_queued(DWORD n)
    {
        ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
        for (int i = 0; i < 100; ++i) {
            COMSTAT stat{};
            ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
            if (stat.cbInQue >= n)
                return;
            overlapped o;
            DWORD events = 0;
            if (!WaitCommEvent(port, &events, &o.ov)) {
                ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            }
            if (!o.signalled(1000))
                CancelIo(port);
        }
        FAIL() << "bytes did not arrive";
    }

    pty_pair pty;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(PtyTest, SixteenMebibytesBothWaysArriveIntact)
{
    constexpr std::size_t total = 16 << 20;
    const auto out = pattern(total, 1);
    const auto in = pattern(total, 2);
    set_timeouts(port, 0, 0, 0);

    std::string echoed;
    std::thread master_reader([&] { echoed = pty.receive(total); });
    std::thread master_writer([&] { pty.send(std::string(in.begin(), in.end())); });

    std::thread port_writer([&] {
        overlapped o;
        for (std::size_t done = 0; done < total;) {
            DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(100000, total - done));
            DWORD n = 0;
            if (!WriteFile(port, out.data() + done, chunk, &n, &o.ov)) {
                ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
                ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, TRUE));
            }
            ASSERT_EQ(n, chunk);
            done += n;
        }
    });
    std::vector<BYTE> got(total);
    overlapped o;
    for (std::size_t done = 0; done < total;) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(70000, total - done));
        DWORD n = 0;
        if (!ReadFile(port, got.data() + done, chunk, &n, &o.ov)) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, TRUE));
        }
        ASSERT_EQ(n, chunk);
        done += n;
    }
    port_writer.join();
    master_writer.join();
    master_reader.join();
    EXPECT_TRUE(got == in);
    ASSERT_EQ(echoed.size(), total);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), reinterpret_cast<const BYTE*>(echoed.data())));
}

TEST_F(PtyTest, ReadTimeoutRegimes)
{
    BYTE buffer[64];
    DWORD n = 99;

    // MAXDWORD/0/0: at once, with what is there, even nothing.
    set_timeouts(port, MAXDWORD, 0, 0);
    overlapped o;
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, &o.ov));
    EXPECT_EQ(n, 0U);
    EXPECT_TRUE(o.signalled());
    pty.send("abc");
    wait_queued(3);
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, &o.ov));
    ASSERT_EQ(n, 3U);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");

    // MAXDWORD/MAXDWORD/c: waits for the first byte and returns it at once...
    set_timeouts(port, MAXDWORD, MAXDWORD, 5000);
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &o.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(port, &o.ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    pty.send("z");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(finish(port, o), 1);
    EXPECT_EQ(buffer[0], 'z');
    EXPECT_LT(ms_since(start), 4000);
    // ...or completes empty, successfully, after c.
    set_timeouts(port, MAXDWORD, MAXDWORD, 200);
    start = std::chrono::steady_clock::now();
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &o.ov));
    EXPECT_EQ(finish(port, o), 0);
    EXPECT_GE(ms_since(start), 160);

    // Total = multiplier * count + constant; a time-out returns what arrived.
    set_timeouts(port, 0, 10, 100);
    start = std::chrono::steady_clock::now();
    ASSERT_FALSE(ReadFile(port, buffer, 10, &n, &o.ov));
    pty.send("12");
    EXPECT_EQ(finish(port, o), 2);
    EXPECT_GE(ms_since(start), 160);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "12");

    // Interval: no time-out before the first byte, then the gap ends the read.
    set_timeouts(port, 100, 0, 0);
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &o.ov));
    EXPECT_FALSE(o.signalled(300));
    start = std::chrono::steady_clock::now();
    pty.send("hello");
    EXPECT_EQ(finish(port, o), 5);
    EXPECT_GE(ms_since(start), 80);

    // All zero: waits for the full count, in order.
    set_timeouts(port, 0, 0, 0);
    ASSERT_FALSE(ReadFile(port, buffer, 10, &n, &o.ov));
    pty.send("0123");
    EXPECT_FALSE(o.signalled(200));
    pty.send("456789");
    EXPECT_EQ(finish(port, o), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 10), "0123456789");
}

TEST_F(PtyTest, WritesZeroBytesAtOnceAndTimesOutShort)
{
    overlapped o;
    DWORD n = 99;
    ASSERT_TRUE(WriteFile(port, "", 0, &n, &o.ov));
    EXPECT_EQ(n, 0U);
    EXPECT_TRUE(o.signalled());

    // Nobody reads the master: the pty fills and the write times out with fewer bytes.
    COMMTIMEOUTS t{0, 0, 0, 0, 200};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    std::vector<BYTE> big(1 << 20, 'x');
    auto start = std::chrono::steady_clock::now();
    if (!WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &n, &o.ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        long written = finish(port, o);
        EXPECT_GT(written, 0);
        EXPECT_LT(written, static_cast<long>(big.size()));
        EXPECT_GE(ms_since(start), 160);
    } else {
        FAIL() << "a pty took 1 MiB at once";
    }
}

TEST_F(PtyTest, CancelIoAbortsEveryPendingOperationAndLetsGo)
{
    set_timeouts(port, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(port, EV_RXFLAG));
    overlapped r, w, e;
    auto* buffer = new BYTE[16];
    DWORD n = 0, events = 0;
    ASSERT_FALSE(ReadFile(port, buffer, 16, &n, &r.ov));
    ASSERT_FALSE(WaitCommEvent(port, &events, &e.ov));
    std::vector<BYTE> big(1 << 20, 'y');
    ASSERT_FALSE(WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &n, &w.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    ASSERT_TRUE(CancelIo(port));
    delete[] buffer;  // the driver no longer holds it
    big.clear();
    big.shrink_to_fit();
    for (overlapped* o : {&r, &w, &e}) {
        EXPECT_TRUE(o->signalled());
        DWORD error = 0;
        EXPECT_EQ(finish(port, *o, &error), -1);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    }
    pty.send("after");
    wait_queued(5);

    // A second WaitCommEvent is refused while the first runs.
    BYTE small[4];
    ASSERT_TRUE(SetCommMask(port, EV_RXFLAG));
    ASSERT_FALSE(WaitCommEvent(port, &events, &e.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    overlapped e2;
    EXPECT_FALSE(WaitCommEvent(port, &events, &e2.ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(ReadFile(port, small, 4, &n, &r.ov));
    ASSERT_TRUE(CancelIo(port));
}

// CancelIoEx of the write under way keeps the bytes the device took: the far end gets
// that prefix, then the next write.
TEST_F(PtyTest, CancelIoExOfTheWriteUnderWayKeepsWhatWasWritten)
{
    set_timeouts(port, 0, 0, 0);
    const std::vector<BYTE> big = pattern(1 << 20, 3);
    overlapped head, next;
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &n, &head.ov));
    ASSERT_FALSE(WriteFile(port, "next", 4, &n, &next.ov));
    ASSERT_TRUE(CancelIoEx(port, &head.ov));
    DWORD written = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &head.ov, &written, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_GT(written, 0U);  // the pseudo-terminal took a first part at once
    const std::string got = pty.receive(written + 4, 5000);
    EXPECT_EQ(finish(port, next), 4);
    ASSERT_EQ(got.size(), written + 4);
    EXPECT_TRUE(std::equal(big.begin(), big.begin() + written,
                           reinterpret_cast<const BYTE*>(got.data())));
    EXPECT_EQ(got.substr(written), "next");
}

// Big writes issued back to back, overlapped and not, from two threads: each waits for
// the one before it and every byte arrives once, in order.
TEST_F(PtyTest, BigWritesBackToBackArriveWhole)
{
    constexpr DWORD part = 128 * 1024;
    std::vector<std::vector<BYTE>> parts;
    std::string expected;
    for (unsigned i = 0; i < 4; ++i) {
        parts.push_back(pattern(part, 10 + i));
        expected.append(parts.back().begin(), parts.back().end());
    }
    overlapped w[3];
    DWORD n = 0;
    for (overlapped& o : w) {
        std::size_t i = &o - w;
        if (!WriteFile(port, parts[i].data(), part, &n, &o.ov)) {
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING) << i;
        }
    }
    BOOL sync_ok = FALSE;
    DWORD sync_n = 0;
    std::thread sync_writer(
        [&] { sync_ok = WriteFile(port, parts[3].data(), part, &sync_n, nullptr); });
    std::string got = pty.receive(expected.size(), 5000);
    CancelIo(port);  // whatever is left, should bytes have gone missing
    sync_writer.join();
    EXPECT_TRUE(sync_ok);
    EXPECT_EQ(sync_n, part);
    for (overlapped& o : w)
        EXPECT_EQ(finish(port, o), static_cast<long>(part));
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

// Total time-outs of MAXDWORD multipliers and constants with big transfers lie beyond
// what the clock holds: they must saturate, not wrap into the past and end at once.
TEST_F(PtyTest, ExtremeTotalTimeoutsSaturate)
{
    std::vector<BYTE> buffer(1 << 20);
    const COMMTIMEOUTS cases[] = {
        {0, MAXDWORD, 0, 0, 0},
        {0, MAXDWORD, MAXDWORD, 0, 0},
        {MAXDWORD - 1, MAXDWORD, MAXDWORD, 0, 0},
        {0, 0, MAXDWORD, 0, 0},
    };
    for (COMMTIMEOUTS t : cases) {
        ASSERT_TRUE(SetCommTimeouts(port, &t));
        for (DWORD size : {DWORD{2148}, DWORD{1 << 20}}) {
            overlapped r;
            DWORD n = 0;
            ASSERT_FALSE(ReadFile(port, buffer.data(), size, &n, &r.ov));
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            EXPECT_FALSE(r.signalled(50)) << t.ReadTotalTimeoutMultiplier << " " << size;
            ASSERT_TRUE(CancelIo(port));
        }
    }
    // MAXDWORD/MAXDWORD/c still returns the first byte at once.
    COMMTIMEOUTS first_byte{MAXDWORD, MAXDWORD, MAXDWORD - 1, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &first_byte));
    overlapped r;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buffer.data(), 1 << 20, &n, &r.ov));
    pty.send("x");
    EXPECT_EQ(finish(port, r), 1);

    // Nobody reads the master: a 1 MiB write stays pending.
    COMMTIMEOUTS writes{0, 0, 0, MAXDWORD, MAXDWORD};
    ASSERT_TRUE(SetCommTimeouts(port, &writes));
    overlapped w;
    ASSERT_FALSE(WriteFile(port, buffer.data(), 1 << 20, &n, &w.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(w.signalled(100));
    ASSERT_TRUE(CancelIo(port));
}

// A fresh device ends a read a few milliseconds after the last byte, so a short message
// under the time-outs the shared port sets (the device's, plus a total constant of 500
// ms) arrives long before the constant.
TEST_F(PtyTest, FreshDeviceEndsReadsSoonAfterTheLastByte)
{
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(port, &t));
    EXPECT_GT(t.ReadIntervalTimeout, 0U);
    EXPECT_LE(t.ReadIntervalTimeout, 10U);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0U);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0U);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0U);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0U);
    t.ReadTotalTimeoutConstant = 500;
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    BYTE buffer[512];
    overlapped r;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &r.ov));
    auto start = std::chrono::steady_clock::now();
    pty.send("hello\r\n");
    EXPECT_EQ(finish(port, r), 7);
    EXPECT_LT(ms_since(start), 250);
}

TEST_F(PtyTest, ExclusiveWithinTheProcessAndAcrossProcesses)
{
    EXPECT_EQ(open_port(pty.path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    std::string lock_file = platform::device_lock::lock_file_for(pty.path);
    bool lock_dir_writable = ::access("/var/lock", W_OK) == 0;
    if (lock_dir_writable) {
        EXPECT_EQ(::access(lock_file.c_str(), F_OK), 0);
    }
    int exclusive = 0;
    ASSERT_EQ(::ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_NE(exclusive, 0);
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    if (lock_dir_writable) {
        EXPECT_NE(::access(lock_file.c_str(), F_OK), 0);
    }
    // The test still holds the tty: closing must not leave it refusing others' opens.
    ASSERT_EQ(::ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);

    // A child process holds the device; then it dies without closing it.
    int to_parent[2], to_child[2];
    ASSERT_EQ(::pipe(to_parent), 0);
    ASSERT_EQ(::pipe(to_child), 0);
    pid_t child = ::fork();
    if (child == 0) {
        HANDLE held = open_port(pty.path);
        char ok = held != INVALID_HANDLE_VALUE ? 'y' : 'n';
        [[maybe_unused]] ssize_t w = ::write(to_parent[1], &ok, 1);
        char go;
        [[maybe_unused]] ssize_t r = ::read(to_child[0], &go, 1);
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(to_parent[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    EXPECT_EQ(open_port(pty.path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_EQ(::write(to_child[1], "g", 1), 1);
    // Ended but not yet reaped, as a process whose parent has ended stays until init
    // gets to it: it still answers kill(pid, 0), yet holds nothing.
    siginfo_t ended{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT), 0);
    for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]})
        ::close(fd);
    // The child died without closing, so nobody cleared the kernel's exclusive mode, and
    // the test's own descriptor keeps the tty alive with it: unprivileged, nobody could
    // open the tty again. Whoever still holds it can clear it, as the test does here.
    ASSERT_EQ(::ioctl(pty.slave, TIOCNXCL), 0);
    port = open_port(pty.path);  // the dead child's lock file is stale
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    int status = 0;
    ::waitpid(child, &status, 0);
}

TEST_F(PtyTest, ALinkLocksTheDeviceItLeadsTo)
{
    char dir[] = "/tmp/comm-link-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/by-id-adapter";
    ASSERT_EQ(::symlink(pty.path.c_str(), link.c_str()), 0);
    const std::string lock_file = platform::device_lock::lock_file_for(pty.path);
    EXPECT_EQ(platform::device_lock::lock_file_for(link), lock_file);
    EXPECT_EQ(lock_file, "/var/lock/LCK..pts_" + pty.path.substr(pty.path.rfind('/') + 1));

    ASSERT_TRUE(CloseHandle(port));
    port = open_port(link);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    if (::access("/var/lock", W_OK) == 0) {
        EXPECT_EQ(::access(lock_file.c_str(), F_OK), 0);
    }
    EXPECT_EQ(open_port(pty.path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ::unlink(link.c_str());
    ::rmdir(dir);
}

TEST_F(PtyTest, PeerClosingMidReadEndsTheReadWithAnErrorWithoutSpinning)
{
    set_timeouts(port, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    overlapped r, e;
    BYTE buffer[8];
    DWORD n = 0, events = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &r.ov));
    ASSERT_FALSE(WaitCommEvent(port, &events, &e.ov));
    pty.close_master();
    DWORD error = 0;
    EXPECT_EQ(finish(port, r, &error), -1);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(finish(port, e, &error), -1);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &r.ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(WriteFile(port, "x", 1, &n, &r.ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    // The driver thread must not keep waking on the dead descriptor.
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ::getrusage(RUSAGE_SELF, &after);
    auto cpu_ms = [](const rusage& u) {
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
               (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
    };
    EXPECT_LT(cpu_ms(after) - cpu_ms(before), 200.0);
}

TEST_F(PtyTest, SettingsReadBackAsThePseudoTerminalKeepsThem)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.fBinary, 1U);
    dcb.BaudRate = 12345;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x21;
    dcb.XoffChar = 0x22;
    dcb.fNull = 1;
    dcb.fErrorChar = 1;
    dcb.ErrorChar = '?';
    dcb.EvtChar = '\n';
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fParity = 1;
    ASSERT_TRUE(SetCommState(port, &dcb));
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    // A pseudo-terminal keeps the speed and stop bits but forces 8 data bits, no parity.
    EXPECT_EQ(back.BaudRate, 12345U);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutX, 1U);
    EXPECT_EQ(back.fInX, 1U);
    EXPECT_EQ(back.XonChar, 0x21);
    EXPECT_EQ(back.XoffChar, 0x22);
    EXPECT_EQ(back.fNull, 1U);
    EXPECT_EQ(back.fErrorChar, 1U);
    EXPECT_EQ(back.ErrorChar, '?');
    EXPECT_EQ(back.EvtChar, '\n');
    EXPECT_EQ(back.XonLim, 100);
    EXPECT_EQ(back.XoffLim, 200);
    EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(back.fParity, 1U);

    // Values no device takes are refused and change nothing.
    auto refused = [&](auto change) {
        DCB bad = back;
        change(bad);
        EXPECT_FALSE(SetCommState(port, &bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        DCB now{};
        ASSERT_TRUE(GetCommState(port, &now));
        EXPECT_EQ(now.BaudRate, 12345U);
        EXPECT_EQ(now.StopBits, TWOSTOPBITS);
    };
    refused([](DCB& d) { d.ByteSize = 4; });
    refused([](DCB& d) { d.ByteSize = 9; });
    refused([](DCB& d) { d.Parity = 5; });
    refused([](DCB& d) { d.StopBits = 3; });
    refused([](DCB& d) { d.BaudRate = 0; });
    refused([](DCB& d) { d.StopBits = ONE5STOPBITS; d.ByteSize = 8; });
    refused([](DCB& d) { d.XoffChar = d.XonChar; });

    // No modem lines: all inactive, and DTR, RTS and break are kept by the driver.
    DWORD modem = 99;
    ASSERT_TRUE(GetCommModemStatus(port, &modem));
    EXPECT_EQ(modem, 0U);
    for (DWORD f : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK, SETXOFF, SETXON})
        EXPECT_TRUE(EscapeCommFunction(port, f)) << f;
    EXPECT_TRUE(SetCommBreak(port));
    EXPECT_TRUE(ClearCommBreak(port));
    EXPECT_FALSE(EscapeCommFunction(port, 77));
}

TEST_F(PtyTest, StaleAndInvalidHandlesAreRefused)
{
    HANDLE stale = port;
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    DCB dcb{};
    EXPECT_FALSE(GetCommState(stale, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CancelIo(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(open_port("/nonexistent/ttyX"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open_port("/dev/null"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
