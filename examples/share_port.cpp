// Shares a serial port through tethra-server from C++, on the client library.
//
//   share_port COMn
//
// Opens the port, sends one greeting line, waits up to 30 seconds for one line from the
// device, prints it as "received: ..." and ends (0, or 1 when nothing came).
#include "platform/rpc/client/client.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

// The event sink: the library calls OnData on its own thread.
class Events : public platform::dispatch_impl<_ISerialPortEvents> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid != IID_IUnknown && riid != IID_IDispatch && riid != DIID__ISerialPortEvents)
            return *ppv = nullptr, E_NOINTERFACE;
        *ppv = static_cast<_ISerialPortEvents*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on main's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnData(VARIANT data) override
    {
        std::lock_guard lock(mutex);
        text.append(static_cast<const char*>(data.parray->pvData), data.parray->rgsabound[0].cElements);
        arrived.notify_all();
        return S_OK;
    }
    STDMETHODIMP OnPortEvent(EventConstants) override { return S_OK; }
    STDMETHODIMP OnError(ErrorConstants) override { return S_OK; }

    std::mutex mutex;
    std::condition_variable arrived;
    std::string text;
};

int main(int argc, char** argv)
{
    const long number = argc > 1 ? std::strtol(argv[1] + (std::strncmp(argv[1], "COM", 3) ? 0 : 3), nullptr, 10) : 0;
    CLSID clsid;
    ITethra* pTethra = nullptr;
    ISerialPort* pPort = nullptr;
    if (number <= 0 || FAILED(CLSIDFromProgID("Ostra.Tethra", &clsid)) ||
        FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                reinterpret_cast<void**>(&pTethra))) ||
        FAILED(pTethra->CreatePort(number, &pPort))) {
        std::fprintf(stderr, "cannot open the port\n");
        return 1;
    }
    Events events;
    IConnectionPointContainer* pContainer = nullptr;
    IConnectionPoint* pPoint = nullptr;
    DWORD dwCookie = 0;
    pPort->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&pContainer));
    pContainer->FindConnectionPoint(DIID__ISerialPortEvents, &pPoint);
    pPoint->Advise(&events, &dwCookie);

    const char greeting[] = "hello from C++\r\n";
    VARIANT data;
    VariantInit(&data);
    data.vt = VT_ARRAY | VT_UI1;
    data.parray = SafeArrayCreateVector(VT_UI1, 0, sizeof greeting - 1);
    std::memcpy(data.parray->pvData, greeting, sizeof greeting - 1);
    pPort->Send(data, VARIANT_TRUE);  // waits until the device has it
    VariantClear(&data);

    std::string line;
    {
        std::unique_lock lock(events.mutex);
        events.arrived.wait_for(lock, std::chrono::seconds(30),
                                [&] { return events.text.find('\n') != std::string::npos; });
        line = events.text.substr(0, events.text.find_first_of("\r\n"));
    }
    pPoint->Unadvise(dwCookie);  // no call reaches the sink after this
    pPoint->Release();
    pContainer->Release();
    pPort->Release();
    pTethra->Release();
    if (line.empty())
        return 1;
    std::printf("received: %s\n", line.c_str());
    return 0;
}
