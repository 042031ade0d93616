#include "server/tests/reliability_runs.h"

#include "platform/testing/process.h"
#include "server/tests/served_server.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace reliability {
namespace {

using platform::testing::process_figures;
using platform::testing::socat_pair;
using Clock = std::chrono::steady_clock;

// The far end of one pair while a run goes on: every tick it writes what next() gives
// and reads (and counts) whatever the port sent, so a port never stalls on a full pty.
class far_end {
public:
    far_end(socat_pair& pair, std::function<std::string()> next)
        : pair_(pair), next_(std::move(next)), thread_([this] { run(); })
    {
    }
    ~far_end() { stop(); }
    // Writes nothing more (a write under way ends early only if the port takes nothing
    // for 100 ms); returns once the thread has ended.
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    unsigned long long drained() const { return drained_; }
    // Bytes written into the far end (all of them arrive at the port in order).
    unsigned long long written() const { return written_; }

private:
    void run()
    {
        while (!stop_) {
            const std::string chunk = next_();
            std::size_t written = 0;
            if (!chunk.empty())
                pair_.send(chunk.data(), chunk.size(), &stop_, &written);
            written_ += written;
            // The tick: until 10 ms pass without a byte from the port.
            drained_ += pair_.drain(10);
        }
    }

    socat_pair& pair_;
    std::function<std::string()> next_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned long long> drained_{0};
    std::atomic<unsigned long long> written_{0};
    std::thread thread_;
};

std::string figures_line(const char* name, const process_figures& f)
{
    char line[160];
    std::snprintf(line, sizeof line, "  %-7s RSS %7ld KiB  threads %3d  fds %3d\n", name, f.rss_kib,
                  f.threads, f.fds);
    return line;
}

}  // namespace

// ---- the fuzzer ----------------------------------------------------------------------------

// Threads the call pool may add in a run beyond those its warm-up left (see fuzz_test.cpp).
constexpr int kPoolSlack = 4;

fuzz_result run_fuzz(const std::string& server, const std::string& script, unsigned calls,
                     unsigned seed, unsigned seconds, unsigned rounds)
{
    fuzz_result result;
    result.seed = seed;
    served_server served(server, 3);
    if (!served.error().empty()) {
        result.error = served.error();
        return result;
    }
    result.idle = served.figures();
    far_end pool(served.pair(1), [] { return std::string(64, 'f'); });
    far_end stall(served.pair(3), [] { return std::string(64, 's'); });

    const auto fuzz = [&](unsigned count, unsigned run_seed, std::string* output) {
        return platform::testing::run_program(
            {script, served.bus_address(), "--calls", std::to_string(count), "--seed",
             std::to_string(run_seed), "--seconds", std::to_string(seconds), "--pool-port", "1",
             "--stall-port", "3"},
            output);
    };
    // The warm-up: a run of the same size with another seed, so that what the server
    // keeps for good (the call threads its busiest moment needed, caches, the
    // allocator's arenas) is there before the figures; the run itself must then add
    // nothing.
    std::string warm_output;
    if (fuzz(calls, seed + 1, &warm_output) != 0) {
        result.error = "the warm-up failed:\n" + warm_output;
        return result;
    }
    result.normal_before = check_normal_client(served, 2);
    result.warm = served.settle(0, 0, 3000);

    const auto start = Clock::now();
    for (unsigned round = 0; round < rounds; ++round) {
        result.output.clear();
        result.exit_code = fuzz(calls, seed + 2 * round, &result.output);
        result.rounds.push_back(served.settle(result.warm.threads + kPoolSlack, result.idle.fds, 8000));
        if (result.exit_code != 0)
            break;
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.normal_after = check_normal_client(served, 2);
    result.after = served.settle(result.warm.threads + kPoolSlack, result.idle.fds, 8000);
    pool.stop();
    stall.stop();
    result.ended = served.finish(20000);
    result.sanitizer = served.sanitizer_reports();
    return result;
}

std::string describe(const fuzz_result& r)
{
    std::ostringstream out;
    out << "fuzz: seed " << r.seed << ", bus_fuzz.py exit code " << r.exit_code << ", "
        << r.seconds << " s\n"
        << r.output << "server figures:\n"
        << figures_line("idle", r.idle) << figures_line("warm", r.warm);
    for (std::size_t i = 0; i < r.rounds.size(); ++i)
        out << figures_line(("run " + std::to_string(i + 1)).c_str(), r.rounds[i]);
    out
        << figures_line("after", r.after) << "normal client after the warm-up: "
        << (r.normal_before.empty() ? "ok" : r.normal_before) << "\nnormal client after the run: "
        << (r.normal_after.empty() ? "ok" : r.normal_after) << "\nserver ended once released: "
        << (r.ended ? "yes" : "no") << "\nsanitizer reports: "
        << (r.sanitizer.empty() ? "none" : r.sanitizer) << "\n";
    return out.str();
}

// ---- the soak -----------------------------------------------------------------------------

namespace {

constexpr int kSoakPorts = 4;
constexpr unsigned kRecordsPerTick = 32;  // 256 bytes every 10 ms or so on each port

// Adds "name value" pairs of a client's result line to the totals.
void add_counters(const std::string& line, std::map<std::string, unsigned long long>& totals)
{
    std::istringstream words(line);
    std::string name;
    words >> name;  // "result"
    unsigned long long value = 0;
    while (words >> name >> value)
        totals[name] += value;
}

}  // namespace

soak_result run_soak(const std::string& server, const std::string& client, int clients,
                     int seconds, unsigned seed)
{
    soak_result result;
    result.seed = seed;
    result.clients = clients;
    result.seconds = seconds;
    served_server served(server, kSoakPorts);
    if (!served.error().empty()) {
        result.error = served.error();
        return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    result.idle = served.figures();

    // Each far end streams records "%07u\n" numbered from 0, and drains what clients send.
    std::vector<std::unique_ptr<far_end>> ends;
    for (int port = 1; port <= kSoakPorts; ++port) {
        auto next = std::make_shared<unsigned long long>(0);
        ends.push_back(std::make_unique<far_end>(served.pair(port), [next] {
            std::string chunk;
            char record[32];
            for (unsigned i = 0; i < kRecordsPerTick; ++i) {
                std::snprintf(record, sizeof record, "%07llu\n", (*next)++ % 10000000);
                chunk += record;
            }
            return chunk;
        }));
    }

    const std::string faults = served.dir() + "/faults";
    std::mt19937 random(seed);
    unsigned generation = 0;
    std::vector<std::unique_ptr<platform::testing::child>> slots(static_cast<std::size_t>(clients));
    const auto start_client = [&](std::size_t slot) {
        slots[slot] = std::make_unique<platform::testing::child>(
            std::vector<std::string>{client, std::to_string(kSoakPorts),
                                     std::to_string(seed * 1000 + generation++), faults},
            true);
        return slots[slot]->read_line() == "ready";
    };
    for (std::size_t slot = 0; slot < slots.size(); ++slot)
        if (!start_client(slot)) {
            result.error = "a client did not start";
            return result;
        }

    // Every 0.2 to 1.5 s one client, chosen at random, is killed and started again.
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(200, 1500)(random)));
        if (Clock::now() >= end)
            break;
        const std::size_t slot = std::uniform_int_distribution<std::size_t>(0, slots.size() - 1)(random);
        slots[slot]->kill();
        ++result.kills;
        if (!start_client(slot)) {
            result.error = "a client did not start again";
            return result;
        }
    }

    for (auto& c : slots)
        if (!c->write_line("quiesce") || c->read_line() != "quiet") {
            result.error = "a client did not quiesce";
            return result;
        }
    // The far ends go on for a while, so that a sink advised just before its client went
    // quiet has records from after its Advise, as every other advised sink has.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    result.busy = served.figures();
    std::string counts;
    for (auto& e : ends) {
        e->stop();
        const unsigned long long records = e->written() / 8;
        result.streamed += records;
        result.drained += e->drained();
        counts += " " + std::to_string(records);
    }
    result.per_port = counts;
    std::map<std::string, unsigned long long> totals;
    for (auto& c : slots) {
        c->write_line("final" + counts);
        const std::string line = c->read_line();
        if (line.rfind("result", 0) != 0) {
            result.error = "a client gave no result";
            return result;
        }
        add_counters(line, totals);
        ++result.checked;
        c->wait(10000);
    }
    slots.clear();
    for (const auto& [name, value] : totals)
        result.totals += name + " " + std::to_string(value) + "\n";
    result.after = served.settle(result.idle.threads, result.idle.fds, 20000);
    result.faults = platform::testing::read_file(faults);
    result.ended = served.finish(20000);
    result.sanitizer = served.sanitizer_reports();
    return result;
}

std::string describe(const soak_result& r)
{
    std::ostringstream out;
    out << "soak: seed " << r.seed << ", " << r.clients << " clients, " << r.seconds << " s, "
        << r.kills << " killed and started again, " << r.checked << " checked at the end\n"
        << "far ends: " << r.streamed << " records streamed (per port:" << r.per_port << "), "
        << r.drained
        << " bytes received from the clients\nclients' totals:\n"
        << r.totals << "server figures:\n"
        << figures_line("idle", r.idle) << figures_line("busy", r.busy)
        << figures_line("after", r.after) << "server ended once released: "
        << (r.ended ? "yes" : "no") << "\nfaults: " << (r.faults.empty() ? "none\n" : "\n" + r.faults)
        << "sanitizer reports: " << (r.sanitizer.empty() ? "none" : r.sanitizer) << "\n";
    return out.str();
}

}  // namespace reliability
