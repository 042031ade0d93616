// The formatter on its own, then delivery through a real message-only window.
#include "trace/trace.h"

#include "platform/sync/sync.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

template <class... Args>
std::string format(const char* text, Args... args)
{
    const trace_detail::Arg list[] = {trace_detail::make_arg(args)..., trace_detail::Arg{}};
    char out[512];
    trace_detail::format_message(out, sizeof out, text, list, sizeof...(Args));
    return out;
}

TEST(TraceFormat, Conversions)
{
    EXPECT_EQ(format("CTethra(%#x)::PortClosed(%#x)\n", 0x12f0u, 0x4a0u),
              "CTethra(0x12f0)::PortClosed(0x4a0)\n");
    EXPECT_EQ(format("%#x|%#x %X", 0, reinterpret_cast<void*>(0x7f12345678ab), 0xbeefu),
              "0|0x7f12345678ab BEEF");
    // A 32-bit value prints as 32 bits whatever its sign; a 64-bit one whole.
    EXPECT_EQ(format("%x %u %#x %i", -1, -1, static_cast<HRESULT>(0x80004005), -9000000000LL),
              "ffffffff 4294967295 0x80004005 -9000000000");
    EXPECT_EQ(format("%c%c %s %.3s|", 'o', 'k', "text", "abcdef"), "ok text abc|");
    EXPECT_EQ(format("[%5i][%-5d][%05i][%.3u][%#010x]", 42, 42, -42, 7u, 0x1fu),
              "[   42][42   ][-0042][007][0x0000001f]");
    EXPECT_EQ(format("%8.8lu %8.8lu 100%%", 42u, 123456789u), "00000042 123456789 100%");
    // A conversion without an argument prints nothing and reads nothing past the list.
    EXPECT_EQ(format("a%ib%#xc%sd"), "abcd");
    EXPECT_EQ(format("%i and %i", 1), "1 and ");

    const trace_detail::Arg arg = trace_detail::make_arg(123456);
    char small[5] = {'x', 'x', 'x', 'x', 'x'};
    trace_detail::format_message(small, 4, "%i%99i", &arg, 1);
    EXPECT_EQ(std::string(small), "123");
    EXPECT_EQ(small[4], 'x');
}

// Records arrive on the test thread's own queue; a sentinel message ends each batch.
constexpr UINT kSentinel = WM_APP + 7;
std::vector<CTraceMessage*> g_records;

LRESULT Receive(HWND, UINT uMsg, WPARAM, LPARAM lParam)
{
    if (uMsg == WM_DEBUG_MESSAGE)
        g_records.push_back(reinterpret_cast<CTraceMessage*>(lParam));
    return 0;
}

class TraceDelivery : public ::testing::Test {
protected:
    void SetUp() override { g_hDebugWnd = window_ = CreateMessageWindow(&Receive); }
    void TearDown() override
    {
        collect();
        g_hDebugWnd = nullptr;
        atlTraceLevel = atlTraceCat = 0;
        DestroyWindow(window_);
    }
    // The texts posted so far; keeps their times and frees the records.
    std::vector<std::string> collect()
    {
        PostMessageA(window_, kSentinel, 0, 0);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0 && msg.message != kSentinel)
            DispatchMessageA(&msg);
        std::vector<std::string> texts;
        for (CTraceMessage* record : g_records) {
            texts.emplace_back(record->m_pszText);
            times_.emplace_back(record->m_pszTime);
            delete record;
        }
        g_records.clear();
        return texts;
    }
    HWND window_ = nullptr;
    std::vector<std::string> times_;
};

using Texts = std::vector<std::string>;

TEST_F(TraceDelivery, Filter)
{
    Trace(0x08, 0, "start\n");  // both filters start at zero: nothing passes
    atlTraceCat = 0x08 | 0x02;
    Trace(0x08, 0, "error\n");
    Trace(0x08, 1, "entry\n");
    Trace(0x04, 0, "other category\n");
    atlTraceLevel = 4;
    Trace(0x02, 4, "detail\n");
    Trace(0x08, 5, "locks\n");
    Trace(0x0C, 3, "one of two bits\n");
    atlTraceCat = 0;
    TraceAlways("atlTraceCat = %#x\n", 0);
    g_hDebugWnd = nullptr;  // no window: dropped, filter or not
    Trace(0x08, 0, "dropped\n");
    TraceAlways("dropped too\n");
    EXPECT_EQ(collect(), (Texts{"error", "detail", "one of two bits", "atlTraceCat = 0"}));
}

TEST_F(TraceDelivery, RecordContents)
{
    DWORD before = GetTickCount();
    TraceAlways("CTethra(%#x)::PortClosed(%#x)\n", reinterpret_cast<void*>(0x12f0),
                reinterpret_cast<void*>(0x4a0));
    TraceAlways("no newline");
    TraceAlways("two\n\n");
    TraceAlways("%s", std::string(600, 'y').c_str());
    DWORD after = GetTickCount();
    EXPECT_EQ(collect(), (Texts{"CTethra(0x12f0)::PortClosed(0x4a0)", "no newline", "two\n",
                                std::string(511, 'y')}));
    for (const std::string& time : times_) {
        ASSERT_GE(time.size(), 8u);
        EXPECT_EQ(time.find_first_not_of("0123456789"), std::string::npos) << time;
        EXPECT_LE(before, std::stoul(time));
        EXPECT_LE(std::stoul(time), after);
    }
}

TEST_F(TraceDelivery, FailedPostFreesTheRecord)
{
    // The sender frees what it could not hand over; the leak check fails this otherwise.
    HWND gone = CreateMessageWindow(&Receive);
    ASSERT_TRUE(DestroyWindow(gone));
    g_hDebugWnd = gone;
    TraceAlways("CTethra(%#x)::PortClosed(%#x)\n", gone, gone);
    g_hDebugWnd = window_;
    EXPECT_EQ(collect(), Texts{});
}

}  // namespace
