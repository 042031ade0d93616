// The shared port object: one per open serial port, made only by the port registry
// (CTethra::CreatePort) and reached by the client port objects through
// ISerialPortManager.
//
// It owns the device handle and the port's comm-port thread, and the two connection
// points through which every client of the port hears of received data, line events and
// errors (_ISerialPortEvents) and of setting changes (IPropertyNotifySink). The line
// settings live in the device: every getter reads it, every setter changes it in place
// under m_csState, asking the other clients first (OnRequestEdit) and telling them after
// (OnChanged), leaving out the caller's own property-sink connection (dwNoNotifyCookie).
//
// Getters never wait: they read the device (whose calls are thread-safe) and the line
// flags (atomic) without m_csState, so a getter answers at once from any thread at any
// moment, also while a change is asking or telling the clients. It sees the value as it
// is then: the old one until the device has been written, the new one after.
//
// Changes from inside a notification. A setter holds m_csState from its reading of the
// device to the end of its OnChanged pass, and it calls the sinks while it holds it. In
// this process the sinks run on the setter's thread; a sink in another process runs on
// a thread of its own, and its calls back into the port arrive on other threads of this
// server. The one rule, for both:
//  - a setter (put_*, Break and ReceiveBufferSize included) that arrives while a change
//    of the same port is calling sinks, from the client whose sink is being called
//    (its dwNoNotifyCookie is the cookie of the connection being called), or on the
//    thread that runs the change (which can only be a sink it is calling, of any
//    client), is refused at once with SERIAL_PORT_E_CHANGE_IN_PROGRESS: nothing is
//    asked, written or announced, and the change in progress goes on undisturbed;
//  - any other setter waits until the change in progress has ended (its OnChanged pass
//    included) and then makes its own change;
//  - getters always answer at once.
// A nested change is therefore never carried out inside another: were it allowed, the
// outer setter would write back the settings it read before asking, undoing the nested
// one after its clients had been told of it. A client that wants to change a setting in
// response to a notification does it after its handler has returned (from its own
// thread or queue), when the call simply waits for the change in progress to end.
// Not covered: a sink that, inside its handler, waits for another thread which calls a
// setter of this port for a different client; that setter waits for the pass, which
// waits for the sink.
//
// Devices that vanish and come back. The port outlives its device: when the device
// vanishes (a USB adapter pulled out, the far end of a pseudo-terminal closed), the
// driver ends the read and write in progress, and the port
//  - tells every client once, with OnError(spoDeviceLostError, 1005). An error code,
//    because the port can neither receive nor send, and because clients already treat
//    OnError as "something went wrong with the device" and ignore codes they do not know;
//    OnPortEvent would say only that a line changed;
//  - fails every Send from then on with E_FAIL at once, synchronous or not, instead of
//    letting it wait for a device that may never come (a synchronous Send pending when
//    the device vanished fails with E_FAIL too; an asynchronous one queued just before
//    the port heard of the loss fails on the comm-port thread, traced only); setters
//    and the getters that read the device fail with E_FAIL and change nothing;
//  - costs no processor time: the port-event task's wait stays pending and the driver
//    waits for the device's path to appear again (inotify, platform/comm), blocked;
//  - when the same path (the device or link it was opened by, such as a
//    /dev/serial/by-id name or a socat link; not a /dev/pts/N named by its number, whose
//    number goes to an unrelated terminal) opens again, comes back with every setting
//    the clients had made (the driver writes the handle's DCB, time-outs, DTR, RTS and
//    break back; ReceiveBufferSize was never lost), and tells every client once with
//    OnPortEvent(spoDeviceBackEvent, 5): an event, because the line is usable again, as
//    a line that came up; nothing failed. The clients' objects, sinks and cookies stay
//    as they were: they receive again without reconnecting. Bytes received before the
//    loss are still delivered.
// Both codes are additions to the type library's enumerations (EventConstants,
// ErrorConstants); clients written before them receive codes they do not know.
//
// Closing rule, on every interface: a release that leaves one reference (the registry's)
// hands the object back to the registry (m_pManager->PortClosed), whose release of that
// last reference destroys it; FinalRelease then stops the comm-port thread and closes the
// device.
//
// Where the definitions live: SerialPortManager.cpp has construction, the closing rule,
// Initialize, Send and the task and device helpers; SerialPortManagerProperties.cpp has
// the property accessors, RequestPropertyChange, FireOnRequestEdit and FireOnChanged.
#pragma once

#include "idl/tethra.h"
#include "platform/base/types.h"
#include "platform/com/com.h"
#include "platform/comm/comm.h"
#include "platform/sync/sync.h"
#include "traffic/PortEventsConnectionPoint.h"

#include <atomic>

class CTethra;
class CCommPortThread;
class CStrategy;
class CWriteLeaf;

// What a setter refused under "Changes from inside a notification" returns:
// HRESULT_FROM_WIN32(ERROR_POSSIBLE_DEADLOCK).
#define SERIAL_PORT_E_CHANGE_IN_PROGRESS PLATFORM_HR(0x8007046BU)

// The default ReceiveBufferSize: bytes asked for by each read.
#define SERIAL_PORT_DEFAULT_READ_BUFFER_SIZE 512U
// The most any read asks for, whatever ReceiveBufferSize says: the size of the driver's
// receive queue, which is the most one read can deliver. ReceiveBufferSize itself keeps
// and reports the value a client set.
#define SERIAL_PORT_MAX_READ_SIZE 0x10000U

class CSerialPortManager : public ISerialPortManager,
                           public IConnectionPointContainer,
                           public platform::ref_counted_object {
public:
    // Initialises both locks and takes one count of the server's lock count.
    CSerialPortManager();
    // Gives the server's lock count back and deletes m_csState; the connection points go
    // with the object (the event connection point ends its notification threads).
    ~CSerialPortManager() override;

    // ---- IUnknown: ISerialPortManager, IConnectionPointContainer and IUnknown; IMarshal
    // is refused, so other apartments use standard marshalling.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    // Carries the closing rule above.
    STDMETHODIMP_(ULONG) Release() override;

    // ---- IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // ---- the object's own virtual operations
    // The controlling IUnknown (the ISerialPortManager interface), without a reference.
    virtual IUnknown* GetControllingUnknown();
    // S_FALSE when lNewValue equals lCurrentValue (nobody asked); E_FAIL when a client
    // other than dwNoNotifyCookie's refused with OnRequestEdit; S_OK when the change may
    // go ahead.
    virtual HRESULT RequestPropertyChange(DWORD dwNoNotifyCookie, DISPID dispID,
                                          LONG lNewValue, LONG lCurrentValue);

    // The two passes of the change protocol over pUnk's IPropertyNotifySink connections,
    // skipping the connection whose cookie is dwNoNotifyCookie (0 skips none).
    // FireOnRequestEdit: S_FALSE as soon as one sink answers exactly S_FALSE, else S_OK.
    // FireOnChanged: always S_OK. pCalledCookie, when given, holds the cookie of the
    // connection whose sink is being called (0 between calls).
    static HRESULT FireOnRequestEdit(DWORD dwNoNotifyCookie, IUnknown* pUnk, DISPID dispID,
                                     std::atomic<DWORD>* pCalledCookie = nullptr);
    static HRESULT FireOnChanged(DWORD dwNoNotifyCookie, IUnknown* pUnk, DISPID dispID,
                                 std::atomic<DWORD>* pCalledCookie = nullptr);

    // ---- ISerialPortManager
    STDMETHODIMP get_CDLine(VARIANT_BOOL* pVal) override;
    STDMETHODIMP get_PortNum(LONG* pVal) override;
    STDMETHODIMP get_CTSLine(VARIANT_BOOL* pVal) override;
    STDMETHODIMP get_DSRLine(VARIANT_BOOL* pVal) override;
    STDMETHODIMP get_NULLDiscard(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_NULLDiscard(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal) override;
    STDMETHODIMP get_HandShakingMode(ULONG dwNoNotifyCookie, HandShakingConstants* pVal) override;
    STDMETHODIMP put_HandShakingMode(ULONG dwNoNotifyCookie, HandShakingConstants newVal) override;
    STDMETHODIMP get_Break(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_Break(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal) override;
    STDMETHODIMP get_ParityReplace(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_ParityReplace(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal) override;
    STDMETHODIMP get_DTREnable(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_DTREnable(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal) override;
    STDMETHODIMP get_RTSLine(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_RTSLine(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal) override;
    STDMETHODIMP get_ParityEnable(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_ParityEnable(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal) override;
    STDMETHODIMP get_ParityScheme(ULONG dwNoNotifyCookie, ParitySchemeConstants* pVal) override;
    STDMETHODIMP put_ParityScheme(ULONG dwNoNotifyCookie, ParitySchemeConstants newVal) override;
    STDMETHODIMP get_Bits(ULONG dwNoNotifyCookie, BYTE* pVal) override;
    STDMETHODIMP put_Bits(ULONG dwNoNotifyCookie, BYTE newVal) override;
    STDMETHODIMP get_StopBits(ULONG dwNoNotifyCookie, StopBitsConstants* pVal) override;
    STDMETHODIMP put_StopBits(ULONG dwNoNotifyCookie, StopBitsConstants newVal) override;
    STDMETHODIMP get_XOnChar(ULONG dwNoNotifyCookie, CHAR* pVal) override;
    STDMETHODIMP put_XOnChar(ULONG dwNoNotifyCookie, CHAR newVal) override;
    STDMETHODIMP get_XOffChar(ULONG dwNoNotifyCookie, CHAR* pVal) override;
    STDMETHODIMP put_XOffChar(ULONG dwNoNotifyCookie, CHAR newVal) override;
    STDMETHODIMP get_DSRHandshakingEnable(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_DSRHandshakingEnable(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal) override;
    STDMETHODIMP get_EventChar(ULONG dwNoNotifyCookie, CHAR* pVal) override;
    STDMETHODIMP put_EventChar(ULONG dwNoNotifyCookie, CHAR newVal) override;
    STDMETHODIMP get_XOnLimit(ULONG dwNoNotifyCookie, SHORT* pVal) override;
    STDMETHODIMP put_XOnLimit(ULONG dwNoNotifyCookie, SHORT newVal) override;
    STDMETHODIMP get_XOffLimit(ULONG dwNoNotifyCookie, SHORT* pVal) override;
    STDMETHODIMP put_XOffLimit(ULONG dwNoNotifyCookie, SHORT newVal) override;
    STDMETHODIMP get_BaudRate(ULONG dwNoNotifyCookie, ULONG* pVal) override;
    STDMETHODIMP put_BaudRate(ULONG dwNoNotifyCookie, ULONG newVal) override;
    STDMETHODIMP get_DTRLine(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_DTRLine(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal) override;
    // Queues a copy of the bytes of a VT_ARRAY | VT_UI1 variant for output; a non-zero
    // bSynchronous waits until the device has taken them.
    STDMETHODIMP Send(VARIANT vtData, VARIANT_BOOL bSynchronous) override;
    STDMETHODIMP get_ReadIntervalTimeOut(ULONG dwNoNotifyCookie, ULONG* pVal) override;
    STDMETHODIMP put_ReadIntervalTimeOut(ULONG dwNoNotifyCookie, ULONG newVal) override;
    STDMETHODIMP get_ReadTotalTimeoutMult(ULONG dwNoNotifyCookie, ULONG* pVal) override;
    STDMETHODIMP put_ReadTotalTimeoutMult(ULONG dwNoNotifyCookie, ULONG newVal) override;
    STDMETHODIMP get_ReadTotalTimeoutConst(ULONG dwNoNotifyCookie, ULONG* pVal) override;
    STDMETHODIMP put_ReadTotalTimeoutConst(ULONG dwNoNotifyCookie, ULONG newVal) override;
    STDMETHODIMP get_WriteTotalTimeoutMult(ULONG dwNoNotifyCookie, ULONG* pVal) override;
    STDMETHODIMP put_WriteTotalTimeoutMult(ULONG dwNoNotifyCookie, ULONG newVal) override;
    STDMETHODIMP get_WriteTotalTimeoutConst(ULONG dwNoNotifyCookie, ULONG* pVal) override;
    STDMETHODIMP put_WriteTotalTimeoutConst(ULONG dwNoNotifyCookie, ULONG newVal) override;
    STDMETHODIMP put_ReceiveBufferSize(ULONG dwNoNotifyCookie, ULONG newVal) override;
    STDMETHODIMP get_ReceiveBufferSize(ULONG dwNoNotifyCookie, ULONG* newVal) override;
    STDMETHODIMP get_ErrorChar(ULONG dwNoNotifyCookie, CHAR* pVal) override;
    STDMETHODIMP put_ErrorChar(ULONG dwNoNotifyCookie, CHAR newVal) override;

    // ---- set-up, teardown and the helpers of the port's tasks and accessors
    // Opens "\\.\COM<lPort>" exclusively for overlapped I/O, starts the comm-port thread
    // and puts the port into its opening state (DTR and RTS low, break clear, read total
    // time-out constant 500 ms). Nonzero on success; on failure whatever was acquired
    // stays in the fields for FinalRelease.
    BOOL Initialize(LONG lPort, CTethra* pManager);
    // Stops and deletes the comm-port thread (with every task on it), releases the
    // registry and closes the device; runs once, before the destructor.
    void FinalRelease() override;
    // Queues a task at the back of the comm-port thread; FALSE without a thread or task.
    BOOL AddTaskToCommPortThread(CStrategy* pTask);
    // *pVal = 1 when any bit of dwMask is set in the modem status, else 0.
    // E_POINTER, or E_FAIL when the status cannot be read (*pVal unchanged).
    HRESULT GetUARTStatusRegisterStatus(DWORD dwMask, VARIANT_BOOL* pVal);
    // One-line wrappers of the device calls on m_hComm.
    BOOL EscapeCommFunction(DWORD dwFunc);
    BOOL GetCommState(LPDCB lpDCB);
    BOOL SetCommState(LPDCB lpDCB);

    // The client port objects bound to this object: CSerialPort::Initialize counts one
    // in when it binds, its FinalRelease counts it out before it lets go.
    LONG ClientCount() const { return m_lClients.load(); }
    void CountClient(LONG lDelta) { m_lClients += lDelta; }

    // ---- state, in declaration order
    // Clients told before and after a setting changes; the cookie of a connection is
    // what a client object passes as dwNoNotifyCookie.
    platform::connection_point m_cpPropertyNotifySink;
    // Clients told of data, events and errors; one notification thread per connection.
    CPortEventsConnectionPoint m_cpPortEvents;
    CTethra* m_pManager;          // the registry that opened the port; counted
    HANDLE m_hComm;               // the open device; INVALID_HANDLE_VALUE until then
    LONG m_lPortNum;
    // Bytes asked for by each read (ReceiveBufferSize). Written under m_csState, read by
    // the port-event task without a lock, hence atomic.
    std::atomic<DWORD> m_dwReadBufferSize;
    CRITICAL_SECTION m_csState;   // every setter holds it for its whole change; no getter takes it
    BOOL m_bBreakActive;          // break set through Break
    BOOL m_bDTRLineActive;        // DTR raised through DTRLine (or enabled by DTREnable)
    BOOL m_bRTSLineActive;        // RTS raised through RTSLine
    CCommPortThread* m_pCommPortThread;  // the port's I/O worker; owned
    // The thread that holds m_csState for a change, 0 when none (see "Changes from
    // inside a notification" above).
    std::atomic<DWORD> m_dwChangeThread{0};
    // The connection cookie whose sink a pass is calling at this moment, 0 when none.
    std::atomic<DWORD> m_dwCalledCookie{0};
    std::atomic<LONG> m_lClients{0};
    // TRUE from the port-event task's report of the device's loss to its report of its
    // return (see "Devices that vanish and come back"): Send fails at once meanwhile.
    std::atomic<BOOL> m_bDeviceLost{FALSE};

private:
    // Send's steps after the task exists: loads it, queues it and, when synchronous,
    // waits for it. Takes over pWrite in every case. RPC_E_CALL_CANCELED for a
    // synchronous write taken back because its caller left (see the .cpp's decisions).
    HRESULT QueueWrite(CWriteLeaf* pWrite, SAFEARRAY* psa, VARIANT_BOOL bSynchronous);
};
