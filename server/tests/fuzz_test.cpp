// Hostile calls on the bus (bus_fuzz.py) against the tethra-server executable: every call
// is answered, a normal client is served correctly afterwards, the server has not grown
// past its warmed-up figures, and it ends cleanly with no sanitizer report (leaks
// included, under ASan). TETHRA_FUZZ_SEED repeats or varies the run; bench/reliability
// runs it at full size.
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
    const reliability::fuzz_result r =
        reliability::run_fuzz(TETHRA_SERVER, BUS_FUZZ, 2000, seed_from_environment(20261206), 50);
    ASSERT_EQ(r.error, "");
    std::printf("%s", reliability::describe(r).c_str());
    EXPECT_EQ(r.exit_code, 0) << "calls went unanswered";
    EXPECT_EQ(r.normal_before, "");
    EXPECT_EQ(r.normal_after, "");
    EXPECT_LE(r.after.threads, r.warm.threads);
    EXPECT_LE(r.after.fds, r.warm.fds);
    // The allocator keeps what it got back; a server that kept what the calls brought
    // would grow with them (up to 4 MiB each).
    EXPECT_LE(r.after.rss_kib, r.warm.rss_kib + 16 * 1024);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.sanitizer, "");
}

}  // namespace
