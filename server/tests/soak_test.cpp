// The soak at CI size: 4 client processes for 10 s on 4 ports (bench/reliability runs 16
// for 60 s). Every live client's sinks received their records without a gap, the server
// is back to its idle threads and descriptors once the clients are gone, and it ends
// cleanly with no sanitizer report. TETHRA_SOAK_SEED varies the run.
#include "server/tests/reliability_runs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

TEST(Soak, FourClientsForTenSecondsLoseNoRecordAndLeaveTheServerIdle)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the bus processes run on Qt, which ThreadSanitizer cannot see into";
#endif
    const char* text = std::getenv("TETHRA_SOAK_SEED");
    const unsigned seed = text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 7;
    const reliability::soak_result r = reliability::run_soak(TETHRA_SERVER, SOAK_CLIENT, 4, 10, seed);
    ASSERT_EQ(r.error, "");
    std::printf("%s", reliability::describe(r).c_str());
    EXPECT_EQ(r.faults, "");
    EXPECT_EQ(r.checked, 4);
    EXPECT_GT(r.kills, 0);
    // The call pool keeps the threads its busiest moment needed (see fuzz_test.cpp): a
    // few more than idle are that; a thread per killed client or per port opened is not.
    EXPECT_LE(r.after.threads, r.idle.threads + 4);
    EXPECT_LE(r.after.fds, r.idle.fds);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.sanitizer, "");
}

}  // namespace
