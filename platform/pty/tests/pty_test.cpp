// The pty pair against a real pseudo-terminal, with the test as the program that opens
// the slave; and console control events from real signals.
#include "platform/pty/pty.h"

#include "platform/comm/comm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using platform::line_settings;
using platform::pty_pair;

class PtyPair : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(pty_pair::create(pair_), static_cast<DWORD>(ERROR_SUCCESS));
        program_ = OpenProgram();
        ASSERT_GE(program_, 0);
    }
    void TearDown() override
    {
        if (program_ >= 0)
            ::close(program_);
    }
    int OpenProgram() const { return ::open(pair_->slave_path().c_str(), O_RDWR | O_NOCTTY); }

    // What the master holds once it is readable (within a few seconds), and whether a
    // settings change came with it.
    std::string Take(BOOL* changed = nullptr, std::size_t at_least = 1, int within_ms = 5000)
    {
        std::string bytes;
        BOOL any_change = FALSE;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(within_ms);
        while (std::chrono::steady_clock::now() < end) {
            std::thread waker([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                pair_->wake();
            });
            const DWORD what = pair_->wait(true, false);
            waker.join();
            if (what & pty_pair::readable) {
                char buffer[4096];
                DWORD got = 0;
                BOOL change = FALSE;
                EXPECT_EQ(pair_->read(buffer, sizeof buffer, &got, &change),
                          static_cast<DWORD>(ERROR_SUCCESS));
                bytes.append(buffer, got);
                any_change |= change;
            }
            if (bytes.size() >= at_least || (changed && any_change && at_least == 0))
                break;
        }
        if (changed)
            *changed = any_change;
        return bytes;
    }
    std::string ReadProgram(std::size_t count)
    {
        std::string bytes;
        while (bytes.size() < count) {
            pollfd p{program_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                break;
            char buffer[4096];
            const ssize_t n = ::read(program_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return bytes;
    }
    // The program changes its termios; whether the master was told.
    bool ProgramSets(const std::function<void(termios&)>& change)
    {
        termios t{};
        EXPECT_EQ(::tcgetattr(program_, &t), 0);
        change(t);
        EXPECT_EQ(::tcsetattr(program_, TCSANOW, &t), 0);
        BOOL changed = FALSE;
        Take(&changed, 0);
        return changed;
    }
    line_settings Settings()
    {
        line_settings s;
        EXPECT_EQ(pair_->get_settings(s), static_cast<DWORD>(ERROR_SUCCESS));
        return s;
    }
    void Write(const std::string& bytes)
    {
        DWORD written = 0;
        ASSERT_EQ(pair_->write(bytes.data(), static_cast<DWORD>(bytes.size()), &written),
                  static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(written, bytes.size());
    }

    std::unique_ptr<pty_pair> pair_;
    int program_ = -1;
};

const std::string kAwkward("a\r\nb\x03\x04\x11\x13\x7f\xff\0z", 11);

TEST_F(PtyPair, BytesPassBothWaysUntranslatedWhateverModesTheProgramSets)
{
    // A program in canonical mode with echo and CR/NL translation still gets the bytes
    // raw, and nothing is echoed back to the line.
    EXPECT_TRUE(ProgramSets([](termios& t) {
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_iflag |= ICRNL;
    }));

    Write(kAwkward);
    EXPECT_EQ(ReadProgram(kAwkward.size()), kAwkward);
    ASSERT_EQ(::write(program_, kAwkward.data(), kAwkward.size()),
              static_cast<ssize_t>(kAwkward.size()));
    // Output processing is the program's own (off from the start): no NL to CR NL.
    EXPECT_EQ(Take(nullptr, kAwkward.size()), kAwkward);
}

TEST_F(PtyPair, AProgramsSettingChangesAreReportedAndRead)
{
    ASSERT_TRUE(ProgramSets([](termios& t) {
        ::cfsetspeed(&t, B57600);
        t.c_cflag |= CSTOPB | CRTSCTS;
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = 'q';
        t.c_cc[VSTOP] = 's';
    }));
    line_settings s = Settings();
    EXPECT_EQ(s.baud, 57600U);
    EXPECT_EQ(s.stop_bits, TWOSTOPBITS);
    EXPECT_TRUE(s.rts_cts);
    EXPECT_TRUE(s.xon_out);
    EXPECT_TRUE(s.xon_in);
    EXPECT_EQ(s.xon_char, 'q');
    EXPECT_EQ(s.xoff_char, 's');

    // Data bits and parity do not survive the pty driver (asked for alone, they are even
    // refused with EINVAL).
    ProgramSets([](termios& t) {
        ::cfsetspeed(&t, B19200);
        t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
    });
    s = Settings();
    EXPECT_EQ(s.baud, 19200U);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_EQ(s.parity, NOPARITY);
}

TEST_F(PtyPair, AProgramThatClearsExtprocIsStillHeardNextTime)
{
    ASSERT_TRUE(ProgramSets([](termios& t) { t.c_lflag &= ~EXTPROC; }));
    Settings();
    Take(nullptr, 0);  // the restoring write announces itself

    EXPECT_TRUE(ProgramSets([](termios& t) {
        ::cfsetspeed(&t, B4800);
        t.c_lflag &= ~EXTPROC;
    }));
    EXPECT_EQ(Settings().baud, 4800U);
}

TEST_F(PtyPair, SettingsWrittenOnTheSlaveReachTheProgramAndKeepItsOtherModes)
{
    termios t{};
    ASSERT_EQ(::tcgetattr(program_, &t), 0);
    t.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(::tcsetattr(program_, TCSANOW, &t), 0);
    line_settings s;
    s.baud = 230400;
    s.stop_bits = TWOSTOPBITS;
    s.xon_out = s.xon_in = true;
    ASSERT_EQ(pair_->set_settings(s), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(::tcgetattr(program_, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B230400));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF));
    EXPECT_TRUE(t.c_oflag & ONLCR);
    EXPECT_TRUE(t.c_lflag & EXTPROC);
}

TEST_F(PtyPair, TheProgramMayCloseAndReopenAndBytesWaitForIt)
{
    for (int round = 0; round < 3; ++round) {
        ::close(program_);
        program_ = -1;
        // No hang-up for the master: it has nothing to read while nobody holds the slave.
        BOOL changed = FALSE;
        EXPECT_EQ(Take(&changed, 1, 600), "");
        Write("while closed " + std::to_string(round));
        program_ = OpenProgram();
        ASSERT_GE(program_, 0);
        const std::string expected = "while closed " + std::to_string(round);
        EXPECT_EQ(ReadProgram(expected.size()), expected);
        ASSERT_EQ(::write(program_, "back", 4), 4);
        EXPECT_EQ(Take(nullptr, 4), "back");
    }
}

TEST_F(PtyPair, AFullInputQueueTakesNoMoreAndWaitsForWritable)
{
    const std::string block(4096, 'x');
    std::size_t total = 0;
    for (;;) {
        DWORD written = 0;
        ASSERT_EQ(pair_->write(block.data(), static_cast<DWORD>(block.size()), &written),
                  static_cast<DWORD>(ERROR_SUCCESS));
        total += written;
        if (written == 0)
            break;
        ASSERT_LT(total, 64U * 1024 * 1024) << "the pty never filled";
    }
    std::thread reader([&] { ReadProgram(total); });
    EXPECT_TRUE(pair_->wait(false, true) & pty_pair::writable);
    reader.join();
}

}  // namespace
