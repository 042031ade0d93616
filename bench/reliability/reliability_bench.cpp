// The reliability runs at full size, against the tethra-server executable on a private
// bus, printing their figures (the tests in server/tests run them at CI size and assert):
//
//   reliability_bench fuzz [CALLS [SEED [ROUNDS]]]     default 100000 calls, seed 20261206,
//                                                      1 round after an equal warm-up
//   reliability_bench soak [CLIENTS [SECONDS [SEED]]]  default 16 clients for 60 s, seed 7
//
// The fuzzer's calls come from server/tests/bus_fuzz.py (python3-dbus); the soak's
// clients are server_soak_client processes. Exit code 0 when the run found nothing.
#include "server/tests/reliability_runs.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

unsigned long arg(int argc, char** argv, int i, unsigned long fallback)
{
    return argc > i ? std::strtoul(argv[i], nullptr, 10) : fallback;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "fuzz") {
        const auto calls = static_cast<unsigned>(arg(argc, argv, 2, 100000));
        const reliability::fuzz_result r = reliability::run_fuzz(
            TETHRA_SERVER, BUS_FUZZ, calls, static_cast<unsigned>(arg(argc, argv, 3, 20261206)),
            3600, static_cast<unsigned>(arg(argc, argv, 4, 1)));
        if (!r.error.empty()) {
            std::printf("fuzz: %s\n", r.error.c_str());
            return 1;
        }
        std::printf("%s", reliability::describe(r).c_str());
        return r.exit_code == 0 && r.normal_after.empty() && r.sanitizer.empty() ? 0 : 1;
    }
    if (what == "soak") {
        const reliability::soak_result r = reliability::run_soak(
            TETHRA_SERVER, SOAK_CLIENT, static_cast<int>(arg(argc, argv, 2, 16)),
            static_cast<int>(arg(argc, argv, 3, 60)), static_cast<unsigned>(arg(argc, argv, 4, 7)));
        if (!r.error.empty()) {
            std::printf("soak: %s\n", r.error.c_str());
            return 1;
        }
        std::printf("%s", reliability::describe(r).c_str());
        return r.faults.empty() && r.sanitizer.empty() ? 0 : 1;
    }
    std::printf("usage: reliability_bench fuzz [CALLS [SEED [ROUNDS]]] | soak [CLIENTS [SECONDS [SEED]]]\n");
    return 2;
}
