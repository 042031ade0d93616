#include "port/SerialPort.h"

#include "port/SerialPortManager.h"
#include "server/Module.h"
#include "trace/query_trace.h"
#include "trace/trace.h"

// Decision of this file where the design leaves the choice:
//  - Unadvise with a cookie that the connection point did not issue (or after its sink
//    is gone) is answered CONNECT_E_NOCONNECTION before anything is touched: the
//    connection at the shared object stays, and the local slot keeps its sink, so the
//    right cookie still disconnects it later. Only a matching cookie removes the
//    shared object's connection and then empties the slot.

// ---- CForwardingConnectionPoint --------------------------------------------------------------

CForwardingConnectionPoint::CForwardingConnectionPoint(CSerialPort* pOwner)
    : m_pLocalSink(nullptr),
      m_pTargetCP(nullptr),
      m_dwTargetCookie(0),
      m_pOwner(pOwner),
      m_dwLocalCookie(platform::allocate_connection_cookie())
{
}

CForwardingConnectionPoint::~CForwardingConnectionPoint()
{
    const DWORD dwTargetCookie = m_dwTargetCookie.exchange(0);
    if (m_pTargetCP) {
        if (dwTargetCookie != 0)
            m_pTargetCP->Unadvise(dwTargetCookie);
        m_pTargetCP->Release();
        m_pTargetCP = nullptr;
    }
    if (m_pLocalSink) {
        m_pLocalSink->Release();
        m_pLocalSink = nullptr;
    }
    platform::free_connection_cookie(m_dwLocalCookie);
}

STDMETHODIMP CForwardingConnectionPoint::QueryInterface(REFIID riid, void** ppvObject)
{
    if (!ppvObject)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
        *ppvObject = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CForwardingConnectionPoint::AddRef()
{
    return m_pOwner->AddRef();
}

STDMETHODIMP_(ULONG) CForwardingConnectionPoint::Release()
{
    return m_pOwner->Release();
}

STDMETHODIMP CForwardingConnectionPoint::GetConnectionInterface(IID* pIID)
{
    return m_pTargetCP->GetConnectionInterface(pIID);
}

STDMETHODIMP CForwardingConnectionPoint::GetConnectionPointContainer(
    IConnectionPointContainer** ppCPC)
{
    return m_pOwner->QueryInterface(IID_IConnectionPointContainer,
                                    reinterpret_cast<void**>(ppCPC));
}

STDMETHODIMP CForwardingConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    if (!pUnkSink || !pdwCookie)
        return E_POINTER;
    *pdwCookie = 0;

    IID iid;
    HRESULT hr = m_pTargetCP->GetConnectionInterface(&iid);
    if (FAILED(hr))
        return hr;
    IUnknown* pSink = nullptr;
    hr = pUnkSink->QueryInterface(iid, reinterpret_cast<void**>(&pSink));
    if (FAILED(hr))
        return hr == E_NOINTERFACE ? CONNECT_E_CANNOTCONNECT : hr;

    // One sink per connection point and client object.
    m_pOwner->lock();
    const BOOL bTaken = m_pLocalSink == nullptr && m_dwLocalCookie != 0;
    if (bTaken)
        m_pLocalSink = pSink;
    m_pOwner->unlock();
    if (!bTaken) {
        pSink->Release();
        return CONNECT_E_ADVISELIMIT;
    }

    // The shared object asks the sink for the interface itself and records its own
    // connection; it is advised outside the client object's lock.
    DWORD dwTargetCookie = 0;
    hr = m_pTargetCP->Advise(pUnkSink, &dwTargetCookie);
    if (FAILED(hr)) {
        m_pOwner->lock();
        IUnknown* pLocal = m_pLocalSink;
        m_pLocalSink = nullptr;
        m_pOwner->unlock();
        if (pLocal)
            pLocal->Release();
        return hr;
    }
    m_dwTargetCookie.store(dwTargetCookie);
    *pdwCookie = m_dwLocalCookie;
    return S_OK;
}

STDMETHODIMP CForwardingConnectionPoint::Unadvise(DWORD dwCookie)
{
    m_pOwner->lock();
    const BOOL bOurs = dwCookie != 0 && dwCookie == m_dwLocalCookie && m_pLocalSink != nullptr;
    m_pOwner->unlock();
    if (!bOurs)
        return CONNECT_E_NOCONNECTION;

    const DWORD dwTargetCookie = m_dwTargetCookie.load();
    const HRESULT hr = m_pTargetCP->Unadvise(dwTargetCookie);
    if (FAILED(hr))
        return hr;
    // Only the caller whose Unadvise removed that connection clears the cookie; a
    // concurrent Advise may already have stored a new one.
    DWORD dwExpected = dwTargetCookie;
    m_dwTargetCookie.compare_exchange_strong(dwExpected, 0);

    m_pOwner->lock();
    IUnknown* pLocal = m_pLocalSink;
    m_pLocalSink = nullptr;
    m_pOwner->unlock();
    if (!pLocal)
        return CONNECT_E_NOCONNECTION;
    pLocal->Release();
    return S_OK;
}

STDMETHODIMP CForwardingConnectionPoint::EnumConnections(IEnumConnections** ppEnum)
{
    return m_pTargetCP->EnumConnections(ppEnum);
}

// ---- CSerialPort: object ---------------------------------------------------------------------

CSerialPort::CSerialPort()
    : m_cpPropertyNotifySink(this), m_cpPortEvents(this), m_pSerialPortManager(nullptr)
{
    _Module.Lock();
}

CSerialPort::~CSerialPort() = default;

STDMETHODIMP CSerialPort::QueryInterface(REFIID riid, void** ppvObject)
{
    static constexpr platform::interface_entry table[] = {
        platform::interface_entry_of<CSerialPort, IUnknown, ISerialPort>(),
        platform::interface_entry_of<CSerialPort, ISerialPort>(),
        platform::interface_entry_of<CSerialPort, IDispatch, ISerialPort>(),
        platform::interface_entry_of<CSerialPort, IConnectionPointContainer>(),
    };
    return TraceQueryInterface("CSerialPort", riid,
                               platform::query_interface(this, table, riid, ppvObject));
}

STDMETHODIMP_(ULONG) CSerialPort::AddRef()
{
    return internal_add_ref();
}

// The last release sets the count to 1 (so that the references taken and dropped while
// the object is torn down cannot start a second destruction), releases the shared
// object, gives the server's lock count back (FinalRelease), then destroys the event
// connection point, the property-sink connection point and the object lock, in that
// order (the destructor).
STDMETHODIMP_(ULONG) CSerialPort::Release()
{
    return release_object();
}

void CSerialPort::FinalRelease()
{
    Trace(TRACE_CAT_INTERFACE, 1, "CSerialPort(%#x)::FinalRelease()\n", this);
    if (m_pSerialPortManager) {
        m_pSerialPortManager->CountClient(-1);
        m_pSerialPortManager->Release();
        m_pSerialPortManager = nullptr;
    }
    _Module.Unlock();
    Trace(TRACE_CAT_INTERFACE, 2, "CSerialPort(%#x)::FinalRelease()  Returning\n", this);
}

STDMETHODIMP CSerialPort::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    IConnectionPoint* const rgpcp[] = {&m_cpPropertyNotifySink, &m_cpPortEvents};
    return platform::create_enum_connection_points(rgpcp, 2, ppEnum);
}

STDMETHODIMP CSerialPort::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    IConnectionPoint* const rgpcp[] = {&m_cpPropertyNotifySink, &m_cpPortEvents};
    return platform::find_connection_point(rgpcp, 2, riid, ppCP);
}

IUnknown* CSerialPort::GetControllingUnknown()
{
    return static_cast<ISerialPort*>(this);
}

BOOL CSerialPort::Initialize(CSerialPortManager* pManager)
{
    Trace(TRACE_CAT_INTERFACE, 1, "CSerialPort(%#x)::Initialize(%#x)\n", this, pManager);
    BOOL bResult = TRUE;
    m_pSerialPortManager = pManager;
    if (!pManager) {
        Trace(TRACE_CAT_INTERFACE, 0,
              "CSerialPort(%#x)::Initialize(%#x)  Error!  Null m_pSerialPortManager.\n", this,
              pManager);
        return FALSE;
    }

    Trace(TRACE_CAT_INTERFACE, 3,
          "CSerialPort(%#x)::Initialize(%#x)  Looking for the connection points to forward.\n",
          this, pManager);
    pManager->AddRef();

    IConnectionPointContainer* pContainer = pManager;
    Trace(TRACE_CAT_INTERFACE, 4,
          "CSerialPort(%#x)::Initialize(%#x)  Looking for the IID_IPropertyNotifySink CP\n", this,
          pManager);
    HRESULT hr = pContainer->FindConnectionPoint(IID_IPropertyNotifySink,
                                                 &m_cpPropertyNotifySink.m_pTargetCP);
    if (SUCCEEDED(hr)) {
        Trace(TRACE_CAT_INTERFACE, 4,
              "CSerialPort(%#x)::Initialize(%#x)  Looking for the DIID__ISerialPortEvents CP\n",
              this, pManager);
        hr = pContainer->FindConnectionPoint(DIID__ISerialPortEvents, &m_cpPortEvents.m_pTargetCP);
    }
    if (SUCCEEDED(hr)) {
        // The reference m_pSerialPortManager keeps.
        pManager->AddRef();
        pManager->CountClient(1);
    } else {
        Trace(TRACE_CAT_INTERFACE, 0,
              "CSerialPort(%#x)::Initialize(%#x)  Error!  Failed to find a CP.\n", this, pManager);
        m_pSerialPortManager = nullptr;
        bResult = FALSE;
    }

    pManager->Release();
    Trace(TRACE_CAT_INTERFACE, 2, "CSerialPort(%#x)::Initialize(%#x)  Returning %i\n", this,
          pManager, bResult);
    return bResult;
}

// ---- CSerialPort: forwarding -------------------------------------------------------------------
// Each accessor traces its entry and forwards; the shared object checks the arguments and
// its result is returned as it is. The no-notify cookie is read at the time of the call.

#define TETHRA_FORWARD_LINE_GET(Name, Type)                                                   \
    STDMETHODIMP CSerialPort::get_##Name(Type* pVal)                                          \
    {                                                                                         \
        Trace(TRACE_CAT_INTERFACE, 1, "CSerialPort(%#x)::get_" #Name "(%#x)\n", this, pVal);  \
        return m_pSerialPortManager->get_##Name(pVal);                                        \
    }

#define TETHRA_FORWARD_GET(Name, Type)                                                        \
    STDMETHODIMP CSerialPort::get_##Name(Type* pVal)                                          \
    {                                                                                         \
        Trace(TRACE_CAT_INTERFACE, 1, "CSerialPort(%#x)::get_" #Name "(%#x)\n", this, pVal);  \
        return m_pSerialPortManager->get_##Name(m_cpPropertyNotifySink.m_dwTargetCookie.load(), \
                                                pVal);                                        \
    }

#define TETHRA_FORWARD_PUT(Name, Type, Conversion)                                            \
    STDMETHODIMP CSerialPort::put_##Name(Type newVal)                                         \
    {                                                                                         \
        Trace(TRACE_CAT_INTERFACE, 1, "CSerialPort(%#x)::put_" #Name "(" Conversion ")\n",    \
              this, newVal);                                                                  \
        return m_pSerialPortManager->put_##Name(m_cpPropertyNotifySink.m_dwTargetCookie.load(), \
                                                newVal);                                      \
    }

#define TETHRA_FORWARD_PROPERTY(Name, Type, Conversion) \
    TETHRA_FORWARD_GET(Name, Type)                      \
    TETHRA_FORWARD_PUT(Name, Type, Conversion)

TETHRA_FORWARD_LINE_GET(CDLine, VARIANT_BOOL)
TETHRA_FORWARD_LINE_GET(PortNum, LONG)
TETHRA_FORWARD_LINE_GET(CTSLine, VARIANT_BOOL)
TETHRA_FORWARD_LINE_GET(DSRLine, VARIANT_BOOL)
TETHRA_FORWARD_PROPERTY(NULLDiscard, VARIANT_BOOL, "%i")
TETHRA_FORWARD_PROPERTY(HandShakingMode, HandShakingConstants, "%i")
TETHRA_FORWARD_PROPERTY(Break, VARIANT_BOOL, "%i")
TETHRA_FORWARD_PROPERTY(ParityReplace, VARIANT_BOOL, "%i")
TETHRA_FORWARD_PROPERTY(DTREnable, VARIANT_BOOL, "%i")
TETHRA_FORWARD_PROPERTY(RTSLine, VARIANT_BOOL, "%i")
TETHRA_FORWARD_PROPERTY(ParityEnable, VARIANT_BOOL, "%i")
TETHRA_FORWARD_PROPERTY(ParityScheme, ParitySchemeConstants, "%i")
TETHRA_FORWARD_PROPERTY(Bits, BYTE, "%i")
TETHRA_FORWARD_PROPERTY(StopBits, StopBitsConstants, "%i")
TETHRA_FORWARD_PROPERTY(XOnChar, CHAR, "%c")
TETHRA_FORWARD_PROPERTY(XOffChar, CHAR, "%c")
TETHRA_FORWARD_PROPERTY(DSRHandshakingEnable, VARIANT_BOOL, "%i")
TETHRA_FORWARD_PROPERTY(EventChar, CHAR, "%c")
TETHRA_FORWARD_PROPERTY(XOnLimit, SHORT, "%i")
TETHRA_FORWARD_PROPERTY(XOffLimit, SHORT, "%i")
TETHRA_FORWARD_PROPERTY(BaudRate, ULONG, "%i")
TETHRA_FORWARD_PROPERTY(DTRLine, VARIANT_BOOL, "%i")
TETHRA_FORWARD_PROPERTY(ReadIntervalTimeOut, ULONG, "%u")
TETHRA_FORWARD_PROPERTY(ReadTotalTimeoutMult, ULONG, "%u")
TETHRA_FORWARD_PROPERTY(ReadTotalTimeoutConst, ULONG, "%u")
TETHRA_FORWARD_PROPERTY(WriteTotalTimeoutMult, ULONG, "%u")
TETHRA_FORWARD_PROPERTY(WriteTotalTimeoutConst, ULONG, "%u")
TETHRA_FORWARD_PROPERTY(ReceiveBufferSize, ULONG, "%u")
TETHRA_FORWARD_PROPERTY(ErrorChar, CHAR, "%c")

#undef TETHRA_FORWARD_PROPERTY
#undef TETHRA_FORWARD_PUT
#undef TETHRA_FORWARD_GET
#undef TETHRA_FORWARD_LINE_GET

STDMETHODIMP CSerialPort::Send(VARIANT vtData, VARIANT_BOOL bSynchronous)
{
    Trace(TRACE_CAT_INTERFACE, 1, "CSerialPort(%#x)::Send(VARIANT, %i)\n", this, bSynchronous);
    return m_pSerialPortManager->Send(vtData, bSynchronous);
}
