#include "platform/rpc/call_pool.h"

namespace platform::rpc {

call_pool::~call_pool() { stop(); }

void call_pool::start_thread_locked()
{
    threads_.emplace_back([this] { worker(); });
}

bool call_pool::post(const std::string& name, std::function<void()> job)
{
    std::lock_guard lock(mutex_);
    if (stopping_)
        return false;
    strand& s = strands_[name];
    s.jobs.push_back(std::move(job));
    if (s.running || s.jobs.size() > 1)
        return true;  // already ready or running: it is picked up in turn
    ready_.push_back(name);
    if (idle_ == 0 && threads_.size() < kMaxThreads)
        start_thread_locked();
    while (threads_.size() < kMinThreads)
        start_thread_locked();
    ready_cv_.notify_one();
    return true;
}

void call_pool::wait_drained(const std::string& prefix)
{
    std::unique_lock lock(mutex_);
    drained_cv_.wait(lock, [&] {
        auto it = strands_.lower_bound(prefix);
        return it == strands_.end() || it->first.compare(0, prefix.size(), prefix) != 0;
    });
}

void call_pool::worker()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        ready_cv_.wait(lock, [this] { return !ready_.empty() || stopping_; });
        --idle_;
        if (ready_.empty())
            return;  // stopping, and nothing is left to run
        const std::string name = std::move(ready_.front());
        ready_.pop_front();
        strand& s = strands_[name];
        std::function<void()> job = std::move(s.jobs.front());
        s.jobs.pop_front();
        s.running = true;
        lock.unlock();
        job();
        job = nullptr;  // whatever the job captured goes before the strand is free
        lock.lock();
        strand& after = strands_[name];
        after.running = false;
        if (after.jobs.empty()) {
            strands_.erase(name);
            drained_cv_.notify_all();
        } else {
            ready_.push_back(name);
            ready_cv_.notify_one();
        }
    }
}

void call_pool::stop()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        ready_cv_.notify_all();
        threads.swap(threads_);
    }
    for (std::thread& t : threads)
        if (t.joinable())
            t.join();
}

void call_pool::restart()
{
    std::lock_guard lock(mutex_);
    stopping_ = false;
}

}  // namespace platform::rpc
