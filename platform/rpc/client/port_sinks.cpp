#include "platform/rpc/client/port_sinks.h"

#include <initializer_list>
#include <utility>

namespace platform::rpc::client {

namespace {

HRESULT advise_one(IUnknown* port, REFIID riid, IUnknown* sink, IConnectionPoint** point,
                   DWORD* cookie)
{
    IConnectionPointContainer* container = nullptr;
    HRESULT hr = port->QueryInterface(IID_IConnectionPointContainer,
                                      reinterpret_cast<void**>(&container));
    if (FAILED(hr))
        return hr;
    hr = container->FindConnectionPoint(riid, point);
    container->Release();
    if (FAILED(hr))
        return hr;
    hr = (*point)->Advise(sink, cookie);
    if (FAILED(hr)) {
        (*point)->Release();
        *point = nullptr;
        *cookie = 0;
    }
    return hr;
}

}  // namespace

port_sinks::~port_sinks()
{
    unadvise();
    wait_released();
}

HRESULT port_sinks::advise(IUnknown* port)
{
    if (!port)
        return E_POINTER;
    HRESULT hr = advise_one(port, DIID__ISerialPortEvents, static_cast<_ISerialPortEvents*>(this),
                            &events_point_, &events_cookie_);
    if (SUCCEEDED(hr))
        hr = advise_one(port, IID_IPropertyNotifySink, static_cast<IPropertyNotifySink*>(this),
                        &notify_point_, &notify_cookie_);
    if (FAILED(hr))
        unadvise();
    return hr;
}

void port_sinks::unadvise()
{
    for (auto [point, cookie] : {std::pair{&events_point_, &events_cookie_},
                                 std::pair{&notify_point_, &notify_cookie_}}) {
        if (*point) {
            (*point)->Unadvise(*cookie);
            (*point)->Release();
            *point = nullptr;
            *cookie = 0;
        }
    }
}

void port_sinks::wait_released()
{
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return refs_ == 0; });
}

STDMETHODIMP port_sinks::QueryInterface(REFIID riid, void** ppv)
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

STDMETHODIMP_(ULONG) port_sinks::AddRef()
{
    std::lock_guard lock(mutex_);
    return ++refs_;
}

STDMETHODIMP_(ULONG) port_sinks::Release()
{
    std::lock_guard lock(mutex_);
    const ULONG refs = --refs_;
    if (refs == 0)
        released_.notify_all();
    return refs;
}

}  // namespace platform::rpc::client
