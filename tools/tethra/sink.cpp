#include "tools/tethra/sink.h"

namespace tethra {

PortSinks::~PortSinks()
{
    Unadvise();
}

HRESULT PortSinks::Advise(ISerialPort* pPort)
{
    m_pPort = pPort;
    return advise(pPort);
}

void PortSinks::Unadvise()
{
    unadvise();
    wait_released();
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
