#include "traffic/NotificationLeaves.h"

#include "platform/com/hresult.h"
#include "platform/com/oleauto.h"
#include "trace/trace.h"
#include "traffic/PortEventsConnectionPoint.h"

#include <cstring>
#include <new>

namespace {

// _ISerialPortEvents members, by DISPID.
constexpr DISPID kDispIdOnData = 1;
constexpr DISPID kDispIdOnPortEvent = 2;
constexpr DISPID kDispIdOnError = 3;
// Codes from here up are errors (ErrorConstants), below it events (EventConstants).
constexpr LONG kFirstErrorCode = 1000;

// Takes the call right on behalf of a leaf: TRUE when the sink may be called now, with a
// reference held for the call when there is a gate.
BOOL BeginCall(CConnectionGate* pGate, IDispatch* pSink)
{
    return pGate ? pGate->EnterCall(pSink) : TRUE;
}

void EndCall(CConnectionGate* pGate, IDispatch* pSink)
{
    if (pGate)
        pGate->LeaveCall(pSink);
}

// A leaf's end: its charge back to the account, then its reference on the gate.
void LetGo(CConnectionGate* pGate, ULONGLONG qwCharge)
{
    if (!pGate)
        return;
    if (qwCharge)
        pGate->Discharge(qwCharge);
    pGate->Release();
}

}  // namespace

// ---- CSharedBytes ---------------------------------------------------------------------------

CSharedBytes* CSharedBytes::Create(DWORD dwLength, const BYTE* pData)
{
    if (dwLength == 0)
        return nullptr;
    void* pMemory = ::operator new(sizeof(CSharedBytes) + dwLength, std::nothrow);
    if (!pMemory)
        return nullptr;
    auto* pBytes = new (pMemory) CSharedBytes(dwLength);
    std::memcpy(static_cast<BYTE*>(pMemory) + sizeof(CSharedBytes), pData, dwLength);
    return pBytes;
}

void CSharedBytes::Release()
{
    if (--m_lRef == 0) {
        this->~CSharedBytes();
        ::operator delete(this);
    }
}

// ---- CDataNotificationLeaf ------------------------------------------------------------------

CDataNotificationLeaf::CDataNotificationLeaf(IDispatch* pSink, DWORD dwLength, const BYTE* pData,
                                             BOOL bAutoDelete, CConnectionGate* pGate,
                                             ULONGLONG qwCharge)
    : CStrategy(bAutoDelete), m_pBytes(nullptr), m_pSink(pSink), m_dwDataLength(dwLength),
      m_pGate(pGate), m_qwCharge(qwCharge)
{
    Trace(TRACE_CAT_QUEUES, 1, "CDataNotificationLeaf(%#x)::CDataNotificationLeaf()\n", this);
    if (m_pGate)
        m_pGate->AddRef();
    if (dwLength != 0) {
        Trace(TRACE_CAT_QUEUES, 4,
              "CDataNotificationLeaf(%#x)::CDataNotificationLeaf()  Allocating internal buffer "
              "size %i.\n",
              this, dwLength);
        m_pBytes = CSharedBytes::Create(dwLength, pData);
        if (!m_pBytes)
            Trace(TRACE_CAT_QUEUES, 0,
                  "CDataNotificationLeaf(%#x)::CDataNotificationLeaf()  Error!  Buffer allocation "
                  "failed.\n",
                  this);
    }
    Trace(TRACE_CAT_QUEUES, 2, "CDataNotificationLeaf(%#x)::CDataNotificationLeaf()  Returning\n",
          this);
}

CDataNotificationLeaf::CDataNotificationLeaf(IDispatch* pSink, CSharedBytes* pBytes,
                                             BOOL bAutoDelete, CConnectionGate* pGate,
                                             ULONGLONG qwCharge)
    : CStrategy(bAutoDelete), m_pBytes(pBytes), m_pSink(pSink),
      m_dwDataLength(pBytes ? pBytes->Length() : 0), m_pGate(pGate), m_qwCharge(qwCharge)
{
    Trace(TRACE_CAT_QUEUES, 1, "CDataNotificationLeaf(%#x)::CDataNotificationLeaf()\n", this);
    if (m_pGate)
        m_pGate->AddRef();
    if (m_pBytes)
        m_pBytes->AddRef();
    Trace(TRACE_CAT_QUEUES, 2, "CDataNotificationLeaf(%#x)::CDataNotificationLeaf()  Returning\n",
          this);
}

CDataNotificationLeaf::~CDataNotificationLeaf()
{
    Trace(TRACE_CAT_QUEUES, 1, "CDataNotificationLeaf(%#x)::~CDataNotificationLeaf()\n", this);
    if (m_pBytes)
        m_pBytes->Release();
    LetGo(m_pGate, m_qwCharge);
    Trace(TRACE_CAT_QUEUES, 2,
          "CDataNotificationLeaf(%#x)::~CDataNotificationLeaf()  Returning\n", this);
}

BOOL CDataNotificationLeaf::AlgorithmInterface(BOOL& bDone)
{
    const BOOL bDoneIn = bDone;
    Trace(TRACE_CAT_QUEUES, 1, "CDataNotificationLeaf(%#x)::AlgorithmInterface(%i)\n", this,
          bDoneIn);
    bDone = TRUE;
    HRESULT hr = S_OK;

    if (m_pSink && m_pBytes && BeginCall(m_pGate, m_pSink)) {
        Trace(TRACE_CAT_QUEUES, 3,
              "CDataNotificationLeaf(%#x)::AlgorithmInterface(%i)  Sending Data to Client\n", this,
              bDoneIn);
        VARIANT vtData;
        VariantInit(&vtData);
        vtData.vt = VT_ARRAY | VT_UI1;
        vtData.parray = SafeArrayCreateVector(VT_UI1, 0, m_dwDataLength);
        if (vtData.parray) {
            std::memcpy(vtData.parray->pvData, m_pBytes->Data(), m_dwDataLength);
            Trace(TRACE_CAT_QUEUES, 5,
                  "CDataNotificationLeaf(%#x)::AlgorithmInterface(%i)  Sending %i bytes to the "
                  "client.\n",
                  this, bDoneIn, m_dwDataLength);
            DISPPARAMS params = {&vtData, nullptr, 1, 0};
            hr = m_pSink->Invoke(kDispIdOnData, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                                 nullptr, nullptr);
            if (FAILED(hr))
                Trace(TRACE_CAT_QUEUES, 0,
                      "CDataNotificationLeaf(%#x)::AlgorithmInterface(%i)  Invoke Failed.  hr = "
                      "%#x\n",
                      this, bDoneIn, hr);
            SafeArrayDestroy(vtData.parray);
        } else {
            hr = E_FAIL;
            Trace(TRACE_CAT_QUEUES, 0,
                  "CDataNotificationLeaf(%#x)::AlgorithmInterface(%i)  Error!  Failed to allocate "
                  "safe array",
                  this, bDoneIn);
        }
        EndCall(m_pGate, m_pSink);
    }

    EnterCriticalSection(&m_cs);
    m_dwCompletionCode = static_cast<DWORD>(hr);
    LeaveCriticalSection(&m_cs);
    Trace(TRACE_CAT_QUEUES, 2, "CDataNotificationLeaf(%#x)::AlgorithmInterface(%i)  Returning %i\n",
          this, bDoneIn, TRUE);
    return TRUE;
}

// ---- CEventNotificationLeaf -----------------------------------------------------------------

CEventNotificationLeaf::CEventNotificationLeaf(IDispatch* pSink, LONG lCode, CConnectionGate* pGate,
                                               ULONGLONG qwCharge)
    : CStrategy(TRUE), m_lCode(lCode), m_pSink(pSink), m_pGate(pGate), m_qwCharge(qwCharge)
{
    // Both lines of the constructor and of the destructor are at level 1.
    Trace(TRACE_CAT_QUEUES, 1, "CEventNotificationLeaf(%#x)::CEventNotificationLeaf()\n", this);
    if (m_pGate)
        m_pGate->AddRef();
    Trace(TRACE_CAT_QUEUES, 1,
          "CEventNotificationLeaf(%#x)::CEventNotificationLeaf()  Returning.\n", this);
}

CEventNotificationLeaf::~CEventNotificationLeaf()
{
    Trace(TRACE_CAT_QUEUES, 1, "CEventNotificationLeaf(%#x)::~CEventNotificationLeaf()\n",
          this);
    LetGo(m_pGate, m_qwCharge);
    Trace(TRACE_CAT_QUEUES, 1,
          "CEventNotificationLeaf(%#x)::~CEventNotificationLeaf()  Returning.\n", this);
}

BOOL CEventNotificationLeaf::AlgorithmInterface(BOOL& bDone)
{
    const BOOL bDoneIn = bDone;
    Trace(TRACE_CAT_QUEUES, 1, "CEventNotificationLeaf(%#x)::AlgorithmInterface(%i)\n", this,
          bDoneIn);
    bDone = TRUE;
    HRESULT hr = S_OK;
    const DISPID dispid = m_lCode >= kFirstErrorCode ? kDispIdOnError : kDispIdOnPortEvent;

    if (m_pSink && BeginCall(m_pGate, m_pSink)) {
        Trace(TRACE_CAT_QUEUES, 3,
              "CEventNotificationLeaf(%#x)::AlgorithmInterface(%i)  Sending client an event "
              "notification.\n",
              this, bDoneIn);
        // The argument array is allocated per call. Without it no call can be made; the
        // task then ends with E_OUTOFMEMORY, which only the trace shows.
        VARIANTARG* pArgs = new (std::nothrow) VARIANTARG[1];
        if (pArgs) {
            VariantInit(&pArgs[0]);
            pArgs[0].vt = VT_I4;
            pArgs[0].lVal = m_lCode;
            DISPPARAMS params = {pArgs, nullptr, 1, 0};
            hr = m_pSink->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                                 nullptr);
            if (FAILED(hr))
                Trace(TRACE_CAT_QUEUES, 0,
                      "CEventNotificationLeaf(%#x)::AlgorithmInterface(%i) Invoke Failed hr = "
                      "%#x\n",
                      this, bDoneIn, hr);
            VariantClear(&pArgs[0]);
            delete[] pArgs;
        } else {
            hr = E_OUTOFMEMORY;
            Trace(TRACE_CAT_QUEUES, 0,
                  "CEventNotificationLeaf(%#x)::AlgorithmInterface(%i)  Error!  Failed to "
                  "allocate the argument array.\n",
                  this, bDoneIn);
        }
        EndCall(m_pGate, m_pSink);
    }

    EnterCriticalSection(&m_cs);
    m_dwCompletionCode = static_cast<DWORD>(hr);
    LeaveCriticalSection(&m_cs);
    Trace(TRACE_CAT_QUEUES, 2,
          "CEventNotificationLeaf(%#x)::AlgorithmInterface(%i)  Returning %i\n", this, bDoneIn,
          TRUE);
    return TRUE;
}
