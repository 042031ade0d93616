// The call threads of the server: a pool that runs jobs in strands. Jobs of one strand
// (one client connection on one object) run one after the other in the order queued;
// jobs of different strands run at the same time.
//
// The pool keeps kMinThreads threads and grows by one whenever a strand becomes ready
// while no thread is idle, up to kMaxThreads, so a call that blocks (a synchronous Send,
// a setter waiting for a client's consent) holds only its own strand. Threads stay until
// stop(); idle ones wait on a condition variable, so an idle server costs no processor
// time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform::rpc {

class call_pool {
public:
    static constexpr std::size_t kMinThreads = 4;
    static constexpr std::size_t kMaxThreads = 64;

    call_pool() = default;
    ~call_pool();  // stop()
    call_pool(const call_pool&) = delete;
    call_pool& operator=(const call_pool&) = delete;

    // Queues a job at the back of its strand. false after stop().
    bool post(const std::string& strand, std::function<void()> job);
    // Waits until no strand whose name starts with prefix has jobs queued or running
    // (the caller's own strand must not match).
    void wait_drained(const std::string& prefix);
    // Runs the jobs still queued, then ends every thread; later posts are refused.
    void stop();
    // Accepts posts again after stop().
    void restart();

private:
    struct strand {
        std::deque<std::function<void()>> jobs;
        bool running = false;
    };
    void worker();
    void start_thread_locked();

    std::mutex mutex_;
    std::condition_variable ready_cv_;
    std::condition_variable drained_cv_;
    std::map<std::string, strand> strands_;
    std::deque<std::string> ready_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

}  // namespace platform::rpc
