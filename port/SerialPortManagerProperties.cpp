// The property accessors of the shared port object and the change protocol they share.
//
// The device holds the settings: every getter reads it, every setter reads it, asks the
// port's other clients (OnRequestEdit), writes it and tells them (OnChanged), all under
// m_csState, leaving out the caller's own property-sink connection; getters take no lock. Connections are told
// apart by their cookies: the caller's no-notify cookie is the cookie of its own
// IPropertyNotifySink connection, which the connection enumerator hands out with each
// sink.
//
// Decisions of this file where the design leaves the choice:
//  - DTREnable written FALSE also clears m_bDTRLineActive: with DTR control disabled the
//    line is low, so DTRLine then reads FALSE, and after DTREnable TRUE it reads TRUE
//    (enabling DTR raises it).
//  - A client called back during a change may call into the same port: getters answer
//    at once, setters follow the rule "Changes from inside a notification" in
//    SerialPortManager.h (CChangeScope below).
#include "port/SerialPortManager.h"

#include "platform/com/com.h"
#include "trace/trace.h"

#include <atomic>
#include <cstddef>

namespace {

// ---- trace messages of one accessor call --------------------------------------------------

// Appends pszText to the format being built; stops at the end of the buffer.
void AppendFormat(char* pszOut, std::size_t cbOut, std::size_t& cchUsed, const char* pszText)
{
    while (*pszText && cchUsed + 1 < cbOut)
        pszOut[cchUsed++] = *pszText++;
    pszOut[cchUsed] = '\0';
}

// Every message of an accessor begins with the object, the method and its two arguments,
// "CSerialPortManager(%#x)::put_Bits(%#x, %i)"; the entry line is that prefix alone, every
// other line adds the separator (two blanks) and the step's text. The format is put
// together only when the filter lets the message through.
template <class V>
class CAccessorTrace {
public:
    CAccessorTrace(const CSerialPortManager* pObject, const char* pszMethod, ULONG dwCookie,
                   V value, const char* pszValueConversion, const char* pszSeparator = "  ",
                   const char* pszEntryEnd = "")
        : m_pObject(pObject),
          m_pszMethod(pszMethod),
          m_dwCookie(dwCookie),
          m_value(value),
          m_pszValueConversion(pszValueConversion),
          m_pszSeparator(pszSeparator),
          m_pszEntryEnd(pszEntryEnd)
    {
    }

    void Entry(DWORD dwLevel = 1) const { Emit(dwLevel, m_pszEntryEnd, ""); }

    template <class... A>
    void operator()(DWORD dwLevel, const char* pszText, A... args) const
    {
        Emit(dwLevel, m_pszSeparator, pszText, args...);
    }

private:
    template <class... A>
    void Emit(DWORD dwLevel, const char* pszSeparator, const char* pszText, A... args) const
    {
        if ((TRACE_CAT_SERIALPORT & atlTraceCat.load(std::memory_order_relaxed)) == 0 ||
            dwLevel > atlTraceLevel.load(std::memory_order_relaxed))
            return;
        char szFormat[256];
        std::size_t cchUsed = 0;
        szFormat[0] = '\0';
        AppendFormat(szFormat, sizeof szFormat, cchUsed, "CSerialPortManager(%#x)::");
        AppendFormat(szFormat, sizeof szFormat, cchUsed, m_pszMethod);
        AppendFormat(szFormat, sizeof szFormat, cchUsed, "(%#x, ");
        AppendFormat(szFormat, sizeof szFormat, cchUsed, m_pszValueConversion);
        AppendFormat(szFormat, sizeof szFormat, cchUsed, ")");
        AppendFormat(szFormat, sizeof szFormat, cchUsed, pszSeparator);
        AppendFormat(szFormat, sizeof szFormat, cchUsed, pszText);
        AppendFormat(szFormat, sizeof szFormat, cchUsed, "\n");
        Trace(TRACE_CAT_SERIALPORT, dwLevel, szFormat, m_pObject, m_dwCookie, m_value, args...);
    }

    const CSerialPortManager* m_pObject;
    const char* m_pszMethod;
    ULONG m_dwCookie;
    V m_value;
    const char* m_pszValueConversion;
    const char* m_pszSeparator;
    const char* m_pszEntryEnd;
};

// ---- line flags and the state lock ----------------------------------------------------------

// The line flags are written under m_csState and read by getters, which never take it,
// so every access is atomic.
BOOL LoadFlag(BOOL& bFlag)
{
    return std::atomic_ref<BOOL>(bFlag).load(std::memory_order_acquire);
}

void StoreFlag(BOOL& bFlag, BOOL bValue)
{
    std::atomic_ref<BOOL>(bFlag).store(bValue, std::memory_order_release);
}

// Admission of a setter to m_csState; see "Changes from inside a notification" in
// SerialPortManager.h. Refused: a setter on the thread that is running a change of this
// port (it can only come from a sink that change is calling), and a setter of the client
// whose sink a pass is calling at this moment. Any other setter waits for the change in
// progress and then runs its own.
class CChangeScope {
public:
    CChangeScope(CSerialPortManager& port, ULONG dwNoNotifyCookie) : m_port(port), m_bAdmitted(FALSE)
    {
        const DWORD dwThread = GetCurrentThreadId();
        if (port.m_dwChangeThread.load() == dwThread)
            return;
        if (dwNoNotifyCookie != 0 && port.m_dwCalledCookie.load() == dwNoNotifyCookie)
            return;
        EnterCriticalSection(&port.m_csState);
        port.m_dwChangeThread.store(dwThread);
        m_bAdmitted = TRUE;
    }
    ~CChangeScope()
    {
        if (!m_bAdmitted)
            return;
        m_port.m_dwChangeThread.store(0);
        LeaveCriticalSection(&m_port.m_csState);
    }
    CChangeScope(const CChangeScope&) = delete;
    CChangeScope& operator=(const CChangeScope&) = delete;

    BOOL Admitted() const { return m_bAdmitted; }
    // Traces the refusal and gives the setter's result.
    template <class V>
    static HRESULT Refuse(const CAccessorTrace<V>& t)
    {
        t(0, "Error!  Called from inside a notification of a change in progress; refused.");
        t(2, "Returning %#x", SERIAL_PORT_E_CHANGE_IN_PROGRESS);
        return SERIAL_PORT_E_CHANGE_IN_PROGRESS;
    }

private:
    CSerialPortManager& m_port;
    BOOL m_bAdmitted;
};

// The two passes; each sink call is marked with the cookie of its connection.
HRESULT AskClients(CSerialPortManager& port, DWORD dwNoNotifyCookie, DISPID dispID)
{
    return CSerialPortManager::FireOnRequestEdit(dwNoNotifyCookie, port.GetControllingUnknown(),
                                                 dispID, &port.m_dwCalledCookie);
}

void TellClients(CSerialPortManager& port, DWORD dwNoNotifyCookie, DISPID dispID)
{
    CSerialPortManager::FireOnChanged(dwNoNotifyCookie, port.GetControllingUnknown(), dispID,
                                      &port.m_dwCalledCookie);
}

// ---- how values are widened for the no-change test -----------------------------------------
// Exactly as the setters compare them: a boolean argument is sign-extended against a bit
// of 0 or 1, a character argument zero-extended against a sign-extended current
// character, a limit argument sign-extended against a zero-extended current limit.

constexpr LONG BoolArgument(VARIANT_BOOL bValue) { return static_cast<LONG>(bValue); }
constexpr LONG CharArgument(CHAR cValue) { return static_cast<LONG>(static_cast<BYTE>(cValue)); }
constexpr LONG CharCurrent(char cValue) { return static_cast<LONG>(static_cast<signed char>(cValue)); }
constexpr LONG LimitArgument(SHORT nValue) { return static_cast<LONG>(nValue); }
constexpr LONG LimitCurrent(WORD wValue) { return static_cast<LONG>(wValue); }

// ---- the common setter and getter of a DCB property ------------------------------------------

// The texts and levels in which setters differ.
struct CSetterStyle {
    const char* pszGetStateError = "Error!  GetCommState failed.  Error = %#x";
    const char* pszSetting = "Setting the new value.";
    BOOL bBareLineAfterSetting = FALSE;  // the prefix alone, at level 4, after pszSetting
    const char* pszSetStateError = "Error!  SetCommState Failed.  Error = %#x";
    DWORD dwSetStateErrorLevel = 0;
    DWORD dwExitLevel = 2;
};

constexpr auto kNoCheck = [](const DCB&) { return S_OK; };
constexpr auto kNothingAfterWrite = [] {};

// The change protocol for one DCB property. current(dcb) gives the current value as the
// setter widens it; check(dcb) may refuse the argument once the DCB has been read;
// apply(dcb) puts the new value in; written() runs after a successful write.
template <class V, class Current, class Check, class Apply, class Written>
HRESULT PutDcbProperty(CSerialPortManager& port, const CAccessorTrace<V>& t,
                       const CSetterStyle& style, ULONG dwNoNotifyCookie, DISPID dispID,
                       LONG lNewValue, Current current, Check check, Apply apply,
                       Written written)
{
    CChangeScope change(port, dwNoNotifyCookie);
    if (!change.Admitted())
        return CChangeScope::Refuse(t);
    HRESULT hr = S_OK;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    t(3, "Getting current comm state and permission to change this property");
    if (!port.GetCommState(&dcb)) {
        t(0, style.pszGetStateError, GetLastError());
        hr = E_FAIL;
    } else if (FAILED(hr = check(dcb))) {
        // check traced the refusal; nobody was asked.
    } else {
        hr = port.RequestPropertyChange(dwNoNotifyCookie, dispID, lNewValue, current(dcb));
        t(4, "Request property change hr = %#x", hr);
        if (hr == S_FALSE) {
            t(3, "No change required.");
            hr = S_OK;
        } else if (SUCCEEDED(hr)) {
            apply(dcb);
            t(3, style.pszSetting);
            if (style.bBareLineAfterSetting)
                t.Entry(4);
            if (port.SetCommState(&dcb)) {
                written();
                t(3, "Value set.  Firing change notifications.");
                TellClients(port, dwNoNotifyCookie, dispID);
                hr = S_OK;
            } else {
                t(style.dwSetStateErrorLevel, style.pszSetStateError, GetLastError());
                hr = E_FAIL;
            }
        }
    }
    t(style.dwExitLevel, "Returning %#x", hr);
    return hr;
}

// The texts, levels and results in which getters differ.
struct CGetterStyle {
    const char* pszNullError = "Error!  pVal == NULL";
    HRESULT hrNull = E_POINTER;
    const char* pszGetStateError = "Error!  GetCommState failed.  Error = %#x";
    DWORD dwGetStateErrorLevel = 0;
};

// A getter of a DCB property: read(dcb) stores the value in *pVal and returns S_OK, or
// E_UNEXPECTED for a device value outside the enumeration.
template <class T, class Read>
HRESULT GetDcbProperty(CSerialPortManager& port, const CAccessorTrace<T*>& t,
                       const CGetterStyle& style, T* pVal, Read read)
{
    HRESULT hr = S_OK;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!pVal) {
        t(0, style.pszNullError);
        hr = style.hrNull;
    } else if (!port.GetCommState(&dcb)) {
        t(style.dwGetStateErrorLevel, style.pszGetStateError, GetLastError());
        hr = E_FAIL;
    } else {
        hr = read(dcb);
        t(5, "*pVal = %#x", *pVal);
    }
    t(2, "Returning %#x", hr);
    return hr;
}

// The getters of the line flags the object keeps itself: no device call. read() gives
// the value to report, read without a lock.
template <class Read>
HRESULT GetLineFlag(const CAccessorTrace<VARIANT_BOOL*>& t, VARIANT_BOOL* pVal, Read read)
{
    HRESULT hr = S_OK;
    if (!pVal) {
        t(0, "Error!  pVal == NULL");
        hr = E_POINTER;
    } else {
        *pVal = read();
        t(5, "*pVal = %#x", *pVal);
    }
    t(2, "Returning %#x", hr);
    return hr;
}

// ---- time-outs ------------------------------------------------------------------------------------

HRESULT GetTimeout(CSerialPortManager& port, const CAccessorTrace<ULONG*>& t,
                   DWORD COMMTIMEOUTS::*pField, ULONG* pVal, DWORD dwGetErrorLevel = 0)
{
    HRESULT hr = S_OK;
    if (!pVal) {
        t(0, "Error!  pVal == NULL");
        hr = E_POINTER;
    } else {
        COMMTIMEOUTS timeouts{};
        t(3, "Getting current comm timeouts.");
        if (!::GetCommTimeouts(port.m_hComm, &timeouts)) {
            *pVal = 0;
            t(dwGetErrorLevel, "Error!  GetCommTimeouts failed.  Error = %#x", GetLastError());
            hr = E_FAIL;
        } else {
            *pVal = timeouts.*pField;
            t(5, "*pVal == %#x", *pVal);
        }
    }
    t(2, "Returning %#x", hr);
    return hr;
}

HRESULT PutTimeout(CSerialPortManager& port, const CAccessorTrace<ULONG>& t,
                   ULONG dwNoNotifyCookie, DISPID dispID, DWORD COMMTIMEOUTS::*pField,
                   ULONG newVal)
{
    CChangeScope change(port, dwNoNotifyCookie);
    if (!change.Admitted())
        return CChangeScope::Refuse(t);
    HRESULT hr = S_OK;
    COMMTIMEOUTS timeouts{};
    t(3, "Getting current comm timeouts.");
    if (!::GetCommTimeouts(port.m_hComm, &timeouts)) {
        t(0, "Error!  GetCommTimeouts failed.  Error = %#x", GetLastError());
        hr = E_FAIL;
    } else {
        t(3, "Requesting property change.");
        hr = port.RequestPropertyChange(dwNoNotifyCookie, dispID, static_cast<LONG>(newVal),
                                        static_cast<LONG>(timeouts.*pField));
        t(4, "Request property change hr = %#x", hr);
        if (hr == S_FALSE) {
            t(3, "Property change not required.");
            hr = S_OK;
        } else if (SUCCEEDED(hr)) {
            timeouts.*pField = newVal;
            if (::SetCommTimeouts(port.m_hComm, &timeouts)) {
                t(3, "SetCommTimeouts succeeded.  Firing change notifications.");
                TellClients(port, dwNoNotifyCookie, dispID);
                hr = S_OK;
            } else {
                t(0, "Error!  SetCommTimeouts failed.  Error = %#x", GetLastError());
                hr = E_FAIL;
            }
        }
    }
    t(2, "Returning %#x", hr);
    return hr;
}

// The stored bit as 1 or 0.
template <class T>
T BitValue(DWORD dwBit)
{
    return static_cast<T>(dwBit ? 1 : 0);
}

}  // namespace

// ---- the change protocol ----------------------------------------------------------------------

HRESULT CSerialPortManager::RequestPropertyChange(DWORD dwNoNotifyCookie, DISPID dispID,
                                                  LONG lNewValue, LONG lCurrentValue)
{
    Trace(TRACE_CAT_SERIALPORT, 1,
          "CSerialPortManager(%#x)::RequestPropertyChange(%#x, %i, %i, %i)\n", this,
          dwNoNotifyCookie, dispID, lNewValue, lCurrentValue);
    HRESULT hr = S_OK;
    if (lNewValue == lCurrentValue)
        hr = S_FALSE;
    else if (AskClients(*this, dwNoNotifyCookie, dispID) == S_FALSE)
        hr = E_FAIL;
    Trace(TRACE_CAT_SERIALPORT, 2,
          "CSerialPortManager(%#x)::RequestPropertyChange(%#x, %i, %i, %i)  Returning %#x\n",
          this, dwNoNotifyCookie, dispID, lNewValue, lCurrentValue, hr);
    return hr;
}

namespace {

// Walks pUnk's IPropertyNotifySink connections in list order, through the enumerator's
// snapshot (so clients may advise or unadvise meanwhile), and calls visit(pSink) for
// every sink but the one whose connection cookie is dwNoNotifyCookie. visit returns FALSE
// to stop the walk. FALSE when the connections cannot be reached. pCalledCookie, when
// given, holds the cookie of the connection whose sink is being called, 0 between calls.
template <class Visit>
BOOL WalkPropertySinks(DWORD dwNoNotifyCookie, IUnknown* pUnk,
                       std::atomic<DWORD>* pCalledCookie, Visit visit)
{
    if (!pUnk)
        return FALSE;
    IConnectionPointContainer* pContainer = nullptr;
    if (FAILED(pUnk->QueryInterface(IID_IConnectionPointContainer,
                                    reinterpret_cast<void**>(&pContainer))))
        return FALSE;
    IConnectionPoint* pPoint = nullptr;
    IEnumConnections* pEnum = nullptr;
    BOOL bReached = FALSE;
    if (SUCCEEDED(pContainer->FindConnectionPoint(IID_IPropertyNotifySink, &pPoint)) &&
        SUCCEEDED(pPoint->EnumConnections(&pEnum))) {
        bReached = TRUE;
        CONNECTDATA cd{};
        BOOL bGoOn = TRUE;
        while (bGoOn && pEnum->Next(1, &cd, nullptr) == S_OK) {
            if (!cd.pUnk)
                continue;
            IPropertyNotifySink* pSink = nullptr;
            if (SUCCEEDED(cd.pUnk->QueryInterface(IID_IPropertyNotifySink,
                                                  reinterpret_cast<void**>(&pSink)))) {
                if (cd.dwCookie != dwNoNotifyCookie) {
                    if (pCalledCookie)
                        pCalledCookie->store(cd.dwCookie);
                    bGoOn = visit(pSink);
                    if (pCalledCookie)
                        pCalledCookie->store(0);
                }
                pSink->Release();
            }
            cd.pUnk->Release();
            cd.pUnk = nullptr;
        }
    }
    if (pEnum)
        pEnum->Release();
    if (pPoint)
        pPoint->Release();
    pContainer->Release();
    return bReached;
}

}  // namespace

HRESULT CSerialPortManager::FireOnRequestEdit(DWORD dwNoNotifyCookie, IUnknown* pUnk,
                                              DISPID dispID, std::atomic<DWORD>* pCalledCookie)
{
    Trace(TRACE_CAT_SERIALPORT, 1, "CSerialPortManager::FireOnRequestEdit(%#x, %#x, %i)\n",
          dwNoNotifyCookie, pUnk, dispID);
    HRESULT hr = S_OK;
    WalkPropertySinks(dwNoNotifyCookie, pUnk, pCalledCookie, [&hr, dispID](IPropertyNotifySink* pSink) {
        // Exactly S_FALSE refuses; any other answer, a failure included, consents.
        if (pSink->OnRequestEdit(dispID) == S_FALSE) {
            hr = S_FALSE;
            return FALSE;
        }
        return TRUE;
    });
    Trace(TRACE_CAT_SERIALPORT, 2,
          "CSerialPortManager::FireOnRequestEdit(%#x, %#x, %i)  Returning %#x\n",
          dwNoNotifyCookie, pUnk, dispID, hr);
    return hr;
}

HRESULT CSerialPortManager::FireOnChanged(DWORD dwNoNotifyCookie, IUnknown* pUnk, DISPID dispID,
                                          std::atomic<DWORD>* pCalledCookie)
{
    Trace(TRACE_CAT_SERIALPORT, 1, "CSerialPortManager::FireOnChanged(%#x, %#x, %i)\n",
          dwNoNotifyCookie, pUnk, dispID);
    WalkPropertySinks(dwNoNotifyCookie, pUnk, pCalledCookie, [dispID](IPropertyNotifySink* pSink) {
        pSink->OnChanged(dispID);
        return TRUE;
    });
    Trace(TRACE_CAT_SERIALPORT, 2,
          "CSerialPortManager::FireOnChanged(%#x, %#x, %i)  Returning %#x\n", dwNoNotifyCookie,
          pUnk, dispID, S_OK);
    return S_OK;
}

// ---- line-state getters: no lock ------------------------------------------------------------

#define TETHRA_LINE_GETTER(Name, Mask)                                                         \
    STDMETHODIMP CSerialPortManager::get_##Name(VARIANT_BOOL* pVal)                            \
    {                                                                                          \
        Trace(TRACE_CAT_SERIALPORT, 1, "CSerialPortManager(%#x)::get_" #Name "(%#x)\n", this,  \
              pVal);                                                                           \
        HRESULT hr = E_POINTER;                                                                \
        if (!pVal)                                                                             \
            Trace(TRACE_CAT_SERIALPORT, 0,                                                     \
                  "CSerialPortManager(%#x)::get_" #Name "(%#x)  Error!  pVal == NULL\n", this, \
                  pVal);                                                                       \
        else                                                                                   \
            hr = GetUARTStatusRegisterStatus(Mask, pVal);                                      \
        Trace(TRACE_CAT_SERIALPORT, 2,                                                         \
              "CSerialPortManager(%#x)::get_" #Name "(%#x)  Returning %#x\n", this, pVal, hr); \
        return hr;                                                                             \
    }

TETHRA_LINE_GETTER(CDLine, MS_RLSD_ON)
TETHRA_LINE_GETTER(CTSLine, MS_CTS_ON)
TETHRA_LINE_GETTER(DSRLine, MS_DSR_ON)

#undef TETHRA_LINE_GETTER

STDMETHODIMP CSerialPortManager::get_PortNum(LONG* pVal)
{
    Trace(TRACE_CAT_SERIALPORT, 1, "CSerialPortManager(%#x)::get_PortNum(%#x)\n", this, pVal);
    HRESULT hr = S_OK;
    if (!pVal) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::get_PortNum(%#x)  Error! pVal == NULL\n", this, pVal);
        hr = E_POINTER;
    } else {
        *pVal = m_lPortNum;
    }
    Trace(TRACE_CAT_SERIALPORT, 2, "CSerialPortManager(%#x)::get_PortNum(%#x)  Returning %#x\n",
          this, pVal, hr);
    return hr;
}

// ---- bit properties ---------------------------------------------------------------------------

STDMETHODIMP CSerialPortManager::get_NULLDiscard(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal)
{
    const CAccessorTrace<VARIANT_BOOL*> t(this, "get_NULLDiscard", dwNoNotifyCookie, pVal, "%#x");
    t.Entry();
    return GetDcbProperty(*this, t, CGetterStyle{}, pVal, [pVal](const DCB& dcb) {
        *pVal = BitValue<VARIANT_BOOL>(dcb.fNull);
        return S_OK;
    });
}

STDMETHODIMP CSerialPortManager::put_NULLDiscard(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal)
{
    // This accessor's messages have one blank after the prefix.
    const CAccessorTrace<VARIANT_BOOL> t(this, "put_NULLDiscard", dwNoNotifyCookie, newVal, "%i",
                                         " ", " ");
    t.Entry();
    CSetterStyle style;
    style.pszGetStateError = "Error!  GetCommState Failed.";
    style.pszSetStateError = "Error!  SetCommState Failed.";
    return PutDcbProperty(
        *this, t, style, dwNoNotifyCookie, DISPID_ISerialPort_NULLDiscard, BoolArgument(newVal),
        [](const DCB& dcb) { return static_cast<LONG>(dcb.fNull); }, kNoCheck,
        [newVal](DCB& dcb) { dcb.fNull = newVal ? 1 : 0; }, kNothingAfterWrite);
}

STDMETHODIMP CSerialPortManager::get_ParityReplace(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal)
{
    const CAccessorTrace<VARIANT_BOOL*> t(this, "get_ParityReplace", dwNoNotifyCookie, pVal,
                                          "%#x");
    t.Entry();
    CGetterStyle style;
    style.pszGetStateError = "Error!  Failed to get comm status.";
    return GetDcbProperty(*this, t, style, pVal, [pVal](const DCB& dcb) {
        *pVal = BitValue<VARIANT_BOOL>(dcb.fErrorChar);
        return S_OK;
    });
}

STDMETHODIMP CSerialPortManager::put_ParityReplace(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal)
{
    const CAccessorTrace<VARIANT_BOOL> t(this, "put_ParityReplace", dwNoNotifyCookie, newVal,
                                         "%i");
    t.Entry();
    return PutDcbProperty(
        *this, t, CSetterStyle{}, dwNoNotifyCookie, DISPID_ISerialPort_ParityReplace,
        BoolArgument(newVal), [](const DCB& dcb) { return static_cast<LONG>(dcb.fErrorChar); },
        kNoCheck, [newVal](DCB& dcb) { dcb.fErrorChar = newVal ? 1 : 0; }, kNothingAfterWrite);
}

STDMETHODIMP CSerialPortManager::get_ParityEnable(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal)
{
    const CAccessorTrace<VARIANT_BOOL*> t(this, "get_ParityEnable", dwNoNotifyCookie, pVal,
                                          "%#x");
    t.Entry();
    return GetDcbProperty(*this, t, CGetterStyle{}, pVal, [pVal](const DCB& dcb) {
        *pVal = BitValue<VARIANT_BOOL>(dcb.fParity);
        return S_OK;
    });
}

STDMETHODIMP CSerialPortManager::put_ParityEnable(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal)
{
    const CAccessorTrace<VARIANT_BOOL> t(this, "put_ParityEnable", dwNoNotifyCookie, newVal, "%i");
    t.Entry();
    return PutDcbProperty(
        *this, t, CSetterStyle{}, dwNoNotifyCookie, DISPID_ISerialPort_ParityEnable,
        BoolArgument(newVal), [](const DCB& dcb) { return static_cast<LONG>(dcb.fParity); },
        kNoCheck, [newVal](DCB& dcb) { dcb.fParity = newVal ? 1 : 0; }, kNothingAfterWrite);
}

STDMETHODIMP CSerialPortManager::get_DSRHandshakingEnable(ULONG dwNoNotifyCookie,
                                                          VARIANT_BOOL* pVal)
{
    const CAccessorTrace<VARIANT_BOOL*> t(this, "get_DSRHandshakingEnable", dwNoNotifyCookie,
                                          pVal, "%#x");
    t.Entry();
    CGetterStyle style;
    style.dwGetStateErrorLevel = 3;
    return GetDcbProperty(*this, t, style, pVal, [pVal](const DCB& dcb) {
        *pVal = BitValue<VARIANT_BOOL>(dcb.fOutxDsrFlow);
        return S_OK;
    });
}

STDMETHODIMP CSerialPortManager::put_DSRHandshakingEnable(ULONG dwNoNotifyCookie,
                                                          VARIANT_BOOL newVal)
{
    const CAccessorTrace<VARIANT_BOOL> t(this, "put_DSRHandshakingEnable", dwNoNotifyCookie,
                                         newVal, "%i");
    t.Entry();
    return PutDcbProperty(
        *this, t, CSetterStyle{}, dwNoNotifyCookie, DISPID_ISerialPort_DSRHandshakingEnable,
        BoolArgument(newVal), [](const DCB& dcb) { return static_cast<LONG>(dcb.fOutxDsrFlow); },
        kNoCheck,
        [newVal](DCB& dcb) {
            dcb.fOutxDsrFlow = newVal ? 1 : 0;
            dcb.fDsrSensitivity = newVal ? 1 : 0;
        },
        kNothingAfterWrite);
}

// ---- DTR ----------------------------------------------------------------------------------------

STDMETHODIMP CSerialPortManager::get_DTREnable(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal)
{
    const CAccessorTrace<VARIANT_BOOL*> t(this, "get_DTREnable", dwNoNotifyCookie, pVal, "%#x");
    t.Entry();
    return GetDcbProperty(*this, t, CGetterStyle{}, pVal, [pVal](const DCB& dcb) {
        switch (dcb.fDtrControl) {
        case DTR_CONTROL_DISABLE:
            *pVal = 0;
            return S_OK;
        case DTR_CONTROL_ENABLE:
            *pVal = 1;
            return S_OK;
        default:  // handshake (2) or 3: enabled, but not by this property
            *pVal = 1;
            return E_UNEXPECTED;
        }
    });
}

STDMETHODIMP CSerialPortManager::put_DTREnable(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal)
{
    const CAccessorTrace<VARIANT_BOOL> t(this, "put_DTREnable", dwNoNotifyCookie, newVal, "%i");
    t.Entry();
    return PutDcbProperty(
        *this, t, CSetterStyle{}, dwNoNotifyCookie, DISPID_ISerialPort_DTREnable,
        BoolArgument(newVal),
        [](const DCB& dcb) { return dcb.fDtrControl == DTR_CONTROL_ENABLE ? 1L : 0L; }, kNoCheck,
        [newVal](DCB& dcb) { dcb.fDtrControl = newVal ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE; },
        [this, newVal] { StoreFlag(m_bDTRLineActive, newVal ? TRUE : FALSE); });
}

STDMETHODIMP CSerialPortManager::get_DTRLine(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal)
{
    const CAccessorTrace<VARIANT_BOOL*> t(this, "get_DTRLine", dwNoNotifyCookie, pVal, "%#x");
    t.Entry();
    // As stored: a TRUE given as -1 reads back as -1.
    return GetLineFlag(t, pVal,
                       [this] { return static_cast<VARIANT_BOOL>(LoadFlag(m_bDTRLineActive)); });
}

STDMETHODIMP CSerialPortManager::put_DTRLine(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal)
{
    const CAccessorTrace<VARIANT_BOOL> t(this, "put_DTRLine", dwNoNotifyCookie, newVal, "%i");
    t.Entry();
    CChangeScope change(*this, dwNoNotifyCookie);
    if (!change.Admitted())
        return CChangeScope::Refuse(t);
    HRESULT hr = S_OK;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    t(3, "Getting current comm state.");
    if (!GetCommState(&dcb)) {
        t(0, "Error!  GetCommState failed.  Error = %#x", GetLastError());
        hr = E_FAIL;
    } else {
        const BOOL bDTREnable = dcb.fDtrControl == DTR_CONTROL_ENABLE;
        t(5, "bDTREnable = %#x, m_bDTRLineActive = %#x", bDTREnable, LoadFlag(m_bDTRLineActive));
        if (!bDTREnable) {
            t(0, "Error!  DTR is not enabled!");
            hr = E_FAIL;
        } else {
            t(3, "Requesting line property change.");
            hr = RequestPropertyChange(dwNoNotifyCookie, DISPID_ISerialPort_DTRLine,
                                       BoolArgument(newVal), LoadFlag(m_bDTRLineActive));
            t(4, "Property change request hr = %#x", hr);
            if (hr == S_FALSE) {
                t(3, "No property change required.");
                hr = S_OK;
            } else if (SUCCEEDED(hr)) {
                t(3, "Setting the new property value.");
                if (EscapeCommFunction(newVal ? SETDTR : CLRDTR)) {
                    StoreFlag(m_bDTRLineActive, BoolArgument(newVal));
                    t(3, "EscapeCommFunction succeeded.  Notifying connected clients.");
                    TellClients(*this, dwNoNotifyCookie, DISPID_ISerialPort_DTRLine);
                    hr = S_OK;
                } else {
                    t(0, "Error!  EscapeCommFunction failed.  Error = %#x", GetLastError());
                    hr = E_FAIL;
                }
            }
        }
    }
    t(2, "Returning %#x", hr);
    return hr;
}

// ---- RTS and handshaking -------------------------------------------------------------------------

STDMETHODIMP CSerialPortManager::get_RTSLine(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal)
{
    const CAccessorTrace<VARIANT_BOOL*> t(this, "get_RTSLine", dwNoNotifyCookie, pVal, "%#x");
    t.Entry();
    // The control mode in the DCB, not the level last set through the escape functions.
    return GetDcbProperty(*this, t, CGetterStyle{}, pVal, [pVal](const DCB& dcb) {
        *pVal = dcb.fRtsControl == RTS_CONTROL_ENABLE ? 1 : 0;
        return S_OK;
    });
}

STDMETHODIMP CSerialPortManager::put_RTSLine(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal)
{
    const CAccessorTrace<VARIANT_BOOL> t(this, "put_RTSLine", dwNoNotifyCookie, newVal, "%i");
    t.Entry();
    CChangeScope change(*this, dwNoNotifyCookie);
    if (!change.Admitted())
        return CChangeScope::Refuse(t);
    HRESULT hr = S_OK;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(&dcb)) {
        t(0, "Error!  GetCommState failed.  Error = %#x", GetLastError());
        hr = E_FAIL;
    } else {
        hr = RequestPropertyChange(dwNoNotifyCookie, DISPID_ISerialPort_RTSLine,
                                   BoolArgument(newVal), LoadFlag(m_bRTSLineActive));
        t(4, "Property Change Request hr = %#x ", hr);
        if (hr == S_OK) {
            BOOL bEscaped = TRUE;
            DWORD dwFunc = 0;
            switch (dcb.fRtsControl) {
            case RTS_CONTROL_DISABLE:
                if (newVal) {
                    dcb.fRtsControl = RTS_CONTROL_ENABLE;
                    SetCommState(&dcb);
                    dwFunc = SETRTS;
                } else {
                    StoreFlag(m_bRTSLineActive, FALSE);
                }
                break;
            case RTS_CONTROL_HANDSHAKE:
                // The driver owns RTS: nothing to do, but the change is still announced.
                break;
            default:  // RTS_CONTROL_ENABLE or 3
                dwFunc = newVal ? SETRTS : CLRRTS;
                break;
            }
            if (dwFunc != 0) {
                bEscaped = EscapeCommFunction(dwFunc);
                if (bEscaped)
                    StoreFlag(m_bRTSLineActive, dwFunc == SETRTS ? TRUE : FALSE);
            }
            if (!bEscaped) {
                t(0, "Error!  EscapeCommFunction failed.  Error = %#x ", GetLastError());
                hr = E_FAIL;
            } else {
                TellClients(*this, dwNoNotifyCookie, DISPID_ISerialPort_RTSLine);
                hr = S_OK;
            }
        }
    }
    t(2, "Returning %#x", hr);
    return hr;
}

STDMETHODIMP CSerialPortManager::get_HandShakingMode(ULONG dwNoNotifyCookie,
                                                     HandShakingConstants* pVal)
{
    const CAccessorTrace<HandShakingConstants*> t(this, "get_HandShakingMode", dwNoNotifyCookie,
                                                  pVal, "%#x");
    t.Entry();
    return GetDcbProperty(*this, t, CGetterStyle{}, pVal, [pVal](const DCB& dcb) {
        const LONG lXOnXOff = dcb.fInX ? 1 : 0;
        switch (dcb.fRtsControl) {
        case RTS_CONTROL_TOGGLE:
            *pVal = static_cast<HandShakingConstants>(spoRTSCTS + lXOnXOff);
            return S_OK;
        case RTS_CONTROL_HANDSHAKE:
            *pVal = static_cast<HandShakingConstants>(spoRTSCTS + lXOnXOff);
            return E_UNEXPECTED;
        default:
            *pVal = static_cast<HandShakingConstants>(lXOnXOff);
            return S_OK;
        }
    });
}

STDMETHODIMP CSerialPortManager::put_HandShakingMode(ULONG dwNoNotifyCookie,
                                                     HandShakingConstants newVal)
{
    const CAccessorTrace<HandShakingConstants> t(this, "put_HandShakingMode", dwNoNotifyCookie,
                                                 newVal, "%i");
    t.Entry();
    CChangeScope change(*this, dwNoNotifyCookie);
    if (!change.Admitted())
        return CChangeScope::Refuse(t);
    HRESULT hr = S_FALSE;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    t(3, "Getting current comm state and requesting property change.");
    if (!GetCommState(&dcb)) {
        t(0, "Error!  GetCommState Failed.");
        hr = E_UNEXPECTED;
    } else {
        // RTS/CTS handshaking is the toggle mode (both bits), not RTS_CONTROL_HANDSHAKE.
        const BOOL bXOnXOff = dcb.fInX ? TRUE : FALSE;
        const BOOL bRTSCTS = dcb.fRtsControl == RTS_CONTROL_TOGGLE;
        t(4, "bXOnXOff=%i, bRTSCTS=%i", bXOnXOff, bRTSCTS);
        BOOL bInEffect;
        switch (newVal) {
        case spoHandshakingNone:
            bInEffect = !bXOnXOff && !bRTSCTS;
            break;
        case spoXOnXOff:
            bInEffect = bXOnXOff && !bRTSCTS;
            break;
        case spoRTSCTS:
            bInEffect = !bXOnXOff && bRTSCTS;
            break;
        default:  // spoRTSCTSXOnXOff, and any value outside the enumeration
            bInEffect = bXOnXOff && bRTSCTS;
            break;
        }
        if (!bInEffect)
            hr = AskClients(*this, dwNoNotifyCookie, DISPID_ISerialPort_HandShakingMode);
        t(4, "Request property change hr = %#x", hr);
        if (hr != S_FALSE) {
            t(3, "Determining the handshaking parameters.");
            const BOOL bWithXOnXOff = newVal != spoHandshakingNone && newVal != spoRTSCTS;
            const BOOL bWithRTSCTS = newVal != spoHandshakingNone && newVal != spoXOnXOff;
            dcb.fOutX = bWithXOnXOff ? 1 : 0;
            dcb.fInX = bWithXOnXOff ? 1 : 0;
            if (bWithRTSCTS)
                dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            else
                dcb.fRtsControl =
                    LoadFlag(m_bRTSLineActive) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            t(3, "Setting the new value.");
            if (SetCommState(&dcb)) {
                t(4, "SetCommState succeeded and now firing property change notifications.");
                TellClients(*this, dwNoNotifyCookie, DISPID_ISerialPort_HandShakingMode);
                hr = S_OK;
            } else {
                t(0, "Error!  SetCommState Failed.");
                hr = E_FAIL;
            }
        }
    }
    t(2, "Returning %#x", hr);
    return hr;
}

// ---- break ---------------------------------------------------------------------------------------

STDMETHODIMP CSerialPortManager::get_Break(ULONG dwNoNotifyCookie, VARIANT_BOOL* pVal)
{
    const CAccessorTrace<VARIANT_BOOL*> t(this, "get_Break", dwNoNotifyCookie, pVal, "%#x");
    t.Entry();
    return GetLineFlag(t, pVal, [this] {
        return static_cast<VARIANT_BOOL>(LoadFlag(m_bBreakActive) ? 1 : 0);
    });
}

// Break asks and tells nobody: it is a momentary line condition, not a setting.
STDMETHODIMP CSerialPortManager::put_Break(ULONG dwNoNotifyCookie, VARIANT_BOOL newVal)
{
    const CAccessorTrace<VARIANT_BOOL> t(this, "put_Break", dwNoNotifyCookie, newVal, "%i");
    t.Entry();
    CChangeScope change(*this, dwNoNotifyCookie);
    if (!change.Admitted())
        return CChangeScope::Refuse(t);
    HRESULT hr = S_OK;
    if (BoolArgument(newVal) != LoadFlag(m_bBreakActive)) {
        if (newVal) {
            if (::SetCommBreak(m_hComm)) {
                StoreFlag(m_bBreakActive, 1);
            } else {
                t(0, "Could not set the break");
                hr = E_FAIL;
            }
        } else {
            if (::ClearCommBreak(m_hComm)) {
                StoreFlag(m_bBreakActive, 0);
            } else {
                t(0, "Could not clear the break");
                hr = E_FAIL;
            }
        }
    }
    t(2, "Returning %#x", hr);
    return hr;
}

// ---- framing -------------------------------------------------------------------------------------

STDMETHODIMP CSerialPortManager::get_ParityScheme(ULONG dwNoNotifyCookie,
                                                  ParitySchemeConstants* pVal)
{
    const CAccessorTrace<ParitySchemeConstants*> t(this, "get_ParityScheme", dwNoNotifyCookie,
                                                   pVal, "%#x");
    t.Entry();
    return GetDcbProperty(*this, t, CGetterStyle{}, pVal, [pVal, &t](const DCB& dcb) {
        if (dcb.Parity <= SPACEPARITY) {
            *pVal = static_cast<ParitySchemeConstants>(dcb.Parity);
            return S_OK;
        }
        *pVal = spoParityNone;
        t(0, "Error!  Unhandled parity type %#x", dcb.Parity);
        return E_UNEXPECTED;
    });
}

STDMETHODIMP CSerialPortManager::put_ParityScheme(ULONG dwNoNotifyCookie,
                                                  ParitySchemeConstants newVal)
{
    const CAccessorTrace<ParitySchemeConstants> t(this, "put_ParityScheme", dwNoNotifyCookie,
                                                  newVal, "%i");
    t.Entry();
    CSetterStyle style;
    style.dwExitLevel = 1;
    return PutDcbProperty(
        *this, t, style, dwNoNotifyCookie, DISPID_ISerialPort_ParityScheme,
        static_cast<LONG>(newVal), [](const DCB& dcb) { return static_cast<LONG>(dcb.Parity); },
        [newVal, &t](const DCB&) {
            if (newVal < spoParityNone || newVal > spoSpace) {
                t(0, "Error!  Invalid parity scheme.");
                return E_INVALIDARG;
            }
            return S_OK;
        },
        [newVal](DCB& dcb) { dcb.Parity = static_cast<BYTE>(newVal); }, kNothingAfterWrite);
}

STDMETHODIMP CSerialPortManager::get_Bits(ULONG dwNoNotifyCookie, BYTE* pVal)
{
    const CAccessorTrace<BYTE*> t(this, "get_Bits", dwNoNotifyCookie, pVal, "%#x");
    t.Entry();
    return GetDcbProperty(*this, t, CGetterStyle{}, pVal, [pVal](const DCB& dcb) {
        *pVal = dcb.ByteSize;
        return S_OK;
    });
}

STDMETHODIMP CSerialPortManager::put_Bits(ULONG dwNoNotifyCookie, BYTE newVal)
{
    const CAccessorTrace<BYTE> t(this, "put_Bits", dwNoNotifyCookie, newVal, "%i");
    t.Entry();
    if (newVal < 4 || newVal > 8) {
        t(0, "Error!  Invalid arguments.");
        t(2, "Returning %#x", E_INVALIDARG);
        return E_INVALIDARG;
    }
    return PutDcbProperty(
        *this, t, CSetterStyle{}, dwNoNotifyCookie, DISPID_ISerialPort_Bits,
        static_cast<LONG>(newVal), [](const DCB& dcb) { return static_cast<LONG>(dcb.ByteSize); },
        kNoCheck, [newVal](DCB& dcb) { dcb.ByteSize = newVal; }, kNothingAfterWrite);
}

STDMETHODIMP CSerialPortManager::get_StopBits(ULONG dwNoNotifyCookie, StopBitsConstants* pVal)
{
    const CAccessorTrace<StopBitsConstants*> t(this, "get_StopBits", dwNoNotifyCookie, pVal,
                                               "%#x");
    t.Entry();
    return GetDcbProperty(*this, t, CGetterStyle{}, pVal, [pVal](const DCB& dcb) {
        if (dcb.StopBits <= TWOSTOPBITS) {
            *pVal = static_cast<StopBitsConstants>(dcb.StopBits);
            return S_OK;
        }
        *pVal = spoTwoBit;
        return E_UNEXPECTED;
    });
}

// No range check: the low byte goes to the device, which refuses what it cannot do.
STDMETHODIMP CSerialPortManager::put_StopBits(ULONG dwNoNotifyCookie, StopBitsConstants newVal)
{
    const CAccessorTrace<StopBitsConstants> t(this, "put_StopBits", dwNoNotifyCookie, newVal,
                                              "%i");
    t.Entry();
    CSetterStyle style;
    style.pszSetting = "Setting the stop bits";
    style.bBareLineAfterSetting = TRUE;
    style.dwSetStateErrorLevel = 4;
    return PutDcbProperty(
        *this, t, style, dwNoNotifyCookie, DISPID_ISerialPort_StopBits, static_cast<LONG>(newVal),
        [](const DCB& dcb) { return static_cast<LONG>(dcb.StopBits); }, kNoCheck,
        [newVal](DCB& dcb) { dcb.StopBits = static_cast<BYTE>(newVal); }, kNothingAfterWrite);
}

// No range check: a rate the device cannot do fails at SetCommState.
STDMETHODIMP CSerialPortManager::get_BaudRate(ULONG dwNoNotifyCookie, ULONG* pVal)
{
    const CAccessorTrace<ULONG*> t(this, "get_BaudRate", dwNoNotifyCookie, pVal, "%#x");
    t.Entry();
    return GetDcbProperty(*this, t, CGetterStyle{}, pVal, [pVal](const DCB& dcb) {
        *pVal = dcb.BaudRate;
        return S_OK;
    });
}

STDMETHODIMP CSerialPortManager::put_BaudRate(ULONG dwNoNotifyCookie, ULONG newVal)
{
    const CAccessorTrace<ULONG> t(this, "put_BaudRate", dwNoNotifyCookie, newVal, "%i");
    t.Entry();
    CSetterStyle style;
    style.dwExitLevel = 1;
    return PutDcbProperty(
        *this, t, style, dwNoNotifyCookie, DISPID_ISerialPort_BaudRate, static_cast<LONG>(newVal),
        [](const DCB& dcb) { return static_cast<LONG>(dcb.BaudRate); }, kNoCheck,
        [newVal](DCB& dcb) { dcb.BaudRate = newVal; }, kNothingAfterWrite);
}

// ---- special characters ---------------------------------------------------------------------------

#define TETHRA_CHAR_PROPERTY(Name, Field, GetterStyle)                                           \
    STDMETHODIMP CSerialPortManager::get_##Name(ULONG dwNoNotifyCookie, CHAR* pVal)              \
    {                                                                                            \
        const CAccessorTrace<CHAR*> t(this, "get_" #Name, dwNoNotifyCookie, pVal, "%#x");        \
        t.Entry();                                                                               \
        return GetDcbProperty(*this, t, GetterStyle, pVal, [pVal](const DCB& dcb) {              \
            *pVal = dcb.Field;                                                                   \
            return S_OK;                                                                         \
        });                                                                                      \
    }                                                                                            \
    STDMETHODIMP CSerialPortManager::put_##Name(ULONG dwNoNotifyCookie, CHAR newVal)             \
    {                                                                                            \
        const CAccessorTrace<CHAR> t(this, "put_" #Name, dwNoNotifyCookie, newVal, "%c");        \
        t.Entry();                                                                               \
        return PutDcbProperty(                                                                   \
            *this, t, CSetterStyle{}, dwNoNotifyCookie, DISPID_ISerialPort_##Name,               \
            CharArgument(newVal), [](const DCB& dcb) { return CharCurrent(dcb.Field); },         \
            kNoCheck, [newVal](DCB& dcb) { dcb.Field = newVal; }, kNothingAfterWrite);           \
    }

namespace {

// get_XOnChar answers a null pointer with E_INVALIDARG, and traces its GetCommState
// failure at level 1 (as get_EventChar does).
CGetterStyle XOnCharGetterStyle()
{
    CGetterStyle style;
    style.pszNullError = "Error!  pVal = NULL";
    style.hrNull = E_INVALIDARG;
    style.pszGetStateError = "Error!  GetCommState failed.  Error  = %#x";
    style.dwGetStateErrorLevel = 1;
    return style;
}

CGetterStyle EventCharGetterStyle()
{
    CGetterStyle style;
    style.dwGetStateErrorLevel = 1;
    return style;
}

}  // namespace

TETHRA_CHAR_PROPERTY(XOnChar, XonChar, XOnCharGetterStyle())
TETHRA_CHAR_PROPERTY(XOffChar, XoffChar, CGetterStyle{})
TETHRA_CHAR_PROPERTY(EventChar, EvtChar, EventCharGetterStyle())
TETHRA_CHAR_PROPERTY(ErrorChar, ErrorChar, CGetterStyle{})

#undef TETHRA_CHAR_PROPERTY

// ---- flow-control limits -------------------------------------------------------------------------

STDMETHODIMP CSerialPortManager::get_XOnLimit(ULONG dwNoNotifyCookie, SHORT* pVal)
{
    const CAccessorTrace<SHORT*> t(this, "get_XOnLimit", dwNoNotifyCookie, pVal, "%#x");
    t.Entry();
    return GetDcbProperty(*this, t, CGetterStyle{}, pVal, [pVal](const DCB& dcb) {
        *pVal = static_cast<SHORT>(dcb.XonLim);
        return S_OK;
    });
}

STDMETHODIMP CSerialPortManager::put_XOnLimit(ULONG dwNoNotifyCookie, SHORT newVal)
{
    const CAccessorTrace<SHORT> t(this, "put_XOnLimit", dwNoNotifyCookie, newVal, "%#x");
    t.Entry();
    if (newVal == 0) {
        // This message has no newline of its own.
        Trace(TRACE_CAT_SERIALPORT, 0, "CSerialPortManager(%#x)::put_XOnLimit(%#x, %#x)  Error!  newVal == 0",
              this, dwNoNotifyCookie, newVal);
        t(2, "Returning %#x", E_INVALIDARG);
        return E_INVALIDARG;
    }
    CSetterStyle style;
    style.pszSetStateError = "Error!  SetCommState failed.  Error = %#x";
    style.dwSetStateErrorLevel = 4;
    return PutDcbProperty(
        *this, t, style, dwNoNotifyCookie, DISPID_ISerialPort_XOnLimit, LimitArgument(newVal),
        [](const DCB& dcb) { return LimitCurrent(dcb.XonLim); }, kNoCheck,
        [newVal](DCB& dcb) { dcb.XonLim = static_cast<WORD>(newVal); }, kNothingAfterWrite);
}

STDMETHODIMP CSerialPortManager::get_XOffLimit(ULONG dwNoNotifyCookie, SHORT* pVal)
{
    const CAccessorTrace<SHORT*> t(this, "get_XOffLimit", dwNoNotifyCookie, pVal, "%#x");
    t.Entry();
    return GetDcbProperty(*this, t, CGetterStyle{}, pVal, [pVal](const DCB& dcb) {
        *pVal = static_cast<SHORT>(dcb.XoffLim);
        return S_OK;
    });
}

// 0 is accepted here, unlike XOnLimit.
STDMETHODIMP CSerialPortManager::put_XOffLimit(ULONG dwNoNotifyCookie, SHORT newVal)
{
    const CAccessorTrace<SHORT> t(this, "put_XOffLimit", dwNoNotifyCookie, newVal, "%#x");
    t.Entry();
    CSetterStyle style;
    style.pszSetStateError = "Error!   ";
    style.dwSetStateErrorLevel = 3;
    return PutDcbProperty(
        *this, t, style, dwNoNotifyCookie, DISPID_ISerialPort_XOffLimit, LimitArgument(newVal),
        [](const DCB& dcb) { return LimitCurrent(dcb.XoffLim); }, kNoCheck,
        [newVal](DCB& dcb) { dcb.XoffLim = static_cast<WORD>(newVal); }, kNothingAfterWrite);
}

// ---- time-outs and the receive buffer --------------------------------------------------------------

#define TETHRA_TIMEOUT_PROPERTY(Name, Field, GetterEntryLevel, GetErrorLevel)                   \
    STDMETHODIMP CSerialPortManager::get_##Name(ULONG dwNoNotifyCookie, ULONG* pVal)            \
    {                                                                                           \
        const CAccessorTrace<ULONG*> t(this, "get_" #Name, dwNoNotifyCookie, pVal, "%#x");      \
        t.Entry(GetterEntryLevel);                                                              \
        return GetTimeout(*this, t, &COMMTIMEOUTS::Field, pVal, GetErrorLevel);                 \
    }                                                                                           \
    STDMETHODIMP CSerialPortManager::put_##Name(ULONG dwNoNotifyCookie, ULONG newVal)           \
    {                                                                                           \
        const CAccessorTrace<ULONG> t(this, "put_" #Name, dwNoNotifyCookie, newVal, "%u");      \
        t.Entry();                                                                              \
        return PutTimeout(*this, t, dwNoNotifyCookie, DISPID_ISerialPort_##Name,                \
                          &COMMTIMEOUTS::Field, newVal);                                        \
    }

TETHRA_TIMEOUT_PROPERTY(ReadIntervalTimeOut, ReadIntervalTimeout, 1, 4)
TETHRA_TIMEOUT_PROPERTY(ReadTotalTimeoutMult, ReadTotalTimeoutMultiplier, 1, 0)
TETHRA_TIMEOUT_PROPERTY(ReadTotalTimeoutConst, ReadTotalTimeoutConstant, 1, 0)
TETHRA_TIMEOUT_PROPERTY(WriteTotalTimeoutMult, WriteTotalTimeoutMultiplier, 3, 0)
TETHRA_TIMEOUT_PROPERTY(WriteTotalTimeoutConst, WriteTotalTimeoutConstant, 1, 0)

#undef TETHRA_TIMEOUT_PROPERTY

// No device call: the size applies to the next read the port-event task starts, not to a
// read already outstanding.
STDMETHODIMP CSerialPortManager::put_ReceiveBufferSize(ULONG dwNoNotifyCookie, ULONG newVal)
{
    const CAccessorTrace<ULONG> t(this, "put_ReceiveBufferSize", dwNoNotifyCookie, newVal, "%#x");
    t.Entry();
    CChangeScope change(*this, dwNoNotifyCookie);
    if (!change.Admitted())
        return CChangeScope::Refuse(t);
    HRESULT hr = S_OK;
    if (newVal == 0) {
        t(0, "Error!  newVal is 0!");
        hr = E_INVALIDARG;
    } else {
        t(3, "Requesting property changed.");
        hr = RequestPropertyChange(dwNoNotifyCookie, DISPID_ISerialPort_ReceiveBufferSize,
                                   static_cast<LONG>(newVal),
                                   static_cast<LONG>(m_dwReadBufferSize.load()));
        t(4, "Request property change hr = %#x", hr);
        if (hr == S_FALSE) {
            t(3, "No property change required.");
            hr = S_OK;
        } else if (SUCCEEDED(hr)) {
            t(3, "Setting the new value and notifying connected clients.");
            m_dwReadBufferSize.store(newVal);
            TellClients(*this, dwNoNotifyCookie, DISPID_ISerialPort_ReceiveBufferSize);
            hr = S_OK;
        }
    }
    t(2, "Returning %#x", hr);
    return hr;
}

STDMETHODIMP CSerialPortManager::get_ReceiveBufferSize(ULONG dwNoNotifyCookie, ULONG* newVal)
{
    const CAccessorTrace<ULONG*> t(this, "get_ReceiveBufferSize", dwNoNotifyCookie, newVal,
                                   "%#x");
    t.Entry();
    HRESULT hr = S_OK;
    if (!newVal) {
        t(0, "Error!  pVal == NULL");
        hr = E_POINTER;
    } else {
        *newVal = m_dwReadBufferSize.load();
        t(4, "m_dwReadBufferSize = %#x", *newVal);
    }
    t(2, "Returning %#x", hr);
    return hr;
}
