// Two driver handles on a socat pseudo-terminal pair: the driver on both ends.
#include "comm_test_support.h"
#include "platform/testing/testing.h"

#include <thread>
#include <unistd.h>

using namespace comm_test;

namespace {

using platform::testing::socat_pair;

void send_all(HANDLE port, const std::vector<BYTE>& bytes)
{
    overlapped o;
    for (std::size_t done = 0; done < bytes.size();) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(65536, bytes.size() - done));
        DWORD n = 0;
        if (!WriteFile(port, bytes.data() + done, chunk, &n, &o.ov)) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, TRUE));
        }
        ASSERT_EQ(n, chunk);
        done += n;
    }
}

void receive_all(HANDLE port, std::vector<BYTE>& bytes)
{
    overlapped o;
    for (std::size_t done = 0; done < bytes.size();) {
        DWORD n = 0;
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(32768, bytes.size() - done));
        if (!ReadFile(port, bytes.data() + done, chunk, &n, &o.ov)) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, TRUE));
        }
        ASSERT_GT(n, 0U) << "read timed out at " << done;
        done += n;
    }
}

TEST(SocatTest, SixteenMebibytesBothWaysBetweenTwoPorts)
{
    socat_pair pair;
    if (!pair.ready())
        GTEST_SKIP() << "socat is not available";
    HANDLE a = open_port(pair.device());
    HANDLE b = open_port(pair.far_end());
    ASSERT_NE(a, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_NE(b, INVALID_HANDLE_VALUE) << GetLastError();
    // Reads return what has come within 10 s; none of them should need that long.
    for (HANDLE port : {a, b})
        set_timeouts(port, MAXDWORD, MAXDWORD, 10000);

    constexpr std::size_t total = 16 << 20;
    const auto a_to_b = pattern(total, 3);
    const auto b_to_a = pattern(total, 4);
    std::vector<BYTE> at_a(total), at_b(total);
    std::thread t1([&] { send_all(a, a_to_b); });
    std::thread t2([&] { send_all(b, b_to_a); });
    std::thread t3([&] { receive_all(a, at_a); });
    receive_all(b, at_b);
    t1.join();
    t2.join();
    t3.join();
    EXPECT_TRUE(at_b == a_to_b);
    EXPECT_TRUE(at_a == b_to_a);
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));
}

}  // namespace
