// A client's two sinks on one port, for watch and term: everything the port produces
// (_ISerialPortEvents) and the settings changes other clients make (IPropertyNotifySink),
// handed to a listener. Every change another client asks about is allowed.
//
// The client library calls the sinks on its own thread, one call at a time, so a
// listener needs no lock against itself.
#pragma once

#include "tools/tethra/tethra.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace tethra {

class PortListener {
public:
    virtual ~PortListener() = default;
    virtual void OnData(const BYTE* pData, ULONG cb) = 0;
    virtual void OnPortEvent(LONG event) = 0;
    virtual void OnError(LONG error) = 0;
    // Another client changed a setting; its new value is read on the listener's behalf.
    virtual void OnChanged(const Property& property, HRESULT hrRead, const VARIANT& value) = 0;
};

class PortSinks : public platform::dispatch_impl<_ISerialPortEvents>, public IPropertyNotifySink {
public:
    explicit PortSinks(PortListener* pListener) : m_pListener(pListener) {}
    // Waits until the client library has let go of both sinks.
    ~PortSinks();

    // Advises both sinks on the port; the HRESULT of the first that fails.
    HRESULT Advise(ISerialPort* pPort);
    // Unadvises both; after it returns no call reaches the listener.
    void Unadvise();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP OnData(VARIANT data) override;
    STDMETHODIMP OnPortEvent(EventConstants event) override;
    STDMETHODIMP OnError(ErrorConstants error) override;

    STDMETHODIMP OnChanged(DISPID dispID) override;
    STDMETHODIMP OnRequestEdit(DISPID dispID) override;

private:
    PortListener* m_pListener;
    ISerialPort* m_pPort = nullptr;
    IConnectionPoint* m_pEventsCP = nullptr;
    IConnectionPoint* m_pNotifyCP = nullptr;
    DWORD m_dwEventsCookie = 0;
    DWORD m_dwNotifyCookie = 0;
    std::mutex m_mutex;
    std::condition_variable m_cvFree;
    ULONG m_cRef = 0;
};

}  // namespace tethra
