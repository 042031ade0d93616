// A client's two sinks on one port, for watch and term: everything the port produces
// (_ISerialPortEvents) and the settings changes other clients make (IPropertyNotifySink),
// handed to a listener. Every change another client asks about is allowed.
//
// The client library calls the sinks on its own thread, one call at a time, so a
// listener needs no lock against itself.
#pragma once

#include "platform/rpc/client/port_sinks.h"
#include "tools/tethra/tethra.h"

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

class PortSinks : public platform::rpc::client::port_sinks {
public:
    explicit PortSinks(PortListener* pListener) : m_pListener(pListener) {}
    // Unadvises and waits until the client library has let go of both sinks.
    ~PortSinks() override;

    // Advises both sinks on the port; the HRESULT of the first that fails.
    HRESULT Advise(ISerialPort* pPort);
    // Unadvises both; after it returns no call reaches the listener.
    void Unadvise();

    STDMETHODIMP OnData(VARIANT data) override;
    STDMETHODIMP OnPortEvent(EventConstants event) override;
    STDMETHODIMP OnError(ErrorConstants error) override;

    STDMETHODIMP OnChanged(DISPID dispID) override;
    STDMETHODIMP OnRequestEdit(DISPID dispID) override;

private:
    PortListener* m_pListener;
    ISerialPort* m_pPort = nullptr;
};

}  // namespace tethra
