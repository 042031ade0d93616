// The client port object: what a client holds for one port.
//
// The port registry makes one CSerialPort per successful CreatePort and binds it to the
// port's one shared object (CSerialPortManager). It does no device work of its own:
// every property accessor and Send forwards to the member of the same name of the shared
// object's ISerialPortManager, adding this client's no-notify cookie where the member
// takes one, and returns the shared object's result unchanged.
//
// Its two connection points forward too: a sink advised here is advised, unchanged, on
// the shared object's connection point for the same interface, so the shared object
// calls the client's sinks directly. The cookie the shared object issues for the
// forwarded IPropertyNotifySink connection is the no-notify cookie: passed with every
// property call, it keeps a client from being asked about, or told of, its own changes.
//
// References: a bound client object holds three on the shared object, one in
// m_pSerialPortManager and one in each forwarding connection point's m_pTargetCP (a
// connection point counts its references on its owner). Releasing them is what closes
// the port when the last client goes; a client object never calls the registry.
#pragma once

#include "idl/tethra.h"
#include "platform/base/types.h"
#include "platform/com/com.h"

#include <atomic>

class CSerialPort;
class CSerialPortManager;

// One of a client object's connection points; it lives inside the client object and has
// no reference count of its own (its AddRef and Release are the client object's).
class CForwardingConnectionPoint : public IConnectionPoint {
public:
    explicit CForwardingConnectionPoint(CSerialPort* pOwner);
    // Removes a connection still held at the shared object (Unadvise with
    // m_dwTargetCookie), releases m_pTargetCP and the local sink.
    ~CForwardingConnectionPoint();
    CForwardingConnectionPoint(const CForwardingConnectionPoint&) = delete;
    CForwardingConnectionPoint& operator=(const CForwardingConnectionPoint&) = delete;

    // IUnknown and IConnectionPoint yield this connection point; anything else
    // E_NOINTERFACE.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // Answered by the shared object's connection point.
    STDMETHODIMP GetConnectionInterface(IID* pIID) override;
    // The client object's own container.
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    // One sink per connection point: CONNECT_E_ADVISELIMIT for a second. The sink is
    // advised on the shared object too; its refusal empties the local slot again.
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    // CONNECT_E_NOCONNECTION, changing nothing, for a cookie this connection point did
    // not issue or whose sink is gone; else removes the connection at the shared object,
    // then empties the local slot.
    STDMETHODIMP Unadvise(DWORD dwCookie) override;
    // Answered by the shared object's connection point: every client of the port.
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override;

    // The one sink advised here, as the connection interface; counted. Guarded by the
    // client object's lock.
    IUnknown* m_pLocalSink;
    // The shared object's connection point for the same interface; counted.
    IConnectionPoint* m_pTargetCP;
    // The shared object's cookie for the forwarded connection; 0 while there is none.
    // Read by the forwarding accessors at each call, without a lock.
    std::atomic<DWORD> m_dwTargetCookie;

private:
    CSerialPort* m_pOwner;
    // The cookie handed to the local caller: a process-wide unique number taken for this
    // connection point's life, the same for every connection made on it.
    DWORD m_dwLocalCookie;
};

class CSerialPort : public IConnectionPointContainer,
                    public platform::dispatch_impl<ISerialPort>,
                    public platform::ref_counted_object {
public:
    // Takes one count of the server's lock count (given back on destruction).
    CSerialPort();
    ~CSerialPort() override;

    // ---- IUnknown: IUnknown, ISerialPort, IDispatch and IConnectionPointContainer.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // ---- IConnectionPointContainer: the property-sink connection point, then the
    // event one.
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // ---- the object's own virtual operation
    // The controlling IUnknown (the ISerialPort interface), without a reference.
    virtual IUnknown* GetControllingUnknown();

    // Binds the object to the shared port object: finds its two connection points for
    // forwarding and keeps a reference on it. Called once, right after construction,
    // with a reference already taken on this object. Nonzero on success; on failure no
    // reference of its own is kept (a connection point already found is released with
    // the object).
    BOOL Initialize(CSerialPortManager* pManager);

    // Releases the shared object and gives the server's lock count back; the
    // connection points, then the object lock, go with the destructor.
    void FinalRelease() override;

    // ---- ISerialPort: each forwards to the shared object.
    STDMETHODIMP get_CDLine(VARIANT_BOOL* pVal) override;
    STDMETHODIMP get_PortNum(LONG* pVal) override;
    STDMETHODIMP get_CTSLine(VARIANT_BOOL* pVal) override;
    STDMETHODIMP get_DSRLine(VARIANT_BOOL* pVal) override;
    STDMETHODIMP get_NULLDiscard(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_NULLDiscard(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_HandShakingMode(HandShakingConstants* pVal) override;
    STDMETHODIMP put_HandShakingMode(HandShakingConstants newVal) override;
    STDMETHODIMP get_Break(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_Break(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_ParityReplace(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_ParityReplace(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_DTREnable(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_DTREnable(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_RTSLine(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_RTSLine(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_ParityEnable(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_ParityEnable(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_ParityScheme(ParitySchemeConstants* pVal) override;
    STDMETHODIMP put_ParityScheme(ParitySchemeConstants newVal) override;
    STDMETHODIMP get_Bits(BYTE* pVal) override;
    STDMETHODIMP put_Bits(BYTE newVal) override;
    STDMETHODIMP get_StopBits(StopBitsConstants* pVal) override;
    STDMETHODIMP put_StopBits(StopBitsConstants newVal) override;
    STDMETHODIMP get_XOnChar(CHAR* pVal) override;
    STDMETHODIMP put_XOnChar(CHAR newVal) override;
    STDMETHODIMP get_XOffChar(CHAR* pVal) override;
    STDMETHODIMP put_XOffChar(CHAR newVal) override;
    STDMETHODIMP get_DSRHandshakingEnable(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_DSRHandshakingEnable(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_EventChar(CHAR* pVal) override;
    STDMETHODIMP put_EventChar(CHAR newVal) override;
    STDMETHODIMP get_XOnLimit(SHORT* pVal) override;
    STDMETHODIMP put_XOnLimit(SHORT newVal) override;
    STDMETHODIMP get_XOffLimit(SHORT* pVal) override;
    STDMETHODIMP put_XOffLimit(SHORT newVal) override;
    STDMETHODIMP get_BaudRate(ULONG* pVal) override;
    STDMETHODIMP put_BaudRate(ULONG newVal) override;
    STDMETHODIMP get_DTRLine(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_DTRLine(VARIANT_BOOL newVal) override;
    STDMETHODIMP Send(VARIANT vtData, VARIANT_BOOL bSynchronous) override;
    STDMETHODIMP get_ReadIntervalTimeOut(ULONG* pVal) override;
    STDMETHODIMP put_ReadIntervalTimeOut(ULONG newVal) override;
    STDMETHODIMP get_ReadTotalTimeoutMult(ULONG* pVal) override;
    STDMETHODIMP put_ReadTotalTimeoutMult(ULONG newVal) override;
    STDMETHODIMP get_ReadTotalTimeoutConst(ULONG* pVal) override;
    STDMETHODIMP put_ReadTotalTimeoutConst(ULONG newVal) override;
    STDMETHODIMP get_WriteTotalTimeoutMult(ULONG* pVal) override;
    STDMETHODIMP put_WriteTotalTimeoutMult(ULONG newVal) override;
    STDMETHODIMP get_WriteTotalTimeoutConst(ULONG* pVal) override;
    STDMETHODIMP put_WriteTotalTimeoutConst(ULONG newVal) override;
    STDMETHODIMP get_ReceiveBufferSize(ULONG* pVal) override;
    STDMETHODIMP put_ReceiveBufferSize(ULONG newVal) override;
    STDMETHODIMP get_ErrorChar(CHAR* pVal) override;
    STDMETHODIMP put_ErrorChar(CHAR newVal) override;

    // ---- state, in declaration order (the count and the object lock are the base's)
    // Forwards property-sink connections; its m_dwTargetCookie is the no-notify cookie.
    CForwardingConnectionPoint m_cpPropertyNotifySink;
    // Forwards event-sink connections.
    CForwardingConnectionPoint m_cpPortEvents;
    // The port this object serves; counted; null until Initialize has bound it.
    CSerialPortManager* m_pSerialPortManager;
};
