// What a worker costs: its processor time while its tasks are idle (an idle port must
// cost none), and how many plain tasks per second pass through Add.
#include "engine/WorkerThreadContext.h"

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>

namespace {

// The calling thread's user + system time, in microseconds.
long long thread_cpu_us()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

// Never fires: it only sits in the worker's wait.
class IdleTask : public CEventStrategy {
public:
    IdleTask() : CEventStrategy(TRUE, FALSE, TRUE) {}
    BOOL AlgorithmInterface(BOOL&) override { return FALSE; }
};

// Reads the worker's processor time on each run and reports it through `done`.
class ProbeTask : public CEventStrategy {
public:
    explicit ProbeTask(HANDLE done) : CEventStrategy(FALSE, FALSE, TRUE), done_(done) {}
    BOOL AlgorithmInterface(BOOL&) override
    {
        cpu_us = thread_cpu_us();
        SetEvent(done_);
        return FALSE;
    }
    HANDLE event() const { return m_hEvent; }
    std::atomic<long long> cpu_us{0};

private:
    HANDLE done_;
};

class PlainTask : public CStrategy {
public:
    explicit PlainTask(BOOL bAutoDelete) : CStrategy(bAutoDelete) {}
    BOOL AlgorithmInterface(BOOL&) override { return TRUE; }
};

}  // namespace

int main()
{
    CWorkerThreadContext worker;
    worker.Start();

    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (int i = 0; i < 8; ++i)
        worker.Add(new IdleTask);
    auto* probe = new ProbeTask(done);
    worker.Add(probe);
    WaitForSingleObject(done, INFINITE);
    long long before = probe->cpu_us;

    auto start = std::chrono::steady_clock::now();
    Sleep(1000);
    SetEvent(probe->event());
    WaitForSingleObject(done, INFINITE);
    double wall_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    long long after = probe->cpu_us;
    std::printf("idle worker, 8 idle event tasks: %.3f ms of worker CPU over %.0f ms "
                "(expected 0; the probe's own wake-up included)\n",
                (after - before) / 1000.0, wall_ms);

    // Throughput: plain tasks added from one thread, run and deleted by the worker.
    constexpr int kTasks = 200000;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < kTasks - 1; ++i)
        worker.Add(new PlainTask(TRUE));
    auto* last = new PlainTask(FALSE);
    worker.Add(last);
    last->GetCompletionCode();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    delete last;
    std::printf("plain tasks through Add: %d in %.3f s = %.0f tasks/s\n", kTasks, seconds,
                kTasks / seconds);

    worker.Stop();
    CloseHandle(done);
    return 0;
}
