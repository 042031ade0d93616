// tethra-demo: two client processes share COM1, a virtual serial port, through the
// tethra-server that the bus starts for them, and the program plays the far end.
//
//   tethra-demo PORT PEER CLIENT_B...
//
// PORT becomes COM1 in the registry store named by TETHRA_REGISTRY_FILE (the bus and the
// server it starts must see the same store); PEER is the far end of the pair. This
// program is client A, written in C++ on the client library; CLIENT_B... is the command
// of client B, a process of its own (the Python client beside this file), driven on its
// standard input. The transcript shows what each client receives, what the far end
// receives, how a setting change is asked about and announced, and when the server
// starts and ends.
#include "idl/tethra.h"
#include "platform/comm/comm.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client/client.h"
#include "platform/rpc/client/port_sinks.h"
#include "platform/testing/process.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_print;

void Say(const char* format, ...)
{
    std::lock_guard lock(g_print);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// The property's name, from the type information of ISerialPort.
const char* PropertyName(DISPID dispID)
{
    const platform::member_info* member = platform::find_member(
        platform::type_info_of<ISerialPort>(), dispID, INVOKE_PROPERTYGET);
    return member ? member->name : "?";
}

std::string Printable(const std::string& bytes)
{
    std::string out;
    for (char c : bytes) {
        if (c == '\r' || c == '\n')
            continue;
        out += (c >= 0x20 && c < 0x7f) ? c : '.';
    }
    return out;
}

// ---- the far end of the line -------------------------------------------------------------------

class Peer {
public:
    virtual ~Peer() = default;
    virtual bool Send(const std::string& bytes) = 0;
    // Up to count bytes, waiting at most a few seconds.
    virtual std::string Receive(std::size_t count) = 0;
};

// The other end of a pair made elsewhere, opened through the serial driver.
class DevicePeer : public Peer {
public:
    explicit DevicePeer(const std::string& path)
    {
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        COMMTIMEOUTS timeouts{50, 0, 5000, 0, 0};
        SetCommTimeouts(handle_, &timeouts);
    }
    ~DevicePeer() override
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
        CloseHandle(event_);
    }
    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool Send(const std::string& bytes) override
    {
        OVERLAPPED ov{};
        ov.hEvent = event_;
        DWORD written = 0;
        if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &ov) &&
            (GetLastError() != ERROR_IO_PENDING ||
             !GetOverlappedResult(handle_, &ov, &written, TRUE)))
            return false;
        return written == bytes.size();
    }
    std::string Receive(std::size_t count) override
    {
        std::string bytes;
        while (bytes.size() < count) {
            std::vector<char> buffer(count - bytes.size());
            OVERLAPPED ov{};
            ov.hEvent = event_;
            DWORD got = 0;
            if (!ReadFile(handle_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, &ov) &&
                (GetLastError() != ERROR_IO_PENDING ||
                 !GetOverlappedResult(handle_, &ov, &got, TRUE)))
                break;
            if (got == 0)
                break;
            bytes.append(buffer.data(), got);
        }
        return bytes;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
};

// ---- a client: its port object, its event sink and its property sink ------------------------------

class Client : public platform::rpc::client::port_sinks {
public:
    Client(const char* name, ISerialPort* pPort) : name_(name), port_(pPort) {}
    // A notification still under way when the port goes keeps its own reference until
    // its call returns: wait for it before the sink goes away.
    ~Client() override
    {
        unadvise();
        wait_released();
    }

    // ---- _ISerialPortEvents: whole lines are printed as they complete
    STDMETHODIMP OnData(VARIANT data) override
    {
        if (data.vt != (VT_ARRAY | VT_UI1) || !data.parray)
            return E_INVALIDARG;
        std::unique_lock lock(mutex_);
        pending_.append(static_cast<const char*>(data.parray->pvData),
                        data.parray->rgsabound[0].cElements);
        std::size_t end;
        while ((end = pending_.find('\n')) != std::string::npos) {
            const std::string line = Printable(pending_.substr(0, end));
            pending_.erase(0, end + 1);
            ++lines_;
            Say("  [%s] received: %s\n", name_, line.c_str());
        }
        changed_.notify_all();
        return S_OK;
    }
    STDMETHODIMP OnPortEvent(EventConstants event) override
    {
        Say("  [%s] line event %d\n", name_, static_cast<int>(event));
        return S_OK;
    }
    STDMETHODIMP OnError(ErrorConstants error) override
    {
        Say("  [%s] line error %d\n", name_, static_cast<int>(error));
        return S_OK;
    }

    // ---- IPropertyNotifySink: asked before, told after another client's change
    STDMETHODIMP OnRequestEdit(DISPID dispID) override
    {
        const bool allow = dispID != refuse_;
        Say("  [%s] asked: may %s (%d) change? %s\n", name_, PropertyName(dispID),
            static_cast<int>(dispID), allow ? "yes" : "no");
        return allow ? S_OK : S_FALSE;
    }
    STDMETHODIMP OnChanged(DISPID dispID) override
    {
        if (dispID == DISPID_ISerialPort_BaudRate) {
            ULONG baud = 0;
            port_->get_BaudRate(&baud);  // reading the port from inside the notification
            Say("  [%s] told: BaudRate is now %lu\n", name_, static_cast<unsigned long>(baud));
        } else {
            Say("  [%s] told: %s (%d) changed\n", name_, PropertyName(dispID),
                static_cast<int>(dispID));
        }
        return S_OK;
    }

    bool WaitLines(int count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return lines_ >= count; });
    }
    void Connect() { advise(port_); }
    HRESULT Send(const std::string& text, bool synchronous)
    {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(text.size()));
        std::copy(text.begin(), text.end(), static_cast<char*>(v.parray->pvData));
        HRESULT hr = port_->Send(v, synchronous ? VARIANT_TRUE : VARIANT_FALSE);
        VariantClear(&v);
        return hr;
    }
    ISerialPort* Port() const { return port_; }
    void Refuse(DISPID dispID) { refuse_ = dispID; }

private:
    const char* name_;
    ISerialPort* port_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string pending_;
    int lines_ = 0;
    DISPID refuse_ = 0;
};

const char* Result(HRESULT hr)
{
    switch (hr) {
    case S_OK:
        return "S_OK";
    case S_FALSE:
        return "S_FALSE";
    case E_FAIL:
        return "E_FAIL";
    case E_INVALIDARG:
        return "E_INVALIDARG";
    case E_UNEXPECTED:
        return "E_UNEXPECTED";
    default:
        return "an error";
    }
}

// The process that owns "Ostra.Tethra" on the bus now, or 0.
int ServerPid()
{
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    std::string output;
    if (!address ||
        platform::testing::run_program({"/usr/bin/env", "busctl", std::string("--address=") + address,
                                        "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s",
                                        "Ostra.Tethra"},
                                       &output) != 0)
        return 0;
    int pid = 0;
    std::sscanf(output.c_str(), "u %d", &pid);
    return pid;
}

LONG MapPort(const std::string& path, const char* name)
{
    HKEY hKey = nullptr;
    LONG lResult = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                   nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &hKey,
                                   nullptr);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    lResult = RegSetValueExA(hKey, path.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                             static_cast<DWORD>(std::strlen(name) + 1));
    RegCloseKey(hKey);
    return lResult;
}

// Client B, a process of its own: its lines are printed as they come, and the story
// waits for the ones it needs.
class ClientB {
public:
    explicit ClientB(const std::vector<std::string>& argv) : child_(argv, true)
    {
        reader_ = std::thread([this] {
            for (std::string line; !(line = child_.read_line()).empty();) {
                Say("%s\n", line.c_str());
                std::lock_guard lock(mutex_);
                lines_.push_back(line);
                arrived_.notify_all();
            }
        });
    }
    ~ClientB()
    {
        child_.kill();
        reader_.join();
    }
    bool WaitFor(const char* text)
    {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::seconds(10), [&] {
            for (; seen_ < lines_.size(); ++seen_)
                if (lines_[seen_].find(text) != std::string::npos) {
                    ++seen_;
                    return true;
                }
            return false;
        });
    }
    void Tell(const std::string& command) { child_.write_line(command); }
    int Wait() { return child_.wait(10000); }

private:
    platform::testing::child child_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> lines_;
    std::size_t seen_ = 0;
};

int Run(const std::string& port_path, Peer& peer, const std::vector<std::string>& client_b)
{
    if (MapPort(port_path, "COM1") != ERROR_SUCCESS) {
        std::fprintf(stderr, "tethra-demo: cannot map %s to COM1\n", port_path.c_str());
        return 1;
    }
    Say("COM1 is %s (mapped in %s).\n", port_path.c_str(), std::getenv("TETHRA_REGISTRY_FILE"));
    Say("Before the first call, %s.\n\n",
        ServerPid() ? "a tethra-server is running already" : "no tethra-server is running");

    Say("Client A (this program, C++ on the client library) creates Ostra.Tethra:\n");
    CLSID clsid = CLSID_NULL;
    ITethra* pTethra = nullptr;
    HRESULT hr = CLSIDFromProgID("Ostra.Tethra", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                              reinterpret_cast<void**>(&pTethra));
    if (FAILED(hr)) {
        std::fprintf(stderr, "tethra-demo: CoCreateInstance failed: 0x%08X\n",
                     static_cast<unsigned>(hr));
        return 1;
    }
    const int server = ServerPid();
    Say("  the bus started tethra-server (pid %d) for that first call\n", server);
    ISerialPort* pA = nullptr;
    hr = pTethra->CreatePort(1, &pA);
    Say("  [A] CreatePort(1) -> %s\n", Result(hr));
    if (FAILED(hr)) {
        pTethra->Release();
        return 1;
    }
    int result = 0;
    {
        Client a("A", pA);
        a.Connect();

        Say("\nClient B (Python on python3-dbus, another process) opens COM1 too:\n");
        ClientB b(client_b);
        if (!b.WaitFor("ready")) {
            std::fprintf(stderr, "tethra-demo: client B did not start\n");
            pA->Release();
            pTethra->Release();
            return 1;
        }

        Say("\nThe far end sends three lines; both clients receive each of them:\n");
        peer.Send("hello from the far end\r\nsecond line\r\nthird line\r\n");
        if (!a.WaitLines(3) || !b.WaitFor("third line"))
            result = 1;

        Say("\nEach client sends a line; the far end receives both:\n");
        Say("  [A] Send -> %s\n", Result(a.Send("A says hi\r\n", false)));
        b.Tell("send B says hello");
        const std::string got = peer.Receive(std::string("A says hi\r\nB says hello\r\n").size());
        b.WaitFor("Send ->");
        std::size_t start = 0, end;
        while ((end = got.find('\n', start)) != std::string::npos) {
            Say("  [far end] received: %s\n", Printable(got.substr(start, end - start)).c_str());
            start = end + 1;
        }

        Say("\nA changes the baud rate; B is asked first and told after:\n");
        Say("  [A] put_BaudRate(115200) -> %s\n", Result(a.Port()->put_BaudRate(115200)));
        b.WaitFor("told: BaudRate");

        Say("\nB now refuses baud-rate changes, so A's next change fails and the port keeps "
            "its rate:\n");
        b.Tell("refuse BaudRate");
        b.WaitFor("refuses changes");
        Say("  [A] put_BaudRate(9600) -> %s\n", Result(a.Port()->put_BaudRate(9600)));
        ULONG baud = 0;
        a.Port()->get_BaudRate(&baud);
        Say("  [A] get_BaudRate -> %lu\n", static_cast<unsigned long>(baud));
        if (baud != 115200)
            result = 1;

        Say("\nB allows changes again, and A's change goes through:\n");
        b.Tell("allow");
        b.WaitFor("allows");
        Say("  [A] put_BaudRate(9600) -> %s\n", Result(a.Port()->put_BaudRate(9600)));
        b.WaitFor("told: BaudRate");
        a.Port()->get_BaudRate(&baud);
        Say("  [A] get_BaudRate -> %lu\n", static_cast<unsigned long>(baud));
        if (baud != 9600)
            result = 1;

        Say("\nB releases its objects and ends; A releases its own:\n");
        b.Tell("quit");
        if (b.Wait() != 0)
            result = 1;
        pA->Release();
        pTethra->Release();
    }
    const auto released = std::chrono::steady_clock::now();
    Say("  COM1 is closed with the last client object. tethra-server waits 5 seconds for a\n"
        "  new client, then ends by itself...\n");
    if (server > 0 && platform::testing::wait_process_end(server, 15000)) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - released)
                            .count();
        Say("  tethra-server (pid %d) ended %.1f s after the last release (5 s without a\n"
            "  client, then 1 s for calls still under way).\n",
            server, static_cast<double>(ms) / 1000.0);
    } else {
        Say("  tethra-server did not end.\n");
        result = 1;
    }
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: tethra-demo PORT PEER CLIENT_B...\n");
        return 2;
    }
    DevicePeer peer(argv[2]);
    if (!peer.ok()) {
        std::fprintf(stderr, "tethra-demo: cannot open %s\n", argv[2]);
        return 1;
    }
    return Run(argv[1], peer, std::vector<std::string>(argv + 3, argv + argc));
}
