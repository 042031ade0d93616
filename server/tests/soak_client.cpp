// One client process of the soak (reliability_runs.cpp), on the client library:
//
//   soak_client PORTS SEED FAULT_FILE
//
// Prints "ready" once connected, then acts at random every few milliseconds on COM1..
// COM<PORTS>, holding at most two port objects: opens and releases them, sends
// synchronously and asynchronously, puts and gets BaudRate, advises and unadvises an
// event sink and a property sink (which refuses about a third of the changes it is
// asked about). Commands on standard input:
//   quiesce          stops acting, keeps what it holds; prints "quiet"
//   final N1 .. NP   the far end of COM<p> wrote Np whole records in all; waits up to
//                    20 s for every advised event sink to have them, then prints
//                    "result <counter> <value> ..." and ends
//
// The far ends stream records of 8 bytes, "%07u\n", numbered from 0 on each port. What
// an event sink must receive, between its Advise and its Unadvise (or the end): from
// its first newline on, whole records, each numbered one more than the one before, none
// missing, doubled or out of order; the bytes before that first newline the end of the
// record before; and, when still advised at "final", every record up to Np - 1 and none
// beyond (the far ends stream for half a second after the last client went quiet, so
// records follow every Advise). (Nothing is owed for the time before the Advise reply: the port's stream
// reaches a sink from a point the client cannot know exactly.) Every breach is written
// at once, as a line "FAULT ...", to FAULT_FILE, so a client killed later still
// reports it.
#include "idl/tethra.h"
#include "platform/rpc/client/client.h"
#include "traffic/tests/test_sink.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kRecord = 8;

FILE* g_faults = nullptr;
unsigned g_seed = 0;
std::mutex g_mutex;  // the counters, the checks and the faults file
std::condition_variable g_changed;
std::map<std::string, unsigned long long> g_counters;

void count(const char* name, unsigned long long n = 1)
{
    std::lock_guard lock(g_mutex);
    g_counters[name] += n;
}

void fault_locked(const std::string& text)
{
    std::fprintf(g_faults, "FAULT client seed %u: %s\n", g_seed, text.c_str());
    std::fflush(g_faults);
    ++g_counters["faults"];
}

void fault(const std::string& text)
{
    std::lock_guard lock(g_mutex);
    fault_locked(text);
}

std::string record_text(unsigned long long n)
{
    char text[32];
    std::snprintf(text, sizeof text, "%07llu\n", n);
    return text;
}

// The record check of one advised event sink (see the file's comment).
class StreamSink : public SinkBase {
public:
    explicit StreamSink(LONG port) : m_port(port) {}

    STDMETHODIMP OnData(VARIANT data) override
    {
        if (data.vt != (VT_ARRAY | VT_UI1) || !data.parray)
            return S_OK;
        const char* p = static_cast<const char*>(data.parray->pvData);
        const std::size_t n = data.parray->rgsabound[0].cElements;
        std::lock_guard lock(g_mutex);
        g_counters["bytes_received"] += n;
        for (std::size_t i = 0; i < n; ++i)
            take(p[i]);
        g_changed.notify_all();
        return S_OK;
    }
    STDMETHODIMP OnPortEvent(EventConstants) override { return S_OK; }
    STDMETHODIMP OnError(ErrorConstants code) override
    {
        fault("COM" + std::to_string(m_port) + " OnError " + std::to_string(code));
        return S_OK;
    }

    // Under g_mutex: the number of the last whole record, or -1.
    long long last() const { return m_last; }
    LONG port() const { return m_port; }

private:
    void take(char c)
    {
        m_text += c;
        if (!m_synced) {
            if (c != '\n')
                return;
            m_head = m_text.substr(0, m_text.size() - 1);
            m_text.clear();
            m_synced = true;
            if (m_head.size() >= kRecord)
                fault_locked(where() + "no newline in the first " + std::to_string(m_head.size()) +
                             " bytes");
            return;
        }
        if (m_text.size() < kRecord)
            return;
        char* end = nullptr;
        const unsigned long long number = std::strtoull(m_text.c_str(), &end, 10);
        if (m_text.back() != '\n' || end != m_text.c_str() + kRecord - 1) {
            fault_locked(where() + "a broken record \"" + m_text.substr(0, kRecord - 1) + "\"");
        } else if (m_last < 0) {
            // The bytes before the first newline end the record before this one.
            const std::string before = number ? record_text(number - 1) : std::string("\n");
            if (m_head.size() >= before.size() ||
                before.compare(before.size() - 1 - m_head.size(), m_head.size(), m_head) != 0)
                fault_locked(where() + "\"" + m_head + "\" does not end record " +
                             std::to_string(number) + " - 1");
        } else if (number != static_cast<unsigned long long>(m_last) + 1) {
            fault_locked(where() + "record " + std::to_string(number) + " after " +
                         std::to_string(m_last));
        }
        m_last = static_cast<long long>(number);
        ++g_counters["records"];
        m_text.clear();
    }
    std::string where() const { return "COM" + std::to_string(m_port) + ": "; }

    const LONG m_port;
    bool m_synced = false;
    std::string m_head;
    std::string m_text;
    long long m_last = -1;
};

// Refuses about a third of the changes it is asked about.
class PropertySink : public platform::testing::counted<IPropertyNotifySink> {
public:
    explicit PropertySink(unsigned seed) : m_random(seed) {}
    STDMETHODIMP OnChanged(DISPID) override
    {
        count("changed_told");
        return S_OK;
    }
    STDMETHODIMP OnRequestEdit(DISPID) override
    {
        const bool refuse = std::uniform_int_distribution<int>(0, 2)(m_random) == 0;
        count(refuse ? "requests_refused" : "requests_allowed");
        return refuse ? S_FALSE : S_OK;
    }

private:
    std::mt19937 m_random;
};

struct Held {
    LONG port = 0;
    ISerialPort* pPort = nullptr;
    IConnectionPoint* pEvents = nullptr;
    IConnectionPoint* pProps = nullptr;
    StreamSink* pStream = nullptr;  // advised now, or null
    DWORD dwStream = 0;
    DWORD dwProps = 0;
};

class Client {
public:
    Client(int ports, unsigned seed) : m_ports(ports), m_random(seed), m_propSink(seed + 1) {}

    bool connect()
    {
        return CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                reinterpret_cast<void**>(&m_pTethra)) == S_OK;
    }

    // One action at random.
    void act()
    {
        const int choice = pick(0, 99);
        if (m_held.empty() || (m_held.size() < 2 && choice < 8)) {
            open();
            return;
        }
        Held& held = m_held[pick(0, static_cast<int>(m_held.size()) - 1)];
        if (choice < 14)
            close(held);
        else if (choice < 44)
            send(held);
        else if (choice < 56)
            put(held);
        else if (choice < 64)
            get(held);
        else if (choice < 82)
            toggle_stream(held);
        else
            toggle_props(held);
    }

    // The end check: every advised sink has the records up to counts[port] - 1.
    void final_check(const std::vector<unsigned long long>& counts)
    {
        std::unique_lock lock(g_mutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (const Held& held : m_held) {
            if (!held.pStream || held.port < 1 || static_cast<std::size_t>(held.port) > counts.size())
                continue;
            const long long want = static_cast<long long>(counts[held.port - 1]) - 1;
            g_changed.wait_until(lock, deadline, [&] { return held.pStream->last() >= want; });
            if (held.pStream->last() != want)
                fault_locked("COM" + std::to_string(held.port) + ": the last record is " +
                             std::to_string(held.pStream->last()) + ", the far end's " +
                             std::to_string(want));
            ++g_counters["sinks_checked"];
        }
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_random); }

    void open()
    {
        Held held;
        held.port = pick(1, m_ports);
        HRESULT hr = m_pTethra->CreatePort(held.port, &held.pPort);
        if (hr != S_OK) {
            fault("CreatePort(" + std::to_string(held.port) + ") gave " + std::to_string(hr));
            return;
        }
        IConnectionPointContainer* pContainer = nullptr;
        if (held.pPort->QueryInterface(IID_IConnectionPointContainer,
                                       reinterpret_cast<void**>(&pContainer)) != S_OK ||
            pContainer->FindConnectionPoint(DIID__ISerialPortEvents, &held.pEvents) != S_OK ||
            pContainer->FindConnectionPoint(IID_IPropertyNotifySink, &held.pProps) != S_OK)
            fault("no connection points");
        if (pContainer)
            pContainer->Release();
        count("opens");
        m_held.push_back(held);
        if (pick(0, 1))
            toggle_stream(m_held.back());
    }

    void close(Held& held)
    {
        // Half the time the sinks go with the object, unadvised by nobody.
        if (pick(0, 1)) {
            if (held.pStream)
                toggle_stream(held);
            if (held.dwProps)
                toggle_props(held);
        }
        if (held.pEvents)
            held.pEvents->Release();
        if (held.pProps)
            held.pProps->Release();
        held.pPort->Release();
        count("closes");
        // A sink whose object went is no longer checked.
        m_held.erase(m_held.begin() + (&held - m_held.data()));
    }

    void send(Held& held)
    {
        const bool bSync = pick(0, 1);
        const ULONG n = static_cast<ULONG>(pick(1, 512));
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = SafeArrayCreateVector(VT_UI1, 0, n);
        for (ULONG i = 0; i < n; ++i)
            static_cast<BYTE*>(v.parray->pvData)[i] = static_cast<BYTE>('a' + i % 26);
        const HRESULT hr = held.pPort->Send(v, bSync ? VARIANT_TRUE : VARIANT_FALSE);
        VariantClear(&v);
        if (hr != S_OK)
            fault("Send gave " + std::to_string(hr));
        count(bSync ? "sends_sync" : "sends_async");
        count("bytes_sent", n);
    }

    void put(Held& held)
    {
        static const LONG kRates[] = {9600, 19200, 38400, 57600, 115200};
        const HRESULT hr = held.pPort->put_BaudRate(kRates[pick(0, 4)]);
        if (hr == S_OK)
            count("puts_done");
        else if (hr == E_FAIL)
            count("puts_refused");  // another client's sink said no
        else if (hr == HRESULT_FROM_WIN32(1131))  // ERROR_POSSIBLE_DEADLOCK
            count("puts_busy");  // this client's own sink is being asked about a change
        else
            fault("put_BaudRate gave " + std::to_string(hr));
    }

    void get(Held& held)
    {
        ULONG lBaud = 0;
        if (held.pPort->get_BaudRate(&lBaud) != S_OK || lBaud == 0)
            fault("get_BaudRate failed");
        count("gets");
    }

    void toggle_stream(Held& held)
    {
        if (held.pStream) {
            if (held.pEvents->Unadvise(held.dwStream) != S_OK)
                fault("Unadvise of the event sink failed");
            // The library withdraws the sink: no call reaches it any more.
            std::lock_guard lock(g_mutex);
            m_retired.push_back(std::unique_ptr<StreamSink>(held.pStream));
            held.pStream = nullptr;
            ++g_counters["unadvises"];
            return;
        }
        auto sink = std::make_unique<StreamSink>(held.port);
        if (held.pEvents->Advise(sink.get(), &held.dwStream) != S_OK) {
            fault("Advise of the event sink failed");
            return;
        }
        held.pStream = sink.release();
        count("advises");
    }

    void toggle_props(Held& held)
    {
        if (held.dwProps) {
            if (held.pProps->Unadvise(held.dwProps) != S_OK)
                fault("Unadvise of the property sink failed");
            held.dwProps = 0;
            return;
        }
        if (held.pProps->Advise(&m_propSink, &held.dwProps) != S_OK)
            fault("Advise of the property sink failed");
    }

    const int m_ports;
    std::mt19937 m_random;
    ITethra* m_pTethra = nullptr;
    std::vector<Held> m_held;
    PropertySink m_propSink;
    std::vector<std::unique_ptr<StreamSink>> m_retired;
};

// Standard input, read on a thread of its own so that the actions never wait for it.
struct Commands {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    const int ports = std::atoi(argv[1]);
    const unsigned seed = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    g_seed = seed;
    g_faults = std::fopen(argv[3], "a");
    if (!g_faults)
        return 2;
    Client client(ports, seed);
    if (!client.connect()) {
        fault("no connection to the server");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    static Commands commands;
    std::thread([] {
        std::string line;
        while (std::getline(std::cin, line)) {
            std::lock_guard lock(commands.mutex);
            commands.lines.push_back(line);
            commands.changed.notify_all();
        }
    }).detach();

    std::mt19937 pause(seed + 2);
    bool quiet = false;
    for (;;) {
        std::string line;
        {
            std::unique_lock lock(commands.mutex);
            const auto wait = std::chrono::milliseconds(std::uniform_int_distribution<int>(2, 30)(pause));
            if (quiet)
                commands.changed.wait(lock, [] { return !commands.lines.empty(); });
            else
                commands.changed.wait_for(lock, wait, [] { return !commands.lines.empty(); });
            if (!commands.lines.empty()) {
                line = commands.lines.front();
                commands.lines.erase(commands.lines.begin());
            }
        }
        if (line == "quiesce") {
            quiet = true;
            std::printf("quiet\n");
            std::fflush(stdout);
        } else if (line.rfind("final", 0) == 0) {
            std::istringstream words(line.substr(5));
            std::vector<unsigned long long> counts;
            for (unsigned long long n = 0; words >> n;)
                counts.push_back(n);
            client.final_check(counts);
            std::lock_guard lock(g_mutex);
            std::printf("result");
            for (const auto& [name, value] : g_counters)
                std::printf(" %s %llu", name.c_str(), value);
            std::printf("\n");
            std::fflush(stdout);
            std::fclose(g_faults);
            // What the process holds goes with it, as with a client that ends abruptly.
            std::_Exit(0);
        } else if (!quiet) {
            client.act();
        }
    }
}
