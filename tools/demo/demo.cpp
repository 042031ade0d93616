// tethra-demo: two clients of one port registry share COM1, a virtual serial port, and
// the program plays the far end of the line.
//
//   tethra-demo                 makes its own pseudo-terminal pair
//   tethra-demo PORT PEER       uses a pair made elsewhere (socat): PORT becomes COM1,
//                               PEER is the far end
//
// COM1 is mapped in a registry store of its own (a temporary file), so the machine's
// settings are left alone. The transcript shows what each client receives, what the far
// end receives, and how a setting change is asked about and announced. Lines on standard
// error are the server objects' debugger output: one per interface query.
#include "idl/tethra.h"
#include "platform/com/com.h"
#include "platform/comm/comm.h"
#include "platform/testing/testing.h"
#include "server/Tethra.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
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

// The master of a pseudo-terminal pair made here.
class PtyPeer : public Peer {
public:
    explicit PtyPeer(platform::testing::pty_peer& pty) : pty_(pty) {}
    bool Send(const std::string& bytes) override { return pty_.send(bytes); }
    std::string Receive(std::size_t count) override
    {
        std::vector<BYTE> got = pty_.receive(count, 5000);
        return std::string(got.begin(), got.end());
    }

private:
    platform::testing::pty_peer& pty_;
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

class Client : public platform::dispatch_impl<_ISerialPortEvents>, public IPropertyNotifySink {
public:
    Client(const char* name, ISerialPort* pPort) : name_(name), port_(pPort) {}
    // A notification still under way when the port goes keeps its own reference until
    // its call returns: wait for it before the sink goes away.
    ~Client()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return refs_ == 0; });
    }

    // ---- IUnknown (the sinks live on main's stack; the count tells when they are free)
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__ISerialPortEvents) {
            *ppv = static_cast<_ISerialPortEvents*>(this);
        } else if (riid == IID_IPropertyNotifySink) {
            *ppv = static_cast<IPropertyNotifySink*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        std::lock_guard lock(mutex_);
        ULONG n = --refs_;
        if (n == 0)
            changed_.notify_all();
        return n;
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
    void Connect()
    {
        IConnectionPointContainer* container = nullptr;
        port_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
        for (const IID* iid : {&DIID__ISerialPortEvents, &IID_IPropertyNotifySink}) {
            IConnectionPoint* point = nullptr;
            DWORD cookie = 0;
            if (SUCCEEDED(container->FindConnectionPoint(*iid, &point))) {
                point->Advise(static_cast<_ISerialPortEvents*>(this), &cookie);
                point->Release();
            }
        }
        container->Release();
    }
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
    std::atomic<ULONG> refs_{0};
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

int Run(const std::string& port_path, Peer& peer)
{
    platform::testing::temp_registry registry;
    if (!registry.ready() || registry.map_port(port_path, 1) != ERROR_SUCCESS) {
        std::fprintf(stderr, "tethra-demo: cannot map %s to COM1\n", port_path.c_str());
        return 1;
    }
    Say("COM1 is %s (mapped in %s)\n\n", port_path.c_str(), registry.file().c_str());

    CTethra tethra;
    ISerialPort* pA = nullptr;
    ISerialPort* pB = nullptr;
    HRESULT hr = tethra.CreatePort(1, &pA);
    if (SUCCEEDED(hr))
        hr = tethra.CreatePort(1, &pB);
    if (FAILED(hr)) {
        std::fprintf(stderr, "tethra-demo: CreatePort(1) failed: %s\n", Result(hr));
        if (pA)
            pA->Release();
        return 1;
    }
    Say("Two clients, A and B, opened COM1 through one port registry: one shared port.\n\n");
    {
        Client a("A", pA);
        Client b("B", pB);
        a.Connect();
        b.Connect();

        Say("The far end sends three lines; both clients receive each of them:\n");
        peer.Send("hello from the far end\r\nsecond line\r\nthird line\r\n");
        a.WaitLines(3);
        b.WaitLines(3);

        Say("\nEach client sends a line (A asynchronously, B synchronously):\n");
        Say("  [A] Send -> %s\n", Result(a.Send("A says hi\r\n", false)));
        Say("  [B] Send -> %s\n", Result(b.Send("B says hello\r\n", true)));
        const std::string got = peer.Receive(std::string("A says hi\r\nB says hello\r\n").size());
        std::size_t start = 0, end;
        while ((end = got.find('\n', start)) != std::string::npos) {
            Say("  [far end] received: %s\n", Printable(got.substr(start, end - start)).c_str());
            start = end + 1;
        }

        Say("\nA changes the baud rate; B is asked first and told after:\n");
        Say("  [A] put_BaudRate(115200) -> %s\n", Result(a.Port()->put_BaudRate(115200)));

        Say("\nB refuses a change of the data bits, so the port keeps them:\n");
        b.Refuse(DISPID_ISerialPort_Bits);
        Say("  [A] put_Bits(7) -> %s\n", Result(a.Port()->put_Bits(7)));
        BYTE bits = 0;
        a.Port()->get_Bits(&bits);
        Say("  [A] get_Bits -> %d\n", bits);

        pA->Release();
        pB->Release();
    }
    Say("\nBoth clients released: the port is closed.\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int result = 1;
    if (argc == 3) {
        DevicePeer peer(argv[2]);
        if (!peer.ok()) {
            std::fprintf(stderr, "tethra-demo: cannot open %s\n", argv[2]);
        } else {
            result = Run(argv[1], peer);
        }
    } else if (argc == 1) {
        platform::testing::pty_peer pty;
        if (!pty.ready()) {
            std::fprintf(stderr, "tethra-demo: no pseudo-terminal\n");
        } else {
            PtyPeer peer(pty);
            result = Run(pty.path(), peer);
        }
    } else {
        std::fprintf(stderr, "usage: tethra-demo [PORT PEER]\n");
    }
    CoUninitialize();
    return result;
}
