// The formatter on its own, then delivery through a real message-only window.
#include "trace/trace.h"

#include "platform/sync/sync.h"
#include "platform/ui/message.h"

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
    EXPECT_EQ(format("%#x", 0), "0");
    EXPECT_EQ(format("%#x %X", reinterpret_cast<void*>(0x7f12345678ab), 0xbeefu),
              "0x7f12345678ab BEEF");
    // A 32-bit value prints as 32 bits whatever its sign.
    EXPECT_EQ(format("%x %u %#x", -1, -1, static_cast<HRESULT>(0x80004005)),
              "ffffffff 4294967295 0x80004005");
    EXPECT_EQ(format("%i %d %i", -5, 17, static_cast<LONGLONG>(-9000000000)), "-5 17 -9000000000");
    EXPECT_EQ(format("%c%c %s %.3s|", 'o', 'k', "text", "abcdef"), "ok text abc|");
    EXPECT_EQ(format("[%5i][%-5i][%05i][%05i][%.3u]", 42, 42, 42, -42, 7u),
              "[   42][42   ][00042][-0042][007]");
    EXPECT_EQ(format("%8.8lu", 42u), "00000042");
    EXPECT_EQ(format("%8.8lu", 123456789u), "123456789");
    EXPECT_EQ(format("100%% %#010x", 0x1fu), "100% 0x0000001f");
}

TEST(TraceFormat, MissingArgumentsAndSmallBuffers)
{
    // A conversion without an argument prints nothing and reads nothing past the list.
    EXPECT_EQ(format("a%ib%#xc%sd"), "abcd");
    EXPECT_EQ(format("%i and %i", 1), "1 and ");
    EXPECT_EQ(format("%q %", 1), "%q %");

    const trace_detail::Arg arg = trace_detail::make_arg(123456);
    char small[5] = {'x', 'x', 'x', 'x', 'x'};
    trace_detail::format_message(small, 4, "%i%99i", &arg, 1);
    EXPECT_EQ(std::string(small), "123");
    EXPECT_EQ(small[4], 'x');
}

// Records arrive on the test thread's own queue; a sentinel message ends each batch.
constexpr UINT kSentinel = WM_APP + 7;
std::vector<CTraceMessage*>* g_received = nullptr;

LRESULT Receive(HWND, UINT uMsg, WPARAM, LPARAM lParam)
{
    if (uMsg == WM_DEBUG_MESSAGE)
        g_received->push_back(reinterpret_cast<CTraceMessage*>(lParam));
    return 0;
}

class TraceDelivery : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_received = &records_;
        window_ = CreateMessageWindow(&Receive);
        ASSERT_NE(window_, nullptr);
        g_hDebugWnd = window_;
    }
    void TearDown() override
    {
        collect();
        g_hDebugWnd = nullptr;
        atlTraceLevel = 0;
        atlTraceCat = 0;
        DestroyWindow(window_);
    }
    // Takes everything posted so far; returns the texts and frees the records.
    std::vector<std::string> collect()
    {
        PostMessageA(window_, kSentinel, 0, 0);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0 && msg.message != kSentinel)
            DispatchMessageA(&msg);
        std::vector<std::string> texts;
        for (CTraceMessage* record : records_) {
            texts.emplace_back(record->m_pszText);
            times_.emplace_back(record->m_pszTime);
            delete record;
        }
        records_.clear();
        return texts;
    }

    HWND window_ = nullptr;
    std::vector<CTraceMessage*> records_;
    std::vector<std::string> times_;
};

using Texts = std::vector<std::string>;

TEST_F(TraceDelivery, FilterByCategoryAndLevel)
{
    Trace(0x08, 0, "cat0 %i\n", 1);  // both filters start at zero: nothing passes
    EXPECT_EQ(collect(), Texts{});

    atlTraceCat = 0x08 | 0x02;
    Trace(0x08, 0, "error\n");
    Trace(0x08, 1, "entry\n");
    Trace(0x04, 0, "other category\n");
    EXPECT_EQ(collect(), Texts{"error"});

    atlTraceLevel = 4;
    Trace(0x02, 4, "detail\n");
    Trace(0x08, 5, "locks\n");
    Trace(0x0C, 3, "one of two bits\n");
    EXPECT_EQ(collect(), (Texts{"detail", "one of two bits"}));

    atlTraceCat = 0;
    TraceAlways("atlTraceCat = %#x\n", 0);
    EXPECT_EQ(collect(), Texts{"atlTraceCat = 0"});
}

TEST_F(TraceDelivery, NoWindowNoDelivery)
{
    atlTraceCat = 0xffffffff;
    atlTraceLevel = 5;
    g_hDebugWnd = nullptr;
    Trace(0x08, 0, "dropped\n");
    TraceAlways("dropped too\n");
    g_hDebugWnd = window_;
    Trace(0x08, 0, "kept\n");
    EXPECT_EQ(collect(), Texts{"kept"});
}

TEST_F(TraceDelivery, RecordContents)
{
    atlTraceCat = 0x01;
    DWORD before = GetTickCount();
    Trace(0x01, 0, "CTethra(%#x)::PortClosed(%#x)\n", reinterpret_cast<void*>(0x12f0),
          reinterpret_cast<void*>(0x4a0));
    Trace(0x01, 0, "no newline");
    Trace(0x01, 0, "two\n\n");
    Trace(0x01, 0, "%s", std::string(600, 'y').c_str());
    DWORD after = GetTickCount();
    Texts texts = collect();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "CTethra(0x12f0)::PortClosed(0x4a0)");
    EXPECT_EQ(texts[1], "no newline");
    EXPECT_EQ(texts[2], "two\n");
    EXPECT_EQ(texts[3], std::string(511, 'y'));
    for (const std::string& time : times_) {
        ASSERT_GE(time.size(), 8u);
        EXPECT_EQ(time.find_first_not_of("0123456789"), std::string::npos) << time;
        DWORD tick = static_cast<DWORD>(std::stoul(time));
        EXPECT_LE(before, tick);
        EXPECT_LE(tick, after);
    }
}

TEST_F(TraceDelivery, FailedPostFreesTheRecord)
{
    // The sender keeps, and frees, what it could not hand over; AddressSanitizer's leak
    // check fails this test otherwise.
    HWND gone = CreateMessageWindow(&Receive);
    ASSERT_TRUE(DestroyWindow(gone));
    g_hDebugWnd = gone;
    TraceAlways("CTethra(%#x)::PortClosed(%#x)\n", gone, gone);
    g_hDebugWnd = window_;
    EXPECT_EQ(collect(), Texts{});
}

}  // namespace
