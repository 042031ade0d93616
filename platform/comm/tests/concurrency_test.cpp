// One thread waiting for comm events, one reading and one writing on the same handle,
// and a close while they run: for ThreadSanitizer as much as for the results.
#include "comm_test_support.h"

#include "platform/comm/sim_uart.h"

#include <atomic>
#include <thread>

using namespace comm_test;

namespace {

TEST(ConcurrencyTest, WaiterReaderAndWriterOnOnePortThenClose)
{
    pty_pair pty;
    HANDLE port = open_port(pty.path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    set_timeouts(port, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_TXEMPTY));

    constexpr std::size_t total = 1 << 20;
    const auto out = pattern(total, 5);
    // The master echoes everything back.
    std::thread echo([&] {
        for (std::size_t done = 0; done < total;) {
            std::string chunk = pty.receive(std::min<std::size_t>(4096, total - done));
            if (chunk.empty())
                return;
            pty.send(chunk);
            done += chunk.size();
        }
    });
    std::atomic<int> events_seen{0};
    std::thread waiter([&] {
        overlapped o;
        for (;;) {
            DWORD events = 0, n = 0;
            if (!WaitCommEvent(port, &events, &o.ov)) {
                if (GetLastError() != ERROR_IO_PENDING)
                    return;  // the port has been closed
                if (!GetOverlappedResult(port, &o.ov, &n, TRUE))
                    return;
            }
            if (events)
                events_seen.fetch_add(1);
        }
    });
    std::thread writer([&] {
        overlapped o;
        for (std::size_t done = 0; done < total;) {
            DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(1000, total - done));
            DWORD n = 0;
            if (!WriteFile(port, out.data() + done, chunk, &n, &o.ov)) {
                ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
                ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, TRUE));
            }
            done += n;
        }
    });
    std::vector<BYTE> in(total);
    overlapped o;
    for (std::size_t done = 0; done < total;) {
        DWORD n = 0;
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(777, total - done));
        if (!ReadFile(port, in.data() + done, chunk, &n, &o.ov)) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, TRUE));
        }
        done += n;
    }
    writer.join();
    echo.join();
    EXPECT_TRUE(in == out);
    EXPECT_GT(events_seen.load(), 0);
    ASSERT_TRUE(CloseHandle(port));  // ends the waiter's pending wait
    waiter.join();
}

TEST(ConcurrencyTest, SimulatedLineEventsWhileReadingAndWriting)
{
    auto uart = platform::sim_uart::create("concurrency");
    HANDLE port = open_port(uart->path());
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    set_timeouts(port, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_RXCHAR));
    std::atomic<bool> stop{false};
    std::atomic<int> cts_events{0};
    std::thread waiter([&] {
        overlapped o;
        while (!stop) {
            DWORD events = 0, n = 0;
            if (!WaitCommEvent(port, &events, &o.ov)) {
                if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port, &o.ov, &n, TRUE))
                    return;
            }
            if (events & EV_CTS)
                cts_events.fetch_add(1);
        }
    });
    std::thread toggler([&] {
        for (int i = 0; i < 200; ++i)
            uart->set_modem_lines(i % 2 ? MS_CTS_ON : 0);
    });
    std::thread sender([&] {
        for (int i = 0; i < 200; ++i)
            uart->send("0123456789");
    });
    std::thread writer([&] {
        overlapped o;
        for (int i = 0; i < 200; ++i) {
            DWORD n = 0;
            if (!WriteFile(port, "abcde", 5, &n, &o.ov))
                GetOverlappedResult(port, &o.ov, &n, TRUE);
        }
    });
    std::vector<char> in(2000);
    overlapped o;
    for (std::size_t done = 0; done < in.size();) {
        DWORD n = 0;
        if (!ReadFile(port, in.data() + done, static_cast<DWORD>(in.size() - done), &n, &o.ov)) {
            ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, TRUE));
        }
        done += n;
    }
    toggler.join();
    sender.join();
    writer.join();
    EXPECT_TRUE(uart->wait_written(1000, 5000));
    for (std::size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(in[i], static_cast<char>('0' + i % 10)) << i;
    // The toggles end with CTS on, so at least one EV_CTS must reach the waiter.
    for (int i = 0; i < 5000 && cts_events.load() == 0; ++i)
        Sleep(1);
    EXPECT_GT(cts_events.load(), 0);
    stop = true;
    ASSERT_TRUE(CloseHandle(port));
    waiter.join();
}

}  // namespace
