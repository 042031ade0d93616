// The bound on what waits for one client: a client that stops taking its notifications
// is held to its limit, told spoMemoryError once per overflow episode, and served again
// once it has caught up, while every other client gets everything. First on the
// connection point alone, with notifications fired by hand; then end to end on a real
// pseudo-terminal streaming into a port with a fast and a blocked client.
#include "platform/registry/registry.h"
#include "port/SerialPortManager.h"
#include "port/tests/port_test_support.h"
#include "traffic/PortEventsConnectionPoint.h"
#include "traffic/tests/test_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Writes "MaxClientQueue" (REG_DWORD) into the current registry store.
void SetMaxClientQueue(DWORD dwType, const void* pData, DWORD cbData)
{
    EXPECT_EQ(platform::testing::set_machine_value("SOFTWARE\\Ostra\\Tethra", "MaxClientQueue",
                                                   dwType, pData, cbData),
              ERROR_SUCCESS);
}

void SetMaxClientQueueKB(DWORD dwKB)
{
    SetMaxClientQueue(REG_DWORD, &dwKB, sizeof dwKB);
}

// Waits, with a bound generous enough for any machine, until pred holds. The queue
// account has no event of its own to wait on, so this looks every millisecond.
template <class Pred>
bool WaitUntil(Pred pred)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The queue account of sink's connection on cp.
CClientQueueState StateOf(CPortEventsConnectionPoint& cp, IUnknown* pSink)
{
    CClientQueueState st{};
    IEnumConnections* pEnum = nullptr;
    EXPECT_EQ(cp.EnumConnections(&pEnum), S_OK);
    CONNECTDATA cd{};
    ULONG fetched = 0;
    bool found = false;
    while (pEnum && pEnum->Next(1, &cd, &fetched) == S_OK && fetched == 1) {
        if (cd.pUnk == pSink)
            found = cp.GetQueueState(cd.dwCookie, &st) != FALSE;
        cd.pUnk->Release();
    }
    if (pEnum)
        pEnum->Release();
    EXPECT_TRUE(found);
    return st;
}

// A data notification's charge.
ULONGLONG Charge(std::size_t bytes)
{
    return bytes + NOTIFICATION_TASK_CHARGE;
}

// A sink whose OnData takes one permit each (and waits for it), so a test lets it take
// its notifications one at a time.
class PermitSink : public TestSink {
public:
    PermitSink()
    {
        on_data = [this] {
            std::unique_lock lock(mutex_);
            permit_.wait(lock, [this] { return permits_ > 0; });
            --permits_;
        };
    }
    void allow(int n)
    {
        {
            std::lock_guard lock(mutex_);
            permits_ += n;
        }
        permit_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable permit_;
    long permits_ = 0;
};

std::string Chunk(int i, std::size_t size)
{
    std::string bytes = "c" + std::to_string(i) + ":";
    bytes.resize(size, static_cast<char>('a' + i % 26));
    return bytes;
}

// ---- the connection point alone ---------------------------------------------------------

class ClientQueueTest : public ::testing::Test {
protected:
    static constexpr DWORD kLimitKB = 64;
    static constexpr ULONGLONG kLimit = kLimitKB * 1024;
    static constexpr std::size_t kChunk = 1000;

    void SetUp() override
    {
        ASSERT_TRUE(registry.ready());
        SetMaxClientQueueKB(kLimitKB);
        host = new CSerialPortManager;  // reads the limit; no device needed
        host->AddRef();
        ASSERT_EQ(cp().GetQueueLimit(), kLimit);
    }
    void TearDown() override
    {
        slow.allow(1 << 20);
        if (host)
            host->Release();
        EXPECT_TRUE(CPortEventsConnectionPoint::WaitForReapers(60000));
    }
    void advise(TestSink& sink)
    {
        DWORD cookie = 0;
        ASSERT_EQ(cp().Advise(&sink, &cookie), S_OK);
    }
    void fire(const std::string& bytes)
    {
        cp().FireDataNotification(static_cast<DWORD>(bytes.size()),
                                  reinterpret_cast<const BYTE*>(bytes.data()));
    }
    CClientQueueState slowState() { return StateOf(cp(), static_cast<_ISerialPortEvents*>(&slow)); }
    CPortEventsConnectionPoint& cp() { return host->m_cpPortEvents; }

    platform::testing::temp_registry registry;
    PermitSink slow;
    TestSink fast;
    CSerialPortManager* host = nullptr;
};

// A client that takes nothing fills up to its limit and no further; what comes after is
// dropped for it alone (events included), and it learns of the gap once, right after
// the last notification it had waiting. The fast client gets everything in order.
TEST_F(ClientQueueTest, AStuckClientStopsAtItsLimitAndHearsOfTheGapOnce)
{
    advise(fast);
    advise(slow);
    fire(Chunk(0, kChunk));  // the slow client's thread takes it and waits in OnData
    ASSERT_TRUE(slow.wait_calls(1));

    // The fast client has the same limit: each notification waits until it has it.
    std::size_t fastCalls = 1;
    ASSERT_TRUE(fast.wait_calls(fastCalls));
    std::vector<std::string> sent{"D:" + Chunk(0, kChunk)};
    // Counting the one in the call, and leaving room for the report.
    const int kFits = static_cast<int>((kLimit - NOTIFICATION_TASK_CHARGE) / Charge(kChunk));
    int i = 1;
    for (; i < kFits; ++i) {
        fire(Chunk(i, kChunk));
        ASSERT_TRUE(fast.wait_calls(++fastCalls));
        sent.push_back("D:" + Chunk(i, kChunk));
    }
    CClientQueueState st = slowState();
    EXPECT_FALSE(st.bOverflow);
    EXPECT_EQ(st.qwQueued, kFits * Charge(kChunk));

    // Past the limit: dropped, with one spoMemoryError behind what waits.
    for (int j = 0; j < 20; ++j, ++i) {
        fire(Chunk(i, kChunk));
        cp().FireEventNotification(spoCTSEvent);
        fastCalls += 2;
        ASSERT_TRUE(fast.wait_calls(fastCalls));
    }
    st = slowState();
    EXPECT_TRUE(st.bOverflow);
    EXPECT_EQ(st.dwEpisodes, 1u);
    EXPECT_EQ(st.qwDropped, 20 * kChunk);
    EXPECT_LE(st.qwPeak, kLimit);
    EXPECT_EQ(st.qwQueued, kFits * Charge(kChunk) + NOTIFICATION_TASK_CHARGE);

    // The fast client got all of it, events in their places.
    const auto got = summary(fast.calls());
    EXPECT_EQ(got.back(), "E:0");
    EXPECT_EQ(got[static_cast<std::size_t>(kFits)], "D:" + Chunk(kFits, kChunk));

    slow.allow(1 << 20);
    ASSERT_TRUE(slow.wait_calls(sent.size() + 1));
    sent.push_back("X:" + std::to_string(spoMemoryError));
    EXPECT_EQ(summary(slow.calls()), sent);
    ASSERT_TRUE(WaitUntil([&] { return slowState().qwQueued == 0; }));

    // Caught up: the next notification is queued again and no second report follows.
    fire("after");
    ASSERT_TRUE(slow.wait_calls(sent.size() + 1));
    EXPECT_EQ(summary(slow.calls()).back(), "D:after");
    st = slowState();
    EXPECT_FALSE(st.bOverflow);
    EXPECT_EQ(st.dwEpisodes, 1u);
}

// The episode ends at the low-water mark, half the limit, not as soon as one more
// notification would fit; the next episode has a report of its own.
TEST_F(ClientQueueTest, AClientResumesAtHalfItsLimitAndEachEpisodeIsReported)
{
    advise(slow);
    int i = 0;
    std::vector<std::string> expected;
    for (int episode = 1; episode <= 2; ++episode) {
        // Fill past the limit.
        for (int n = 0; !slowState().bOverflow; ++n) {
            ASSERT_LT(n, 1000) << "no overflow";
            fire(Chunk(i, kChunk));
            if (!slowState().bOverflow)
                expected.push_back("D:" + Chunk(i, kChunk));
            ++i;
        }
        expected.push_back("X:" + std::to_string(spoMemoryError));
        // Let the client take one notification at a time; a probe after each is dropped
        // until no more than half the limit waits.
        for (;;) {
            const std::size_t before = slow.count();
            slow.allow(1);
            ASSERT_TRUE(slow.wait_calls(before + 1));
            const ULONGLONG queued = slowState().qwQueued;  // steady: the next call waits
            fire(Chunk(i, kChunk));
            const CClientQueueState st = slowState();
            if (!st.bOverflow) {
                EXPECT_LE(st.qwQueued - Charge(kChunk), kLimit / 2);
                expected.push_back("D:" + Chunk(i, kChunk));
                ++i;
                break;
            }
            EXPECT_GT(queued, kLimit / 2);
            ++i;
        }
        EXPECT_EQ(slowState().dwEpisodes, static_cast<DWORD>(episode));
    }
    slow.allow(1 << 20);
    ASSERT_TRUE(slow.wait_calls(expected.size()));
    EXPECT_EQ(summary(slow.calls()), expected);
}

// One notification bigger than the whole limit still reaches a client with nothing
// waiting; only a second one while the first waits is dropped.
TEST_F(ClientQueueTest, ANotificationBiggerThanTheLimitReachesAnIdleClient)
{
    advise(slow);
    const std::string big(kLimit + 1, 'b');
    fire(big);
    fire(big);
    CClientQueueState st = slowState();
    EXPECT_EQ(st.dwEpisodes, 1u);
    EXPECT_EQ(st.qwDropped, big.size());
    slow.allow(1 << 20);
    ASSERT_TRUE(slow.wait_calls(2));
    EXPECT_EQ(summary(slow.calls()),
              (std::vector<std::string>{"D:" + big, "X:" + std::to_string(spoMemoryError)}));
}

// "MaxClientQueue": KB, with a default for a missing, empty or mistyped value, and bounds.
TEST(ClientQueueLimit, TheRegistryValueIsReadInKilobytesWithinItsBounds)
{
    platform::testing::temp_registry registry;
    ASSERT_TRUE(registry.ready());
    EXPECT_EQ(CPortEventsConnectionPoint::ReadQueueLimit(), 4096u * 1024);
    const struct {
        DWORD dwKB;
        ULONGLONG qwBytes;
    } cases[] = {{512, 512u * 1024}, {0, 4096u * 1024}, {1, 64u * 1024}, {64, 64u * 1024},
                 {1048576, 1ULL << 30}, {0xFFFFFFFF, 1ULL << 30}};
    for (const auto& c : cases) {
        SetMaxClientQueueKB(c.dwKB);
        EXPECT_EQ(CPortEventsConnectionPoint::ReadQueueLimit(), c.qwBytes) << c.dwKB;
    }
    SetMaxClientQueue(REG_SZ, "512", 4);
    EXPECT_EQ(CPortEventsConnectionPoint::ReadQueueLimit(), 4096u * 1024);
}

// ---- end to end on a pseudo-terminal ----------------------------------------------------

class PtyClientQueueTest : public PtyPortTest {
protected:
    static constexpr DWORD kLimitKB = 2048;

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(PtyPortTest::SetUp());
        SetMaxClientQueueKB(kLimitKB);
    }
    CPortEventsConnectionPoint& cp() { return tethra_.m_mapPorts.at(kPort)->m_cpPortEvents; }
};

// The peer writes 8 KiB pieces, one every 8 ms (about 1 MB/s): a rate a client that takes
// its notifications keeps up with on a heavily loaded machine, under the sanitizers too,
// with a limit that holds a second of it, so that only the blocked one loses anything.
constexpr std::size_t kPiece = 8u << 10;
constexpr DWORD kPauseMs = 8;

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Two episodes of a client blocked in OnData while the device streams 3 MiB each time:
// the blocked client's queue stays within its limit, it gets what it had waiting, one
// spoMemoryError, and then everything sent after it caught up; the other client gets
// every byte in order throughout.
TEST_F(PtyClientQueueTest, ABlockedClientLosesOnlyItsOwnGapAndResumesInOrder)
{
    StreamSink fast;
    StreamSink slow;
    Ptr<ISerialPort> a(Open(&fast));
    Ptr<ISerialPort> b(Open(&slow));
    ASSERT_TRUE(a && b);
    IUnknown* pSlow = static_cast<_ISerialPortEvents*>(&slow);

    std::string all;
    std::vector<std::string> bursts, rests;
    for (unsigned episode = 0; episode < 2; ++episode) {
        slow.block();
        bursts.push_back(platform::testing::pattern_bytes(3u << 20, 2 * episode + 1));
        ASSERT_TRUE(peer_.send_paced(bursts.back(), kPiece, kPauseMs));
        all += bursts.back();
        fast.wait_until([&](const std::string& got) { return got.size() >= all.size(); });
        const CClientQueueState st = StateOf(cp(), pSlow);
        EXPECT_TRUE(st.bOverflow);
        EXPECT_EQ(st.dwEpisodes, episode + 1);
        EXPECT_LE(st.qwPeak, st.qwLimit);
        EXPECT_GT(st.qwDropped, 0u);

        slow.unblock();
        ASSERT_TRUE(WaitUntil([&] { return StateOf(cp(), pSlow).qwQueued == 0; }));
        rests.push_back(platform::testing::pattern_bytes(512u << 10, 2 * episode + 2));
        ASSERT_TRUE(peer_.send_paced(rests.back(), kPiece, kPauseMs));
        all += rests.back();
        slow.wait_until([&](const std::string& got) { return EndsWith(got, rests.back()); });
    }
    const std::string fastGot =
        fast.wait_until([&](const std::string& got) { return got.size() >= all.size(); });
    EXPECT_TRUE(fastGot == all) << fastGot.size() << " of " << all.size() << " bytes";
    EXPECT_TRUE(fast.codes().empty());

    // The slow client: per episode a piece from the start of the burst, the report, then
    // the whole of what followed.
    const std::string got = slow.wait_until([](const std::string&) { return true; });
    const auto codes = slow.codes();
    ASSERT_EQ(codes.size(), 2u);
    std::size_t from = 0;
    for (std::size_t e = 0; e < 2; ++e) {
        EXPECT_EQ(codes[e].second, spoMemoryError);
        const std::size_t gap = codes[e].first;
        ASSERT_GT(gap, from);
        ASSERT_LT(gap - from, bursts[e].size());
        EXPECT_TRUE(bursts[e].compare(0, gap - from, got, from, gap - from) == 0) << e;
        ASSERT_GE(got.size(), gap + rests[e].size());
        EXPECT_TRUE(got.compare(gap, rests[e].size(), rests[e]) == 0) << e;
        from = gap + rests[e].size();
    }
    EXPECT_EQ(got.size(), from);

    a.reset();
    b.reset();
}

}  // namespace
