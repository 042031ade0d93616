// The reliability runs at full size, against the tethra-server executable on a private
// bus, printing their figures (the tests in server/tests run them at CI size and assert):
//
//   reliability_bench fuzz [CALLS [SEED [ROUNDS]]]     default 100000 calls, seed 20261206,
//                                                      1 round after an equal warm-up
//   reliability_bench soak [CLIENTS [SECONDS [SEED]]]  default 16 clients for 60 s, seed 7
//   reliability_bench idle                             what an idle server costs
//
// The fuzzer's calls come from server/tests/bus_fuzz.py (python3-dbus); the soak's
// clients are server_soak_client processes. Exit code 0 when the run found nothing.
//
// idle: the server's processor time, threads and descriptors while this process holds
// COM1 (a socat pair) open with a sink advised and nothing flows, over 10 s; then, once it
// has released everything, over the 4 s before the server ends itself (5 s after the last
// release). Exit code 0 when the server ended.
#include "server/tests/reliability_runs.h"
#include "server/tests/served_server.h"
#include "traffic/tests/test_sink.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

unsigned long arg(int argc, char** argv, int i, unsigned long fallback)
{
    return argc > i ? std::strtoul(argv[i], nullptr, 10) : fallback;
}

// The server's figures over span; the figures at its end, with cpu_ms the time used
// during it.
platform::testing::process_figures idle_over(const reliability::served_server& server,
                                             std::chrono::milliseconds span)
{
    const double before = server.figures().cpu_ms;
    std::this_thread::sleep_for(span);
    platform::testing::process_figures after = server.figures();
    after.cpu_ms = before < 0 || after.cpu_ms < 0 ? -1 : after.cpu_ms - before;
    return after;
}

void print_idle(const char* what, const platform::testing::process_figures& f,
                std::chrono::milliseconds span)
{
    std::printf("%-28s %6.0f ms of processor time over %2lld s  threads %3d  fds %3d  RSS %6ld KiB\n",
                what, f.cpu_ms, static_cast<long long>(span.count() / 1000), f.threads, f.fds,
                f.rss_kib);
}

int run_idle()
{
    using std::chrono::milliseconds;
    reliability::served_server server(TETHRA_SERVER, 1);
    if (!server.error().empty()) {
        std::printf("idle: %s\n", server.error().c_str());
        return 1;
    }
    ISerialPort* pPort = nullptr;
    IConnectionPointContainer* pContainer = nullptr;
    IConnectionPoint* pPoint = nullptr;
    DWORD dwCookie = 0;
    TestSink sink;
    if (server.tethra()->CreatePort(1, &pPort) != S_OK ||
        pPort->QueryInterface(IID_IConnectionPointContainer,
                              reinterpret_cast<void**>(&pContainer)) != S_OK ||
        pContainer->FindConnectionPoint(DIID__ISerialPortEvents, &pPoint) != S_OK ||
        pPoint->Advise(&sink, &dwCookie) != S_OK) {
        std::printf("idle: opening COM1 failed\n");
        return 1;
    }
    std::this_thread::sleep_for(milliseconds(1000));  // what the opening set going ends
    print_idle("one client, COM1 open:", idle_over(server, milliseconds(10000)), milliseconds(10000));

    pPoint->Unadvise(dwCookie);
    pPoint->Release();
    pContainer->Release();
    pPort->Release();
    std::this_thread::sleep_for(milliseconds(500));  // the port closes
    const auto released = std::chrono::steady_clock::now();
    server.finish(0);
    print_idle("no client, before shutdown:", idle_over(server, milliseconds(4000)), milliseconds(4000));
    const bool ended = server.finish(10000);
    std::printf("the server %s %.1f s after the last release\n", ended ? "ended" : "still ran",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - released).count());
    return ended ? 0 : 1;
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
    if (what == "idle")
        return run_idle();
    std::printf("usage: reliability_bench fuzz [CALLS [SEED [ROUNDS]]] | soak [CLIENTS [SECONDS [SEED]]] | idle\n");
    return 2;
}
