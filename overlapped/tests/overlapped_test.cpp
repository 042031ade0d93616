// The three I/O tasks run by a real worker on a real device: the simulated UART and a
// pseudo-terminal. Test subclasses record what the bases hand them.
#include "engine/tests/engine_test_support.h"
#include "overlapped/PortEventOverlappedIO.h"
#include "overlapped/ReadOverlappedIO.h"
#include "overlapped/WriteOverlappedIO.h"
#include "platform/comm/sim_uart.h"
#include "platform/testing/testing.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class TestRead : public CReadOverlappedIO {
public:
    TestRead(Journal& j, CPortEventOverlappedIO* pe, DWORD size)
        : CReadOverlappedIO(pe, size, TRUE), j_(j)
    {
    }
    ~TestRead() override { j_.add("deleted:read"); }
    BOOL AlgorithmInterface(BOOL& bDone) override
    {
        BOOL result = CReadOverlappedIO::AlgorithmInterface(bDone);
        if (m_bIOPending && !bDone)
            j_.add("read pending");
        return result;
    }
    // Unlike the system's read task, leaves EV_RXCHAR alone: what the base does shows.
    void HandleData() override
    {
        j_.add("data:" + std::string(m_pBuffer, m_pBuffer + m_dwBytesRead));
    }
    BOOL HandleError(BOOL& bDone) override
    {
        j_.add("read error:" + std::to_string(m_dwCompletionCode));
        return bDone = TRUE;
    }

private:
    Journal& j_;
};

// Switches EV_RXCHAR off and queues a read for every EV_RXCHAR, as the port does.
class TestPortEvent : public CPortEventOverlappedIO {
public:
    TestPortEvent(Journal& j, HANDLE h, CWorkerThreadContext& w)
        : CPortEventOverlappedIO(h, TRUE), j_(j), w_(w)
    {
    }
    ~TestPortEvent() override { j_.add("deleted:port event"); }
    void HandleEvents() override
    {
        j_.add("events:" + std::to_string(m_dwEventMask));
        if (m_dwEventMask & EV_RXCHAR) {
            DWORD mask = 0;
            GetEventMask(&mask);
            SetEventMask(mask & ~EV_RXCHAR);
            w_.Add(new TestRead(j_, this, 64));
        }
    }
    BOOL AlgorithmInterface(BOOL& bDone) override
    {
        BOOL result = CPortEventOverlappedIO::AlgorithmInterface(bDone);
        j_.add(m_bIOPending ? "wait pending" : "no wait");
        return result;
    }
    BOOL HandleError(BOOL&) override
    {
        j_.add("port event error");
        return FALSE;
    }

private:
    Journal& j_;
    CWorkerThreadContext& w_;
};

class TestWrite : public CWriteOverlappedIO {
public:
    TestWrite(Journal& j, HANDLE h) : CWriteOverlappedIO(h, FALSE), j_(j) {}
    BOOL AlgorithmInterface(BOOL& bDone) override
    {
        BOOL result = CWriteOverlappedIO::AlgorithmInterface(bDone);
        j_.add(m_bIOPending && !bDone ? "write pending" : "write ran");
        return result;
    }
    BOOL HandleError(BOOL& bDone) override
    {
        j_.add("write error:" + std::to_string(m_dwCompletionCode));
        return bDone = TRUE;
    }

private:
    Journal& j_;
};

// One end of the line for the driver, the other for the test.
class OverlappedTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        static int serial = 0;
        if (GetParam())
            uart_ = platform::sim_uart::create("overlapped-" + std::to_string(++serial));
        std::string path = uart_ ? uart_->path() : pty_.path();
        port_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << path;
        ASSERT_TRUE(worker_.Start());
    }
    void TearDown() override
    {
        worker_.Stop();
        CloseHandle(port_);
    }
    void send(const std::string& bytes)
    {
        if (uart_)
            uart_->send(bytes);
        else
            ASSERT_TRUE(pty_.send(bytes));
    }
    std::string written(size_t count)
    {
        if (!uart_) {
            auto bytes = pty_.receive(count, 10000);
            return std::string(bytes.begin(), bytes.end());
        }
        uart_->wait_written(count, 10000);
        auto bytes = uart_->take_written();
        return std::string(bytes.begin(), bytes.end());
    }
    void timeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD write_constant = 0)
    {
        COMMTIMEOUTS t{interval, multiplier, constant, 0, write_constant};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
    }
    DWORD mask()
    {
        DWORD m = 0;
        GetCommMask(port_, &m);
        return m;
    }
    int count_prefix(const std::string& prefix)
    {
        int n = 0;
        for (const auto& e : journal_.entries())
            n += e.rfind(prefix, 0) == 0;
        return n;
    }

    std::shared_ptr<platform::sim_uart> uart_;
    platform::testing::pty_peer pty_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    Journal journal_;
    CWorkerThreadContext worker_;
};

// Whether an entry containing `later` follows the first entry containing `earlier`.
bool after(const Journal::Entries& e, const std::string& later, const std::string& earlier)
{
    int first = Journal::find(e, earlier);
    for (size_t i = first + 1; first >= 0 && i < e.size(); ++i)
        if (e[i].find(later) != std::string::npos)
            return true;
    return false;
}

TEST_P(OverlappedTest, ReceiveHandshake)
{
    timeouts(MAXDWORD, 0, 0);  // a read returns at once with what is there
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS));
    auto* port_event = new TestPortEvent(journal_, port_, worker_);
    worker_.Add(port_event, TRUE);

    // Characters arrive: the read completes at once, HandleData runs once, and the base
    // leaves EV_RXCHAR to the handler (off, here).
    send("hello");
    ASSERT_TRUE(journal_.wait_for("deleted:read"));
    EXPECT_EQ(count_prefix("data:"), 1);
    std::string got = journal_.entries()[journal_.index("data:")].substr(5);
    EXPECT_EQ(mask(), EV_CTS);
    ASSERT_TRUE(journal_.wait([](const auto& e) { return after(e, "wait pending", "events:1"); }));

    // A read that goes pending: on completion HandleData runs once, and again the base
    // leaves EV_RXCHAR to the handler.
    timeouts(0, 0, 0);  // no time-outs: the read waits for all it asked for
    worker_.Add(new TestRead(journal_, port_event, static_cast<DWORD>(5 - got.size() + 3)));
    ASSERT_TRUE(journal_.wait_for("read pending"));
    send("xyz");
    ASSERT_TRUE(journal_.wait([](const auto& e) {
        return std::count(e.begin(), e.end(), "deleted:read") == 2;
    }));
    EXPECT_EQ(mask(), EV_CTS);
    std::string all;
    for (const auto& e : journal_.entries())
        if (e.rfind("data:", 0) == 0)
            all += e.substr(5);
    EXPECT_EQ(all, "helloxyz");
    EXPECT_EQ(count_prefix("data:"), 2);
    EXPECT_EQ(count_prefix("read error"), 0);
}

TEST_P(OverlappedTest, AnEmptyMaskPutsThePortEventTaskToSleepUntilSetEventMaskWakesIt)
{
    timeouts(MAXDWORD, 0, 0);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    auto* port_event = new TestPortEvent(journal_, port_, worker_);
    worker_.Add(port_event, TRUE);
    ASSERT_TRUE(journal_.wait_for("wait pending"));
    // Emptying the mask ends the outstanding wait; the task then starts no wait (the
    // driver would refuse one on an empty mask) and sleeps.
    run_on(worker_, [&] { port_event->SetEventMask(0); });
    ASSERT_TRUE(journal_.wait_for("no wait"));
    send("a");
    run_on(worker_, [&] { port_event->SetEventMask(EV_RXCHAR); });
    ASSERT_TRUE(journal_.wait_for("data:a"));
    EXPECT_EQ(count_prefix("port event error"), 0);
}

TEST_P(OverlappedTest, Writes)
{
    auto empty = std::make_unique<TestWrite>(journal_, port_);
    ASSERT_TRUE(empty->SetData(nullptr, 0));
    worker_.Add(empty.get());
    EXPECT_EQ(empty->GetCompletionCode(), 0u);
    EXPECT_EQ(journal_.entries(), Journal::Entries{"write ran"});  // at once

    auto data = std::make_unique<TestWrite>(journal_, port_);
    ASSERT_TRUE(data->SetData(reinterpret_cast<const BYTE*>("data"), 4));
    worker_.Add(data.get());
    EXPECT_EQ(data->GetCompletionCode(), 0u);
    EXPECT_EQ(written(4), "data");
    if (!uart_)
        return;  // the rest needs a line that can hold its output back

    // A pending write cut short by the total write time-out ends successfully: the
    // count is not compared.
    uart_->hold_output(true);
    timeouts(0, 0, 0, 50);
    auto cut = std::make_unique<TestWrite>(journal_, port_);
    ASSERT_TRUE(cut->SetData(reinterpret_cast<const BYTE*>("abc"), 3));
    worker_.Add(cut.get());
    EXPECT_EQ(cut->GetCompletionCode(), 0u);
    EXPECT_EQ(journal_.count("write pending"), 1);

    // A pending write refuses new data, and its failure reaches the waiter.
    timeouts(0, 0, 0, 0);
    auto held = std::make_unique<TestWrite>(journal_, port_);
    ASSERT_TRUE(held->SetData(reinterpret_cast<const BYTE*>("held"), 4));
    worker_.Add(held.get());
    ASSERT_TRUE(journal_.wait(
        [](const auto& e) { return std::count(e.begin(), e.end(), "write pending") == 2; }));
    EXPECT_FALSE(held->SetData(reinterpret_cast<const BYTE*>("x"), 1));
    uart_->unplug();
    EXPECT_EQ(held->GetCompletionCode(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(count_prefix("write error"), 0);  // a pending write's failure only sets the code
}

// A write taken back before the worker starts it never reaches the line and fails as a
// write the driver refused.
TEST_P(OverlappedTest, AWriteTakenBackBeforeItStartsNeverReachesTheLine)
{
    auto write = std::make_unique<TestWrite>(journal_, port_);
    ASSERT_TRUE(write->SetData(reinterpret_cast<const BYTE*>("not"), 3));
    write->OnCallCanceled();
    worker_.Add(write.get());
    EXPECT_EQ(write->GetCompletionCode(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(journal_.count("write error:995"), 1);
    EXPECT_TRUE(uart_ ? uart_->take_written().empty() : pty_.receive(1, 200).empty());
}

TEST_P(OverlappedTest, TerminateCancelsPendingOperations)
{
    timeouts(0, 0, 0);
    ASSERT_TRUE(SetCommMask(port_, EV_CTS));
    auto* port_event = new TestPortEvent(journal_, port_, worker_);
    worker_.Add(port_event, TRUE);
    worker_.Add(new TestRead(journal_, port_event, 16));
    ASSERT_TRUE(journal_.wait_for("read pending"));
    ASSERT_TRUE(journal_.wait_for("wait pending"));
    worker_.Stop();
    EXPECT_GE(journal_.index("deleted:read"), 0);
    EXPECT_GE(journal_.index("deleted:port event"), 0);
    EXPECT_EQ(count_prefix("data:") + count_prefix("read error") + count_prefix("events:"), 0);

    // The driver has let go of the deleted tasks' blocks and buffers (AddressSanitizer
    // watches): later bytes go to the next read.
    send("late bytes");
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BYTE buffer[10];
    DWORD count = 0;
    if (!ReadFile(port_, buffer, sizeof buffer, &count, &ov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_TRUE(GetOverlappedResult(port_, &ov, &count, TRUE));
    }
    CloseHandle(ov.hEvent);
    EXPECT_EQ(std::string(buffer, buffer + count), "late bytes");
}

INSTANTIATE_TEST_SUITE_P(Lines, OverlappedTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "SimUart" : "Pty"; });

}  // namespace
