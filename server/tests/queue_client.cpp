// A client process of one port for the slow-client and vanishing-device tests and the
// benchmark: it opens COM<port>, advises a sink that keeps every byte, where each OnError
// came and every OnPortEvent but spoCharEvent, says "ready", and then answers commands on
// its standard input, one line each:
//   wait N       waits until it has N bytes (at most 120 s); "have <bytes>"
//   quiet MS     waits until no byte has come for MS ms, counted from the command at the
//                earliest; "quiet <bytes> <errors>"
//   dump PATH    writes its bytes to PATH; "errors <code>@<offset> ..." (every OnError
//                with the number of bytes before it)
//   stamps       for a stream of 16-byte messages that start with the sender's monotonic
//                clock in ns and a sequence number: "latency <messages> <median us>
//                <99th percentile us> <messages whose number does not follow the last>"
//   forget       forgets the bytes, stamps and errors so far
//   await error|event CODE
//                waits until an OnError (OnPortEvent) with CODE has come (at most 60 s);
//                "seen <how many have come>"
//   set baud|stopbits|handshake VALUE
//                BaudRate, StopBits or HandShakingMode; "set <HRESULT>"
//   send N SEED  starts a synchronous Send of platform::testing::pattern_bytes(N, SEED) on
//                a thread of its own and answers at once, "sending"
//   sent [MS]    waits for that Send to return (at most MS ms, 120 s when not given);
//                "sent <HRESULT> <ms it took>", "sent running" when it has not returned
//                yet, or "sent none" when no Send was started
// It ends at the end of its input.
//
//   server_queue_client PORT [RECEIVE_BUFFER_SIZE]
#include "platform/rpc/client/client.h"
#include "platform/testing/testing.h"
#include "traffic/tests/test_sink.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class KeepingSink : public SinkBase {
public:
    STDMETHODIMP OnData(VARIANT data) override
    {
        if (data.vt != (VT_ARRAY | VT_UI1) || !data.parray)
            return E_INVALIDARG;
        const auto* p = static_cast<const char*>(data.parray->pvData);
        const std::size_t n = data.parray->rgsabound[0].cElements;
        const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  Clock::now().time_since_epoch())
                                  .count();
        {
            std::lock_guard lock(mutex);
            bytes.append(p, n);
            while (bytes.size() - stamped >= 16) {
                long long sent = 0;
                unsigned long long seq = 0;
                std::memcpy(&sent, bytes.data() + stamped, sizeof sent);
                std::memcpy(&seq, bytes.data() + stamped + 8, sizeof seq);
                // Bytes that carry no stamp read as any number: wrapping, not overflow.
                const auto since = static_cast<long long>(static_cast<unsigned long long>(now) -
                                                          static_cast<unsigned long long>(sent));
                latencies_us.push_back(static_cast<double>(since) / 1000.0);
                if (stamped != 0 && seq != next_seq)
                    ++seq_breaks;
                next_seq = seq + 1;
                stamped += 16;
            }
            last = Clock::now();
        }
        changed.notify_all();
        return S_OK;
    }
    // The stream's NUL bytes are event characters; their spoCharEvent is not kept.
    STDMETHODIMP OnPortEvent(EventConstants event) override
    {
        if (event != spoCharEvent) {
            std::lock_guard lock(mutex);
            events.push_back(event);
        }
        changed.notify_all();
        return S_OK;
    }
    STDMETHODIMP OnError(ErrorConstants code) override
    {
        {
            std::lock_guard lock(mutex);
            codes.emplace_back(code, bytes.size());
        }
        changed.notify_all();
        return S_OK;
    }
    std::size_t count_errors(LONG code) const
    {
        return static_cast<std::size_t>(std::count_if(
            codes.begin(), codes.end(), [code](const auto& c) { return c.first == code; }));
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::string bytes;
    std::size_t stamped = 0;
    std::vector<double> latencies_us;
    unsigned long long next_seq = 0;
    std::size_t seq_breaks = 0;  // messages that do not follow the one before
    std::vector<std::pair<LONG, std::size_t>> codes;
    std::vector<LONG> events;
    Clock::time_point last = Clock::now();
};

std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// The synchronous Send of "send", on a thread of its own so that commands go on.
class Sender {
public:
    ~Sender()
    {
        if (thread_.joinable())
            thread_.join();
    }
    // false while a Send still runs.
    bool start(ISerialPort* pPort, std::size_t n, unsigned seed)
    {
        std::lock_guard lock(mutex_);
        if (running_)
            return false;
        if (thread_.joinable())
            thread_.join();
        running_ = true;
        started_ = true;
        thread_ = std::thread([this, pPort, n, seed] {
            const std::string bytes = platform::testing::pattern_bytes(n, seed);
            VARIANT v;
            VariantInit(&v);
            v.vt = VT_ARRAY | VT_UI1;
            v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(n));
            std::copy(bytes.begin(), bytes.end(), static_cast<char*>(v.parray->pvData));
            const auto begun = Clock::now();
            const HRESULT hr = pPort->Send(v, VARIANT_TRUE);
            const auto took = Clock::now() - begun;
            VariantClear(&v);
            std::lock_guard lock(mutex_);
            hr_ = hr;
            ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
            running_ = false;
            done_.notify_all();
        });
        return true;
    }
    std::string result(long wait_ms = 120000)
    {
        std::unique_lock lock(mutex_);
        if (!started_)
            return "sent none";
        done_.wait_for(lock, std::chrono::milliseconds(wait_ms), [this] { return !running_; });
        if (running_)
            return "sent running";
        return "sent " + Hex(hr_) + " " + std::to_string(ms_);
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::thread thread_;
    bool running_ = false;
    bool started_ = false;
    HRESULT hr_ = S_OK;
    long long ms_ = 0;
};

void Say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    static KeepingSink sink;
    ITethra* pTethra = nullptr;
    ISerialPort* pPort = nullptr;
    IConnectionPointContainer* pContainer = nullptr;
    IConnectionPoint* pPoint = nullptr;
    DWORD dwCookie = 0;
    const ULONG ulBuffer = argc > 2 ? static_cast<ULONG>(std::atol(argv[2])) : 512;
    // The first call that fails is named: "failed <call> <HRESULT>".
    const char* szStep = "CoCreateInstance";
    HRESULT hr = CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                  reinterpret_cast<void**>(&pTethra));
    auto step = [&](const char* szName, auto call) {
        if (SUCCEEDED(hr)) {
            szStep = szName;
            hr = call();
        }
    };
    step("CreatePort", [&] { return pTethra->CreatePort(std::atoi(argv[1]), &pPort); });
    step("put_ReceiveBufferSize", [&] { return pPort->put_ReceiveBufferSize(ulBuffer); });
    // Reads hand on what has arrived at once.
    step("put_ReadIntervalTimeOut", [&] { return pPort->put_ReadIntervalTimeOut(MAXDWORD); });
    step("put_ReadTotalTimeoutMult", [&] { return pPort->put_ReadTotalTimeoutMult(0); });
    step("put_ReadTotalTimeoutConst", [&] { return pPort->put_ReadTotalTimeoutConst(0); });
    step("QueryInterface", [&] {
        return pPort->QueryInterface(IID_IConnectionPointContainer,
                                     reinterpret_cast<void**>(&pContainer));
    });
    step("FindConnectionPoint",
         [&] { return pContainer->FindConnectionPoint(DIID__ISerialPortEvents, &pPoint); });
    step("Advise", [&] { return pPoint->Advise(&sink, &dwCookie); });
    if (FAILED(hr)) {
        Say(std::string("failed ") + szStep + " " + Hex(hr));
        return 1;
    }
    Say("ready");
    Sender sender;

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        std::unique_lock lock(sink.mutex);
        if (command == "wait") {
            std::size_t n = 0;
            in >> n;
            sink.changed.wait_for(lock, std::chrono::seconds(120),
                                  [&] { return sink.bytes.size() >= n; });
            Say("have " + std::to_string(sink.bytes.size()));
        } else if (command == "quiet") {
            long ms = 0;
            in >> ms;
            const auto quiet = std::chrono::milliseconds(ms);
            sink.last = std::max(sink.last, Clock::now());
            while (Clock::now() - sink.last < quiet)
                sink.changed.wait_until(lock, sink.last + quiet);
            Say("quiet " + std::to_string(sink.bytes.size()) + " " +
                std::to_string(sink.codes.size()));
        } else if (command == "dump") {
            std::string path;
            in >> path;
            if (FILE* f = std::fopen(path.c_str(), "wb")) {
                std::fwrite(sink.bytes.data(), 1, sink.bytes.size(), f);
                std::fclose(f);
            }
            std::string out = "errors";
            for (const auto& [code, offset] : sink.codes)
                out += " " + std::to_string(code) + "@" + std::to_string(offset);
            Say(out);
        } else if (command == "stamps") {
            std::vector<double>& us = sink.latencies_us;
            std::sort(us.begin(), us.end());
            auto at = [&us](double p) {
                return us.empty() ? 0.0 : us[static_cast<std::size_t>(p * static_cast<double>(us.size() - 1))];
            };
            char text[128];
            std::snprintf(text, sizeof text, "latency %zu %.1f %.1f %zu", us.size(), at(0.5),
                          at(0.99), sink.seq_breaks);
            Say(text);
        } else if (command == "forget") {
            sink.bytes.clear();
            sink.stamped = 0;
            sink.latencies_us.clear();
            sink.seq_breaks = 0;
            sink.codes.clear();
            Say("forgot");
        } else if (command == "await") {
            std::string kind;
            LONG code = 0;
            in >> kind >> code;
            auto seen = [&] {
                return kind == "error" ? sink.count_errors(code)
                                       : static_cast<std::size_t>(std::count(
                                             sink.events.begin(), sink.events.end(), code));
            };
            sink.changed.wait_for(lock, std::chrono::seconds(60), [&] { return seen() > 0; });
            Say("seen " + std::to_string(seen()));
        } else if (command == "set") {
            std::string name;
            long value = 0;
            in >> name >> value;
            lock.unlock();
            HRESULT hr = E_INVALIDARG;
            if (name == "baud")
                hr = pPort->put_BaudRate(static_cast<ULONG>(value));
            else if (name == "stopbits")
                hr = pPort->put_StopBits(static_cast<StopBitsConstants>(value));
            else if (name == "handshake")
                hr = pPort->put_HandShakingMode(static_cast<HandShakingConstants>(value));
            Say("set " + Hex(hr));
        } else if (command == "send") {
            std::size_t n = 0;
            unsigned seed = 0;
            in >> n >> seed;
            lock.unlock();
            Say(sender.start(pPort, n, seed) ? "sending" : "busy");
        } else if (command == "sent") {
            long ms = 120000;
            in >> ms;
            lock.unlock();
            Say(sender.result(ms));
        }
    }
    sender.result();  // a Send still on its way returns before the port goes
    pPoint->Unadvise(dwCookie);
    pPoint->Release();
    pContainer->Release();
    pPort->Release();
    pTethra->Release();
    return 0;
}
