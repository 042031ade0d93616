// Fan-out of client notifications: how many OnData and OnPortEvent calls per second reach
// 1, 4 and 8 in-process sinks through the port-events connection point, each sink on its
// own notification thread, and what one fan-out costs the thread that fires it (the
// comm-port thread in the server). Prints figures; asserts nothing.
#include "idl/tethra.h"
#include "platform/com/com.h"
#include "traffic/PortEventsConnectionPoint.h"
#include "traffic/tests/test_sink.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

class Host : public IConnectionPointContainer, public platform::ref_counted_object {
public:
    Host() : cp(this, object_lock()) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        static constexpr platform::interface_entry table[] = {
            platform::interface_entry_of<Host, IConnectionPointContainer>(),
            platform::interface_entry_of<Host, IUnknown, IConnectionPointContainer>(),
        };
        return platform::query_interface(this, table, riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return internal_add_ref(); }
    STDMETHODIMP_(ULONG) Release() override { return release_object(); }
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID, IConnectionPoint**) override { return E_NOTIMPL; }
    CPortEventsConnectionPoint cp;
};

// Counts the calls that reach it through the type-driven IDispatch, as a client's would.
class CountingSink : public SinkBase {
public:
    ~CountingSink() { wait_refs(0); }

    STDMETHODIMP OnData(VARIANT) override { return count(); }
    STDMETHODIMP OnPortEvent(EventConstants) override { return count(); }
    STDMETHODIMP OnError(ErrorConstants) override { return count(); }

    void expect(long n)
    {
        std::lock_guard lock(mutex);
        target = n;
        calls = 0;
    }
    void wait()
    {
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return calls >= target; });
    }


private:
    HRESULT count()
    {
        std::lock_guard lock(mutex);
        if (++calls >= target)
            done.notify_all();
        return S_OK;
    }
    std::mutex mutex;
    std::condition_variable done;
    long calls = 0;
    long target = 0;
};

template <class Fire>
void run(const char* what, int nSinks, long nNotifications, Fire&& fire)
{
    Host* host = new Host;
    host->AddRef();
    std::vector<std::unique_ptr<CountingSink>> sinks;
    for (int i = 0; i < nSinks; ++i) {
        sinks.push_back(std::make_unique<CountingSink>());
        DWORD cookie = 0;
        host->cp.Advise(sinks.back().get(), &cookie);
        sinks.back()->expect(nNotifications);
    }

    const auto start = clock_type::now();
    for (long i = 0; i < nNotifications; ++i)
        fire(host->cp);
    const auto fired = clock_type::now();
    for (auto& sink : sinks)
        sink->wait();
    const auto delivered = clock_type::now();

    const std::chrono::duration<double> total = delivered - start;
    const std::chrono::duration<double, std::nano> fanout = fired - start;
    std::printf("%-22s %d sink%s  %10.0f calls/s delivered  %8.0f ns per fan-out\n", what,
                nSinks, nSinks == 1 ? " " : "s",
                static_cast<double>(nNotifications) * nSinks / total.count(),
                fanout.count() / static_cast<double>(nNotifications));
    host->Release();
    CPortEventsConnectionPoint::WaitForReapers(INFINITE);
}

}  // namespace

int main()
{
    const long n = 20000;
    BYTE block[64];
    for (int i = 0; i < 64; ++i)
        block[i] = static_cast<BYTE>(i);
    std::printf("%ld notifications per run, each sink on its own notification thread\n", n);
    for (int nSinks : {1, 4, 8})
        run("OnData, 64 bytes", nSinks, n,
            [&](CPortEventsConnectionPoint& cp) { cp.FireDataNotification(sizeof block, block); });
    for (int nSinks : {1, 4, 8})
        run("OnPortEvent", nSinks, n,
            [](CPortEventsConnectionPoint& cp) { cp.FireEventNotification(spoCTSEvent); });
    return 0;
}
