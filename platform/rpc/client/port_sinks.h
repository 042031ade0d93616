// The two sinks a client program gives one port, on one object: _ISerialPortEvents for
// what the port produces and IPropertyNotifySink for the settings other clients change.
// A derived class writes the five notifications; this class answers QueryInterface for
// both interfaces, counts references and advises and unadvises both sinks.
//
// The object lives where its owner puts it (a member, the stack); its reference count
// only tells when the client library has let go of it. The library calls the sinks on
// its own thread, and a notification under way when the sinks are unadvised holds a
// reference until its call returns. So the derived class's destructor calls unadvise()
// and then wait_released() before anything its notifications use goes away; this
// class's destructor does both again as a last resort, when only its own part is left.
#pragma once

#include "idl/tethra.h"

#include <condition_variable>
#include <mutex>

namespace platform::rpc::client {

class port_sinks : public platform::dispatch_impl<_ISerialPortEvents>,
                   public IPropertyNotifySink {
public:
    port_sinks() = default;
    port_sinks(const port_sinks&) = delete;
    port_sinks& operator=(const port_sinks&) = delete;
    virtual ~port_sinks();

    // Advises both sinks on port (any of its interfaces). S_OK, or the HRESULT of the
    // first call that failed, with neither sink left advised.
    HRESULT advise(IUnknown* port);
    // Unadvises whatever advise() advised; after it returns the port calls neither sink
    // again (one call may still be under way: wait_released()). Harmless when nothing is
    // advised.
    void unadvise();
    // Blocks until no reference to the sinks is held.
    void wait_released();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) final;
    STDMETHODIMP_(ULONG) AddRef() final;
    STDMETHODIMP_(ULONG) Release() final;

private:
    IConnectionPoint* events_point_ = nullptr;
    IConnectionPoint* notify_point_ = nullptr;
    DWORD events_cookie_ = 0;
    DWORD notify_cookie_ = 0;
    std::mutex mutex_;
    std::condition_variable released_;
    ULONG refs_ = 0;
};

}  // namespace platform::rpc::client
