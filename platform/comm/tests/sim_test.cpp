// The driver on the simulated UART: every comm event and line error, the DCB's software
// parts, the modem-control lines, and opening through the port map.
#include "comm_test_support.h"

#include "platform/comm/port_name.h"
#include "platform/comm/receive_filter.h"
#include "platform/comm/sim_uart.h"

#include <cstdlib>
#include <thread>
#include <unistd.h>

using namespace comm_test;
using platform::sim_uart;

namespace {

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        uart = sim_uart::create(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(uart);
        port = open_port(uart->path());
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
    }
    // The events of the next wait, which must end within a few seconds.
    DWORD next_events()
    {
        overlapped o;
        DWORD events = 0;
        if (!WaitCommEvent(port, &events, &o.ov)) {
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
            if (!o.signalled(5000)) {
                CancelIo(port);
                ADD_FAILURE() << "no event";
                return 0;
            }
            DWORD n = 0;
            EXPECT_TRUE(GetOverlappedResult(port, &o.ov, &n, FALSE));
        }
        return events;
    }
    std::string read_now(DWORD max = 64)
    {
        set_timeouts(port, MAXDWORD, 0, 0);
        std::string bytes(max, '\0');
        DWORD n = 0;
        overlapped o;
        EXPECT_TRUE(ReadFile(port, bytes.data(), max, &n, &o.ov));
        bytes.resize(n);
        return bytes;
    }
    DWORD clear_errors()
    {
        DWORD errors = 0;
        EXPECT_TRUE(ClearCommError(port, &errors, nullptr));
        return errors;
    }
    void change_dcb(const std::function<void(DCB&)>& change)
    {
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        change(dcb);
        ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    }

    std::shared_ptr<sim_uart> uart;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(SimTest, ReceivePathEventsAndErrors)
{
    change_dcb([](DCB& d) {
        d.EvtChar = '!';
        d.Parity = EVENPARITY;
        d.fParity = 1;
    });
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_RXFLAG | EV_ERR | EV_BREAK));

    uart->send("ab");
    EXPECT_EQ(next_events(), EV_RXCHAR);
    uart->send("c!");
    EXPECT_EQ(next_events(), EV_RXCHAR | EV_RXFLAG);
    EXPECT_EQ(read_now(), "abc!");

    uart->send_parity_error('p');
    EXPECT_EQ(next_events(), EV_RXCHAR | EV_ERR);
    EXPECT_EQ(clear_errors(), CE_RXPARITY);
    uart->send_framing_error('f');
    EXPECT_EQ(next_events(), EV_RXCHAR | EV_ERR);
    EXPECT_EQ(clear_errors(), CE_FRAME);
    uart->send_after_overrun('o');
    EXPECT_EQ(next_events(), EV_RXCHAR | EV_ERR);
    EXPECT_EQ(clear_errors(), CE_OVERRUN);
    uart->send_after_buffer_overflow('r');
    EXPECT_EQ(next_events(), EV_RXCHAR);  // not a line-status error: no EV_ERR
    EXPECT_EQ(clear_errors(), CE_RXOVER);
    uart->send_break();
    EXPECT_EQ(next_events(), EV_BREAK);
    EXPECT_EQ(clear_errors(), CE_BREAK);
    EXPECT_EQ(clear_errors(), 0U);
    // Error bytes are kept as received without fErrorChar; 0xff passes through marking.
    uart->send("\xff");
    EXPECT_EQ(next_events(), EV_RXCHAR);
    EXPECT_EQ(read_now(), "pfor\xff");
}

TEST_F(SimTest, NulDiscardErrorCharacterAndUnreportedParity)
{
    change_dcb([](DCB& d) {
        d.fNull = 1;
        d.fErrorChar = 1;
        d.ErrorChar = '#';
        d.Parity = ODDPARITY;
        d.fParity = 1;
    });
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    uart->send(std::string("a\0b", 3));
    uart->send_framing_error('x');
    uart->send_parity_error('y');
    uart->send("c");
    std::string got;
    while (got.size() < 5 && next_events() == EV_RXCHAR)
        got += read_now();
    EXPECT_EQ(got, "ab##c");
    EXPECT_EQ(clear_errors(), CE_FRAME | CE_RXPARITY);

    // Without fParity a parity error is neither reported nor replaced.
    change_dcb([](DCB& d) { d.fParity = 0; });
    uart->send_parity_error('z');
    EXPECT_EQ(next_events(), EV_RXCHAR);
    EXPECT_EQ(read_now(), "z");
    EXPECT_EQ(clear_errors(), 0U);
}

TEST_F(SimTest, ModemLineEventsAndStatus)
{
    ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
    const std::pair<DWORD, DWORD> steps[] = {
        {MS_CTS_ON, EV_CTS},
        {MS_CTS_ON | MS_DSR_ON, EV_DSR},
        {MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, EV_RLSD},
        {MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON, EV_RING},
        {0, EV_CTS | EV_DSR | EV_RLSD | EV_RING},
    };
    for (auto [lines, events] : steps) {
        uart->set_modem_lines(lines);
        EXPECT_EQ(next_events(), events);
        DWORD status = 99;
        ASSERT_TRUE(GetCommModemStatus(port, &status));
        EXPECT_EQ(status, lines);
    }
}

TEST_F(SimTest, TransmitEmptyAndWriteTimeout)
{
    ASSERT_TRUE(SetCommMask(port, EV_TXEMPTY));
    overlapped w;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(port, "hello", 5, &n, &w.ov));
    EXPECT_EQ(n, 5U);
    EXPECT_EQ(next_events(), EV_TXEMPTY);
    ASSERT_TRUE(uart->wait_written(5, 5000));
    auto written = uart->take_written();
    EXPECT_EQ(std::string(written.begin(), written.end()), "hello");

    uart->hold_output(true);
    COMMTIMEOUTS t{0, 0, 0, 10, 100};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    ASSERT_FALSE(WriteFile(port, "abc", 3, &n, &w.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(stat.cbOutQue, 3U);
    EXPECT_EQ(finish(port, w), 0);  // timed out: success, nothing written

    t = COMMTIMEOUTS{};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    ASSERT_FALSE(WriteFile(port, "xyz", 3, &n, &w.ov));
    uart->hold_output(false);
    EXPECT_EQ(finish(port, w), 3);
    EXPECT_EQ(next_events(), EV_TXEMPTY);
}

// Writes issued while one is held by the line queue behind it and go out whole, in the
// order issued, whichever thread issued them and whether or not they are overlapped;
// reads are served in order the same way.
TEST_F(SimTest, QueuedReadsAndWritesKeepTheirOrder)
{
    set_timeouts(port, 0, 0, 0);
    uart->hold_output(true);
    const std::vector<std::string> parts = {"first;", "second;", "third;"};
    overlapped w[3];
    DWORD n = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_FALSE(WriteFile(port, parts[i].data(), static_cast<DWORD>(parts[i].size()), &n,
                               &w[i].ov));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    BOOL sync_ok = FALSE;
    DWORD sync_n = 0;
    std::thread sync_writer(
        [&] { sync_ok = WriteFile(port, "sync;", 5, &sync_n, nullptr); });
    COMSTAT stat{};
    for (int i = 0; i < 500 && stat.cbOutQue < 24; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    }
    EXPECT_EQ(stat.cbOutQue, 24U);  // every queued byte counts
    EXPECT_FALSE(w[2].signalled());
    uart->hold_output(false);
    sync_writer.join();
    EXPECT_TRUE(sync_ok);
    EXPECT_EQ(sync_n, 5U);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(finish(port, w[i]), static_cast<long>(parts[i].size()));
    ASSERT_TRUE(uart->wait_written(24, 5000));
    auto written = uart->take_written();
    EXPECT_EQ(std::string(written.begin(), written.end()), "first;second;third;sync;");

    overlapped r[3];
    char buffers[3][4];
    for (int i = 0; i < 3; ++i) {
        ASSERT_FALSE(ReadFile(port, buffers[i], 4, &n, &r[i].ov));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    uart->send("abcdefghij");
    EXPECT_EQ(finish(port, r[0]), 4);
    EXPECT_EQ(finish(port, r[1]), 4);
    EXPECT_EQ(std::string(buffers[0], 4) + std::string(buffers[1], 4), "abcdefgh");
    EXPECT_FALSE(r[2].signalled(50));  // two bytes of four

    // CancelIo ends every queued operation and lets go of every buffer.
    uart->hold_output(true);
    auto* held = new std::vector<BYTE>(4096, 'h');
    for (int i = 0; i < 3; ++i) {
        ASSERT_FALSE(WriteFile(port, held->data(), static_cast<DWORD>(held->size()), &n,
                               &w[i].ov));
    }
    ASSERT_TRUE(CancelIo(port));
    delete held;
    for (overlapped* o : {&w[0], &w[1], &w[2], &r[2]}) {
        DWORD error = 0;
        EXPECT_EQ(finish(port, *o, &error), -1);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    }
    uart->hold_output(false);
    ASSERT_TRUE(WriteFile(port, "after", 5, &n, nullptr));
    ASSERT_TRUE(uart->wait_written(5, 5000));
    written = uart->take_written();
    EXPECT_EQ(std::string(written.begin(), written.end()), "after");
}

// CancelIoEx ends exactly the write on its block: the others keep their order, and the
// one behind a cancelled head starts at once, its time-out with it.
TEST_F(SimTest, CancelIoExTakesBackExactlyOneWrite)
{
    set_timeouts(port, 0, 0, 0);
    uart->hold_output(true);
    const char* parts = "w0;w1;w2;w3;";
    overlapped w[4];
    DWORD n = 0, error = 0;
    for (int i = 0; i < 4; ++i)
        ASSERT_FALSE(WriteFile(port, parts + 3 * i, 3, &n, &w[i].ov));
    for (int i : {2, 0}) {
        ASSERT_TRUE(CancelIoEx(port, &w[i].ov));
        EXPECT_EQ(finish(port, w[i], &error), -1);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    }
    EXPECT_FALSE(CancelIoEx(port, &w[2].ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    uart->hold_output(false);
    EXPECT_EQ(finish(port, w[1]) + finish(port, w[3]), 6);
    ASSERT_TRUE(uart->wait_written(6, 5000));
    const auto written = uart->take_written();
    EXPECT_EQ(std::string(written.begin(), written.end()), "w1;w3;");

    COMMTIMEOUTS t{0, 0, 0, 0, 100};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    uart->hold_output(true);
    ASSERT_FALSE(WriteFile(port, "x", 1, &n, &w[0].ov));
    ASSERT_FALSE(WriteFile(port, "y", 1, &n, &w[1].ov));
    ASSERT_TRUE(CancelIoEx(port, &w[0].ov));
    EXPECT_TRUE(w[1].signalled(5000));  // timed out on the held line, not left waiting
}

// A queued write's total time-out runs from when it reaches the line, not from when it
// was issued: one queued 100 ms after a held write ends a full time-out after it.
TEST_F(SimTest, QueuedWriteTimeoutStartsWhenItReachesTheLine)
{
    COMMTIMEOUTS t{0, 0, 0, 0, 300};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    uart->hold_output(true);
    overlapped first, second;
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(port, "one", 3, &n, &first.ov));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_FALSE(WriteFile(port, "two", 3, &n, &second.ov));
    EXPECT_EQ(finish(port, first), 0);
    auto first_done = std::chrono::steady_clock::now();
    EXPECT_EQ(finish(port, second), 0);
    EXPECT_GE(ms_since(first_done), 250);  // counted from its issue: 100
}

TEST_F(SimTest, MaskChangesAndRememberedEvents)
{
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_BREAK));
    overlapped o;
    DWORD events = 99;
    ASSERT_FALSE(WaitCommEvent(port, &events, &o.ov));
    // A new mask ends the pending wait successfully with no events.
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    EXPECT_EQ(finish(port, o), static_cast<long>(sizeof(DWORD)));
    EXPECT_EQ(events, 0U);

    // Events while no wait is pending are remembered (if masked) and end the next wait
    // at once; unmasked ones are not.
    uart->send_break();
    uart->send("q");
    for (int i = 0; i < 5000; ++i) {
        COMSTAT stat{};
        ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
        if (stat.cbInQue == 1)
            break;
        Sleep(1);
    }
    ASSERT_TRUE(WaitCommEvent(port, &events, &o.ov));
    EXPECT_EQ(events, EV_RXCHAR);
    EXPECT_TRUE(o.signalled());

    // Switching EV_RXCHAR back on while bytes wait in the queue announces them.
    ASSERT_TRUE(SetCommMask(port, EV_BREAK));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_BREAK));
    ASSERT_TRUE(WaitCommEvent(port, &events, &o.ov));
    EXPECT_EQ(events, EV_RXCHAR);

    ASSERT_TRUE(SetCommMask(port, 0));
    EXPECT_FALSE(WaitCommEvent(port, &events, &o.ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SimTest, LinesBreakAndSettingsReachTheFarEnd)
{
    EXPECT_TRUE(uart->dtr());
    EXPECT_TRUE(uart->rts());
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
    ASSERT_TRUE(EscapeCommFunction(port, CLRRTS));
    EXPECT_FALSE(uart->dtr());
    EXPECT_FALSE(uart->rts());
    ASSERT_TRUE(SetCommBreak(port));
    EXPECT_TRUE(uart->in_break());
    ASSERT_TRUE(ClearCommBreak(port));
    EXPECT_FALSE(uart->in_break());
    ASSERT_TRUE(EscapeCommFunction(port, SETXOFF));
    EXPECT_TRUE(uart->output_suspended());
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(stat.fXoffHold, 1U);
    ASSERT_TRUE(EscapeCommFunction(port, SETXON));
    EXPECT_FALSE(uart->output_suspended());

    // Control modes drive the lines when they change; a handshake owns its line.
    change_dcb([](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; d.fRtsControl = RTS_CONTROL_DISABLE; });
    change_dcb([](DCB& d) { d.fDtrControl = DTR_CONTROL_DISABLE; d.fRtsControl = RTS_CONTROL_ENABLE; });
    EXPECT_FALSE(uart->dtr());
    EXPECT_TRUE(uart->rts());
    // ENABLE raises and DISABLE lowers the line on every SetCommState, mode changed or
    // not, whatever EscapeCommFunction did in between.
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(EscapeCommFunction(port, SETDTR));
        ASSERT_TRUE(EscapeCommFunction(port, CLRRTS));
        change_dcb([](DCB&) {});
        EXPECT_FALSE(uart->dtr());
        EXPECT_TRUE(uart->rts());
        change_dcb([](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; });
        ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
        change_dcb([](DCB&) {});
        EXPECT_TRUE(uart->dtr());
        change_dcb([](DCB& d) { d.fDtrControl = DTR_CONTROL_DISABLE; });
    }
    change_dcb([](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; });
    EXPECT_FALSE(EscapeCommFunction(port, CLRRTS));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(uart->settings().rts_cts);

    change_dcb([](DCB& d) {
        d.BaudRate = 31250;
        d.ByteSize = 5;
        d.Parity = MARKPARITY;
        d.StopBits = ONE5STOPBITS;
        d.fRtsControl = RTS_CONTROL_ENABLE;
        d.fOutxCtsFlow = 0;
    });
    auto s = uart->settings();
    EXPECT_EQ(s.baud, 31250U);
    EXPECT_EQ(s.data_bits, 5);
    EXPECT_EQ(s.parity, MARKPARITY);
    EXPECT_EQ(s.stop_bits, ONE5STOPBITS);
    EXPECT_FALSE(s.rts_cts);
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, 31250U);
    EXPECT_EQ(back.ByteSize, 5);
    EXPECT_EQ(back.Parity, MARKPARITY);
    EXPECT_EQ(back.StopBits, ONE5STOPBITS);
    EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
}

TEST_F(SimTest, AbortOnErrorHoldsIoUntilClearCommError)
{
    change_dcb([](DCB& d) { d.fAbortOnError = 1; });
    set_timeouts(port, 0, 0, 0);
    overlapped r;
    BYTE buffer[8];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &r.ov));
    uart->send_framing_error('e');
    DWORD error = 0;
    EXPECT_EQ(finish(port, r, &error), -1);  // the byte stays in the queue
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(WriteFile(port, "x", 1, &n, &r.ov));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(clear_errors(), CE_FRAME);
    EXPECT_EQ(read_now(), "e");
}

TEST_F(SimTest, UnplugEndsPendingOperationsAndLaterCalls)
{
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    overlapped e;
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port, &events, &e.ov));
    EXPECT_EQ(open_port(uart->path()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    uart->unplug();
    DWORD error = 0;
    EXPECT_EQ(finish(port, e, &error), -1);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port, &status));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(uart->is_open());
}

TEST_F(SimTest, SynchronousCallsWithoutOverlapped)
{
    set_timeouts(port, 0, 0, 0);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(port, "sync", 4, &n, nullptr));
    EXPECT_EQ(n, 4U);
    uart->send("back");
    char buffer[4];
    ASSERT_TRUE(ReadFile(port, buffer, 4, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "back");
}

// ---- names and the port map ----------------------------------------------------------

TEST(PortNameTest, DefaultRuleAndForms)
{
    // A store of the test's own with no port map: only the default rule applies.
    platform::testing::temp_registry registry;
    ASSERT_TRUE(registry.ready());
    std::string path;
    const std::pair<const char*, const char*> cases[] = {
        {"\\\\.\\COM1", "/dev/ttyS0"},   {"COM32", "/dev/ttyS31"},
        {"\\\\.\\com33", "/dev/ttyUSB0"}, {"COM64", "/dev/ttyUSB31"},
        {"COM65", "/dev/ttyACM0"},       {"\\\\.\\COM96", "/dev/ttyACM31"},
        {"/dev/pts/7", "/dev/pts/7"},    {"sim:x", "sim:x"},
    };
    for (auto [name, expected] : cases) {
        EXPECT_EQ(platform::resolve_port_name(name, path), ERROR_SUCCESS) << name;
        EXPECT_EQ(path, expected) << name;
    }
    EXPECT_EQ(platform::resolve_port_name("COM97", path), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(platform::resolve_port_name("COM0", path), ERROR_INVALID_NAME);
    EXPECT_EQ(platform::resolve_port_name("COM1x", path), ERROR_INVALID_NAME);
    EXPECT_EQ(platform::resolve_port_name("ttyS0", path), ERROR_INVALID_NAME);
}

TEST(PortNameTest, PortMapOpensAnyDeviceUnderAnyNumber)
{
    platform::testing::temp_registry registry;
    ASSERT_TRUE(registry.ready());
    auto uart = sim_uart::create("mapped");
    ASSERT_TRUE(uart);
    ASSERT_EQ(registry.map_port(uart->path(), 5), ERROR_SUCCESS);

    HANDLE port = open_port("\\\\.\\COM5");
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(uart->is_open());
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(uart->is_open());
}

// ---- the receive path alone --------------------------------------------------------------

TEST(ReceiveFilterTest, MarksSplitAcrossReadsAndCountersTellErrorsApart)
{
    platform::receive_filter filter;
    platform::receive_options options;
    options.marked = true;
    BYTE out[16];
    platform::line_counters none;
    platform::receive_result result;
    const BYTE first[] = {'a', 0xff};
    EXPECT_EQ(filter.decode(first, 2, options, none, true, out, result), 1U);
    const BYTE second[] = {0xff, 0xff, 0x00};
    EXPECT_EQ(filter.decode(second, 3, options, none, true, out + 1, result), 1U);
    EXPECT_EQ(out[1], 0xff);
    platform::line_counters one_frame;
    one_frame.frame = 1;
    const BYTE third[] = {'z'};
    EXPECT_EQ(filter.decode(third, 1, options, one_frame, true, out + 2, result), 1U);
    EXPECT_EQ(out[2], 'z');
    EXPECT_EQ(result.errors, CE_FRAME);
    EXPECT_EQ(result.events, EV_RXCHAR | EV_ERR);
}

}  // namespace
