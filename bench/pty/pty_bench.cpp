// tethra pty's cost: a pseudo-terminal's far end plays the device (COM7) of a server
// that a private bus starts; a program (this process, through the serial driver) on the
// virtual device of a tethra pty instance and a direct client of the client library (this
// process too) share the port. Figures, all from the same run:
// - device to clients: MiB/s until the program and the direct client have every byte,
//   beside a plain pseudo-terminal copy of the same size;
// - clients to device: MiB/s from the program's writes and from the direct client's
//   Sends until the far end has every byte;
// - one-byte latency each way (median, 99th percentile) for both.
// Prints figures; asserts nothing.
#include "idl/tethra.h"
#include "platform/comm/comm.h"
#include "platform/rpc/client/client.h"
#include "platform/rpc/testing/bus_fixture.h"
#include "platform/testing/process.h"
#include "platform/testing/testing.h"
#include "traffic/tests/test_sink.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr LONG kPort = 7;
// Under the 1 MiB that tethra pty queues for a program that reads slower than the port
// receives (past it, bytes are dropped as a UART overruns), plus what the pty holds.
constexpr std::size_t kStream = 1u << 20;
constexpr std::size_t kUpstream = 2u << 20;
constexpr int kPings = 200;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Mib(std::size_t bytes, double seconds)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
}

// A device opened through the serial driver, as a program opens a tty.
class Tty {
public:
    explicit Tty(const std::string& path)
    {
        h_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
        ev_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 10000, 0, 0};  // return what is there, else wait
        SetCommTimeouts(h_, &t);
    }
    ~Tty()
    {
        if (ok())
            CloseHandle(h_);
        CloseHandle(ev_);
    }
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    // Reads until count bytes came or a read times out; the count read.
    std::size_t Drain(std::size_t count)
    {
        std::vector<char> buffer(64 * 1024);
        std::size_t total = 0;
        while (total < count) {
            DWORD got = Transfer(false, buffer.data(),
                                 static_cast<DWORD>(std::min(buffer.size(), count - total)));
            if (got == 0)
                break;
            total += got;
        }
        return total;
    }
    bool Write(const char* data, std::size_t size)
    {
        return Transfer(true, const_cast<char*>(data), static_cast<DWORD>(size)) == size;
    }

private:
    DWORD Transfer(bool write, char* data, DWORD size)
    {
        OVERLAPPED ov{};
        ov.hEvent = ev_;
        DWORD done = 0;
        BOOL ok = write ? WriteFile(h_, data, size, &done, &ov) : ReadFile(h_, data, size, &done, &ov);
        if (!ok && (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h_, &ov, &done, TRUE)))
            return 0;
        return done;
    }
    HANDLE h_ = INVALID_HANDLE_VALUE;
    HANDLE ev_ = nullptr;
};

// The direct client's sink: counts bytes and wakes a waiter.
class CountingSink : public SinkBase {
public:
    ~CountingSink() { wait_refs(0); }
    STDMETHODIMP OnData(VARIANT data) override
    {
        std::lock_guard lock(mutex_);
        bytes_ += data.parray ? data.parray->rgsabound[0].cElements : 0;
        last_ = Clock::now();
        cv_.notify_all();
        return S_OK;
    }
    STDMETHODIMP OnPortEvent(EventConstants) override { return S_OK; }
    STDMETHODIMP OnError(ErrorConstants) override { return S_OK; }
    bool WaitFor(std::size_t total)
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return bytes_ >= total; });
    }
    std::size_t Bytes()
    {
        std::lock_guard lock(mutex_);
        return bytes_;
    }
    // When the last bytes came.
    Clock::time_point Last()
    {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::size_t bytes_ = 0;
    Clock::time_point last_;
};

HRESULT SendBytes(ISerialPort* port, const char* data, std::size_t size, bool synchronous)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
    std::copy(data, data + size, static_cast<char*>(v.parray->pvData));
    const HRESULT hr = port->Send(v, synchronous ? VARIANT_TRUE : VARIANT_FALSE);
    VariantClear(&v);
    return hr;
}

void PrintLatency(const char* what, std::vector<double>& us)
{
    if (us.empty()) {
        std::printf("  %-44s no samples\n", what);
        return;
    }
    std::sort(us.begin(), us.end());
    std::printf("  %-44s median %7.0f us   p99 %7.0f us\n", what, us[us.size() / 2],
                us[us.size() * 99 / 100]);
}

int Run()
{
    platform::testing::temp_registry registry;
    const fs::path dir = fs::path(registry.file()).parent_path();
    platform::testing::set_environment("XDG_DATA_HOME", (dir / "data").c_str());
    if (platform::testing::run_program({TETHRA_SERVER, "-RegServer"}) != 0)
        return 1;
    platform::rpc::testing::private_bus bus;
    if (!bus.ready())
        return 1;
    fs::copy_file(dir / "data/dbus-1/services/Ostra.Tethra.service",
                  fs::path(bus.service_dir()) / "Ostra.Tethra.service");
    platform::testing::pty_peer device;
    registry.map_port(device.path(), kPort);

    const std::string link = (dir / "COM7.link").string();
    platform::testing::child instance({TETHRA, "pty", "COM7", "--link", link}, true);
    const std::string started = instance.read_line();
    if (started.find(" is ") == std::string::npos) {
        std::fprintf(stderr, "pty_bench: tethra pty did not start\n");
        return 1;
    }
    Tty program(link);

    CLSID clsid = CLSID_NULL;
    ITethra* pTethra = nullptr;
    ISerialPort* pPort = nullptr;
    CLSIDFromProgID("Ostra.Tethra", &clsid);
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                reinterpret_cast<void**>(&pTethra))) ||
        FAILED(pTethra->CreatePort(kPort, &pPort)) || !program.ok()) {
        std::fprintf(stderr, "pty_bench: no port\n");
        return 1;
    }
    CountingSink sink;
    IConnectionPointContainer* pContainer = nullptr;
    IConnectionPoint* pPoint = nullptr;
    DWORD cookie = 0;
    pPort->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&pContainer));
    pContainer->FindConnectionPoint(DIID__ISerialPortEvents, &pPoint);
    pPoint->Advise(&sink, &cookie);

    std::printf("tethra pty bench (figures taken on this machine as it is loaded now)\n");
    const std::string stream(kStream, 'x');

    // Reference: a plain pseudo-terminal copy of the same size.
    {
        platform::testing::pty_peer plain;
        Tty reader(plain.path());
        const auto start = Clock::now();
        std::thread writer([&] { plain.send(stream); });
        const std::size_t got = reader.Drain(kStream);
        writer.join();
        std::printf("  %-44s %8.1f MiB/s (%zu bytes)\n", "plain pty copy", Mib(got, Seconds(start)), got);
    }

    // Device to both clients at once.
    {
        const std::size_t before = sink.Bytes();
        const auto start = Clock::now();
        std::thread writer([&] { device.send(stream); });
        const std::size_t got = program.Drain(kStream);
        const double program_s = Seconds(start);
        sink.WaitFor(before + kStream);
        const double direct_s = std::chrono::duration<double>(sink.Last() - start).count();
        writer.join();
        std::printf("  %-44s %8.1f MiB/s (%zu bytes)\n", "device -> program on the virtual tty",
                    Mib(got, program_s), got);
        std::printf("  %-44s %8.1f MiB/s (%zu bytes)\n", "device -> direct client (same stream)",
                    Mib(sink.Bytes() - before, direct_s), sink.Bytes() - before);
    }

    // Clients to the device.
    {
        const std::string up(kUpstream, 'u');
        auto start = Clock::now();
        std::thread writer([&] { program.Write(up.data(), up.size()); });
        std::vector<BYTE> got = device.receive(kUpstream, 10000);
        writer.join();
        std::printf("  %-44s %8.1f MiB/s (%zu bytes)\n", "program on the virtual tty -> device",
                    Mib(got.size(), Seconds(start)), got.size());
        start = Clock::now();
        std::thread sender([&] {
            for (std::size_t at = 0; at < up.size(); at += 64 * 1024)
                SendBytes(pPort, up.data() + at, std::min<std::size_t>(64 * 1024, up.size() - at), false);
        });
        got = device.receive(kUpstream, 10000);
        sender.join();
        std::printf("  %-44s %8.1f MiB/s (%zu bytes)\n", "direct client (async Send) -> device",
                    Mib(got.size(), Seconds(start)), got.size());
    }

    // One byte each way, one at a time.
    {
        std::vector<double> to_program, to_direct, from_program, from_direct;
        for (int i = 0; i < kPings; ++i) {
            const std::size_t before = sink.Bytes();
            const auto start = Clock::now();
            device.send("p", 1);
            if (program.Drain(1) == 1)
                to_program.push_back(Seconds(start) * 1e6);
            if (sink.WaitFor(before + 1))
                to_direct.push_back(
                    std::chrono::duration<double, std::micro>(sink.Last() - start).count());
        }
        for (int i = 0; i < kPings; ++i) {
            auto start = Clock::now();
            program.Write("q", 1);
            if (device.receive(1, 5000).size() == 1)
                from_program.push_back(Seconds(start) * 1e6);
            start = Clock::now();
            SendBytes(pPort, "r", 1, false);
            if (device.receive(1, 5000).size() == 1)
                from_direct.push_back(Seconds(start) * 1e6);
        }
        PrintLatency("1 byte device -> program", to_program);
        PrintLatency("1 byte device -> direct client", to_direct);
        PrintLatency("1 byte program -> device", from_program);
        PrintLatency("1 byte direct client -> device", from_direct);
    }

    pPoint->Unadvise(cookie);
    pPoint->Release();
    pContainer->Release();
    pPort->Release();
    pTethra->Release();
    platform::testing::run_program({"/bin/kill", "-TERM", std::to_string(instance.pid())});
    instance.wait(10000);
    return 0;
}

}  // namespace

int main()
{
    return Run();
}
