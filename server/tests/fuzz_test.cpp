// Hostile calls on the bus (bus_fuzz.py) against the tethra-server executable: every call
// is answered, a normal client is served correctly afterwards, the server has not grown
// past its warmed-up figures, and it ends cleanly with no sanitizer report (leaks
// included, under ASan). TETHRA_FUZZ_SEED repeats or varies the run; bench/reliability
// runs it at full size.
#include "platform/rpc/call_pool.h"
#include "server/tests/reliability_runs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

unsigned seed_from_environment(unsigned fallback)
{
    const char* text = std::getenv("TETHRA_FUZZ_SEED");
    return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

TEST(Fuzz, TwoThousandHostileCallsAfterAsManyLeaveTheServerServingAndNoLarger)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the bus processes run on Qt, which ThreadSanitizer cannot see into";
#endif
    const reliability::fuzz_result r =
        reliability::run_fuzz(TETHRA_SERVER, BUS_FUZZ, 2000, seed_from_environment(20261206), 50);
    ASSERT_EQ(r.error, "");
    std::printf("%s", reliability::describe(r).c_str());
    EXPECT_EQ(r.exit_code, 0) << "calls went unanswered";
    EXPECT_EQ(r.normal_before, "");
    EXPECT_EQ(r.normal_after, "");
    // The call pool keeps the threads its busiest moment needed, up to kMaxThreads, and
    // a run on a loaded machine may meet a busier moment than its warm-up did: beyond
    // the pool's bound, a thread is one per call or per connection, a leak.
    EXPECT_LE(r.after.threads, r.idle.threads + platform::rpc::call_pool::kMaxThreads -
                                   platform::rpc::call_pool::kMinThreads);
    // Every port is closed again, so the descriptors are those of the idle server.
    EXPECT_LE(r.after.fds, r.idle.fds);
#if !defined(__SANITIZE_ADDRESS__)
    // The server's allocator gives big blocks back at once (served_server), so what it
    // kept from 2000 calls of up to 4 MiB each shows here. (ASan's allocator holds freed
    // blocks in quarantine; there LeakSanitizer at the server's end does this check.)
    EXPECT_LE(r.after.rss_kib, r.warm.rss_kib + 4 * 1024);
#endif
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.sanitizer, "");
}

}  // namespace
