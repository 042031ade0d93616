// The two long runs against the tethra-server executable, shared by the reliability
// tests (at CI size, with assertions) and bench/reliability (at full size, printing).
//
// run_fuzz: hostile calls (bus_fuzz.py, on the raw bus API of python3-dbus) on COM1 and
// COM3, while the far ends stream and drain; then a normal client on COM2.
//
// run_soak: client processes (soak_client) that open, send, change settings, advise and
// unadvise at random on 4 ports while the far ends stream numbered records, and are
// killed and restarted; then each live client's record check.
#pragma once

#include "platform/testing/socat.h"

#include <string>
#include <vector>

namespace reliability {

struct fuzz_result {
    std::string error;             // the set-up that failed, if any
    unsigned seed = 0;
    int exit_code = -1;            // bus_fuzz.py's: 0 when every call was answered
    std::string output;            // what bus_fuzz.py printed
    std::string normal_before;     // check_normal_client on COM2 after the warm-up
    std::string normal_after;      // ... and after the run ("" when all was well)
    platform::testing::process_figures idle;   // before any call
    platform::testing::process_figures warm;   // after the warm-up, settled
    std::vector<platform::testing::process_figures> rounds;  // after each run, settled
    platform::testing::process_figures after;  // after the last run and a normal client
    double seconds = 0;
    bool ended = false;            // the server ended once released
    std::string sanitizer;         // what the server's sanitizers reported
};

// calls: how many calls each run makes; a warm-up of as many calls with seed + 1 comes
// first, then rounds runs with seeds seed, seed + 2, ... Each bus_fuzz.py run ends after
// seconds at the latest.
fuzz_result run_fuzz(const std::string& server, const std::string& script, unsigned calls,
                     unsigned seed, unsigned seconds, unsigned rounds = 1);
// The figures, one block of lines, for the test's log and the benchmark.
std::string describe(const fuzz_result& result);

struct soak_result {
    std::string error;
    unsigned seed = 0;
    int clients = 0;
    int seconds = 0;
    int kills = 0;             // clients killed (SIGKILL) and started again
    int checked = 0;           // live clients whose final check ran
    std::string faults;        // every FAULT line the clients wrote ("" when none)
    std::string totals;        // the clients' summed counters
    unsigned long long streamed = 0;  // records the far ends wrote, all ports
    std::string per_port;             // " n1 n2 n3 n4": the records of each port
    unsigned long long drained = 0;   // bytes the far ends received from the clients
    platform::testing::process_figures idle;   // before the clients
    platform::testing::process_figures busy;   // at the end of the run, clients still there
    platform::testing::process_figures after;  // once every client has gone, settled
    bool ended = false;
    std::string sanitizer;
};

soak_result run_soak(const std::string& server, const std::string& client, int clients,
                     int seconds, unsigned seed);
std::string describe(const soak_result& result);

}  // namespace reliability
