#include "tools/tethra/sink.h"

namespace tethra {

namespace {

HRESULT AdviseOne(ISerialPort* pPort, REFIID riid, IUnknown* pSink, IConnectionPoint** ppCP,
                  DWORD* pdwCookie)
{
    IConnectionPointContainer* pContainer = nullptr;
    HRESULT hr = pPort->QueryInterface(IID_IConnectionPointContainer,
                                       reinterpret_cast<void**>(&pContainer));
    if (FAILED(hr))
        return hr;
    hr = pContainer->FindConnectionPoint(riid, ppCP);
    pContainer->Release();
    if (FAILED(hr))
        return hr;
    hr = (*ppCP)->Advise(pSink, pdwCookie);
    if (FAILED(hr)) {
        (*ppCP)->Release();
        *ppCP = nullptr;
    }
    return hr;
}

}  // namespace

PortSinks::~PortSinks()
{
    Unadvise();
    std::unique_lock lock(m_mutex);
    m_cvFree.wait(lock, [&] { return m_cRef == 0; });
}

HRESULT PortSinks::Advise(ISerialPort* pPort)
{
    m_pPort = pPort;
    HRESULT hr = AdviseOne(pPort, DIID__ISerialPortEvents,
                           static_cast<_ISerialPortEvents*>(this), &m_pEventsCP,
                           &m_dwEventsCookie);
    if (SUCCEEDED(hr))
        hr = AdviseOne(pPort, IID_IPropertyNotifySink, static_cast<IPropertyNotifySink*>(this),
                       &m_pNotifyCP, &m_dwNotifyCookie);
    if (FAILED(hr))
        Unadvise();
    return hr;
}

void PortSinks::Unadvise()
{
    for (auto [ppCP, pdwCookie] : {std::pair{&m_pEventsCP, &m_dwEventsCookie},
                                   std::pair{&m_pNotifyCP, &m_dwNotifyCookie}}) {
        if (*ppCP) {
            (*ppCP)->Unadvise(*pdwCookie);
            (*ppCP)->Release();
            *ppCP = nullptr;
        }
    }
}

STDMETHODIMP PortSinks::QueryInterface(REFIID riid, void** ppv)
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

// The sinks live as long as their owner; the count only tells when the library is done.
STDMETHODIMP_(ULONG) PortSinks::AddRef()
{
    std::lock_guard lock(m_mutex);
    return ++m_cRef;
}

STDMETHODIMP_(ULONG) PortSinks::Release()
{
    std::lock_guard lock(m_mutex);
    const ULONG c = --m_cRef;
    if (c == 0)
        m_cvFree.notify_all();
    return c;
}

STDMETHODIMP PortSinks::OnData(VARIANT data)
{
    if (data.vt != (VT_ARRAY | VT_UI1) || !data.parray)
        return E_INVALIDARG;
    m_pListener->OnData(static_cast<const BYTE*>(data.parray->pvData),
                        data.parray->rgsabound[0].cElements);
    return S_OK;
}

STDMETHODIMP PortSinks::OnPortEvent(EventConstants event)
{
    m_pListener->OnPortEvent(static_cast<LONG>(event));
    return S_OK;
}

STDMETHODIMP PortSinks::OnError(ErrorConstants error)
{
    m_pListener->OnError(static_cast<LONG>(error));
    return S_OK;
}

STDMETHODIMP PortSinks::OnChanged(DISPID dispID)
{
    const Property* p = FindProperty(dispID);
    if (!p || !m_pPort)
        return S_OK;
    VARIANT value;
    const HRESULT hr = GetProperty(m_pPort, *p, &value);
    m_pListener->OnChanged(*p, hr, value);
    return S_OK;
}

STDMETHODIMP PortSinks::OnRequestEdit(DISPID) { return S_OK; }

}  // namespace tethra
