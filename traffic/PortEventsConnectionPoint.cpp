#include "traffic/PortEventsConnectionPoint.h"

#include "idl/tethra.h"
#include "platform/com/hresult.h"
#include "platform/registry/registry.h"
#include "trace/trace.h"
#include "traffic/NotificationLeaves.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <utility>

namespace {

// Reaper threads still running, so that a test (or the end of the process) can wait for
// them. Never destroyed: a reaper may still be finishing while the process exits, and
// must not find its lock already gone.
struct ReaperCount {
    std::mutex mutex;
    std::condition_variable done;
    LONG lReapers = 0;
};

ReaperCount& Reapers()
{
    static ReaperCount* const pReapers = new ReaperCount;
    return *pReapers;
}

}  // namespace

// ---- CConnectionGate ------------------------------------------------------------------------

CConnectionGate::CConnectionGate(ULONGLONG qwLimit)
    : m_lRef(1), m_cs{}, m_bClosed(FALSE), m_bInCall(FALSE), m_state{qwLimit, 0, 0, 0, 0, FALSE},
      m_bReported(FALSE)
{
    InitializeCriticalSection(&m_cs);
}

CConnectionGate::~CConnectionGate()
{
    DeleteCriticalSection(&m_cs);
}

void CConnectionGate::AddRef()
{
    m_lRef.fetch_add(1, std::memory_order_relaxed);
}

void CConnectionGate::Release()
{
    if (m_lRef.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

BOOL CConnectionGate::EnterCall(IUnknown* pSink)
{
    EnterCriticalSection(&m_cs);
    BOOL bOpen = !m_bClosed;
    if (bOpen) {
        // Under the lock: the connection's own reference is released only after Close,
        // which waits for this lock, so the sink is alive for this AddRef.
        pSink->AddRef();
        m_bInCall = TRUE;
    }
    LeaveCriticalSection(&m_cs);
    return bOpen;
}

void CConnectionGate::LeaveCall(IUnknown* pSink)
{
    EnterCriticalSection(&m_cs);
    m_bInCall = FALSE;
    LeaveCriticalSection(&m_cs);
    pSink->Release();
}

BOOL CConnectionGate::Close()
{
    EnterCriticalSection(&m_cs);
    m_bClosed = TRUE;
    BOOL bInCall = m_bInCall;
    LeaveCriticalSection(&m_cs);
    return bInCall;
}

BOOL CConnectionGate::TryCharge(ULONGLONG qwCharge, ULONGLONG qwDataBytes, BOOL* pbReport)
{
    *pbReport = FALSE;
    EnterCriticalSection(&m_cs);
    CClientQueueState& st = m_state;
    if (st.bOverflow && st.qwQueued <= st.qwLimit / 2) {
        st.bOverflow = FALSE;
        m_bReported = FALSE;
        Trace(TRACE_CAT_QUEUES, 3,
              "CConnectionGate(%#x)::TryCharge(%i)  The client has caught up; its notifications "
              "are queued again.\n",
              this, static_cast<DWORD>(qwCharge));
    }
    // Room is kept for the episode's report, so that the account never passes the limit.
    if (!st.bOverflow && st.qwQueued != 0 &&
        st.qwQueued + qwCharge + NOTIFICATION_TASK_CHARGE > st.qwLimit) {
        st.bOverflow = TRUE;
        ++st.dwEpisodes;
        Trace(TRACE_CAT_QUEUES, 3,
              "CConnectionGate(%#x)::TryCharge(%i)  The client has %i bytes waiting, past its "
              "limit of %i; its notifications are dropped until it catches up.\n",
              this, static_cast<DWORD>(qwCharge), static_cast<DWORD>(st.qwQueued),
              static_cast<DWORD>(st.qwLimit));
    }
    const BOOL bQueue = !st.bOverflow;
    if (bQueue) {
        st.qwQueued += qwCharge;
        if (st.qwQueued > st.qwPeak)
            st.qwPeak = st.qwQueued;
    } else {
        st.qwDropped += qwDataBytes;
        *pbReport = !m_bReported;
    }
    LeaveCriticalSection(&m_cs);
    return bQueue;
}

void CConnectionGate::ChargeReport(ULONGLONG qwCharge)
{
    EnterCriticalSection(&m_cs);
    m_bReported = TRUE;
    m_state.qwQueued += qwCharge;
    if (m_state.qwQueued > m_state.qwPeak)
        m_state.qwPeak = m_state.qwQueued;
    LeaveCriticalSection(&m_cs);
}

void CConnectionGate::Discharge(ULONGLONG qwCharge)
{
    EnterCriticalSection(&m_cs);
    m_state.qwQueued -= qwCharge;
    LeaveCriticalSection(&m_cs);
}

CClientQueueState CConnectionGate::QueueState()
{
    EnterCriticalSection(&m_cs);
    const CClientQueueState st = m_state;
    LeaveCriticalSection(&m_cs);
    return st;
}

// ---- CPortEventsConnectionPoint -------------------------------------------------------------

ULONGLONG CPortEventsConnectionPoint::ReadQueueLimit()
{
    DWORD dwKB = 0;
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ostra\\Tethra", 0, KEY_READ, &hKey) ==
        ERROR_SUCCESS) {
        DWORD dwType = 0;
        DWORD dwValue = 0;
        DWORD cbValue = sizeof dwValue;
        if (RegQueryValueExA(hKey, "MaxClientQueue", nullptr, &dwType,
                             reinterpret_cast<BYTE*>(&dwValue), &cbValue) == ERROR_SUCCESS &&
            dwType == REG_DWORD && cbValue == sizeof dwValue)
            dwKB = dwValue;
        RegCloseKey(hKey);
    }
    if (dwKB == 0)
        dwKB = CLIENT_QUEUE_DEFAULT_KB;
    else if (dwKB < CLIENT_QUEUE_MIN_KB)
        dwKB = CLIENT_QUEUE_MIN_KB;
    else if (dwKB > CLIENT_QUEUE_MAX_KB)
        dwKB = CLIENT_QUEUE_MAX_KB;
    return ULONGLONG{dwKB} * 1024U;
}

CPortEventsConnectionPoint::CPortEventsConnectionPoint(IConnectionPointContainer* pContainer,
                                                       CRITICAL_SECTION* pLock)
    : platform::connection_point(pContainer, pLock, DIID__ISerialPortEvents),
      m_qwQueueLimit(ReadQueueLimit())
{
}

CPortEventsConnectionPoint::~CPortEventsConnectionPoint()
{
    // No other thread reaches the object any more; close every gate first so that no new
    // call starts while the threads are being ended.
    for (auto& [dwCookie, pThread] : m_mapThreads) {
        BOOL bInCall = FALSE;
        auto itGate = m_mapGates.find(dwCookie);
        if (itGate != m_mapGates.end())
            bInCall = itGate->second->Close();
        try {
            m_vecRetired.push_back({pThread, bInCall});
        } catch (...) {
            if (!EndThread(pThread, bInCall))
                Trace(TRACE_CAT_QUEUES, 0,
                      "CPortEventsConnectionPoint(%#x)::~CPortEventsConnectionPoint()  Error!  "
                      "Notification thread %#x left running.\n",
                      this, pThread);
        }
    }
    m_mapThreads.clear();
    for (auto& [dwCookie, pGate] : m_mapGates)
        pGate->Release();
    m_mapGates.clear();

    for (const CRetiredThread& retired : m_vecRetired)
        if (!EndThread(retired.pThread, retired.bInCall))
            Trace(TRACE_CAT_QUEUES, 0,
                  "CPortEventsConnectionPoint(%#x)::~CPortEventsConnectionPoint()  Error!  "
                  "Notification thread %#x left running.\n",
                  this, retired.pThread);
    m_vecRetired.clear();
    // The base releases every sink still connected.
}

STDMETHODIMP CPortEventsConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    ReapRetiredThreads();
    return platform::connection_point::Advise(pUnkSink, pdwCookie);
}

STDMETHODIMP CPortEventsConnectionPoint::Unadvise(DWORD dwCookie)
{
    HRESULT hr = platform::connection_point::Unadvise(dwCookie);
    ReapRetiredThreads();
    return hr;
}

HRESULT CPortEventsConnectionPoint::after_advise(DWORD dwCookie, IUnknown*)
{
    CEventNotificationThread* pThread = new (std::nothrow) CEventNotificationThread;
    CConnectionGate* pGate = new (std::nothrow) CConnectionGate(m_qwQueueLimit);
    bool bEntered = false;
    if (pThread && pGate) {
        try {
            m_mapThreads.emplace(dwCookie, pThread);
            m_mapGates.emplace(dwCookie, pGate);
            bEntered = true;
        } catch (...) {
            m_mapThreads.erase(dwCookie);
        }
    }
    if (!bEntered) {
        delete pThread;
        if (pGate)
            pGate->Release();
        return CONNECT_E_CANNOTCONNECT;
    }
    pThread->Start();
    return S_OK;
}

void CPortEventsConnectionPoint::before_unadvise(DWORD dwCookie)
{
    BOOL bInCall = FALSE;
    auto itGate = m_mapGates.find(dwCookie);
    if (itGate != m_mapGates.end()) {
        bInCall = itGate->second->Close();
        itGate->second->Release();
        m_mapGates.erase(itGate);
    }
    auto itThread = m_mapThreads.find(dwCookie);
    if (itThread == m_mapThreads.end())
        return;
    CEventNotificationThread* pThread = itThread->second;
    m_mapThreads.erase(itThread);
    try {
        m_vecRetired.push_back({pThread, bInCall});
    } catch (...) {
        // No room to retire it: a thread that is not in a call ends quickly (its queued
        // tasks find the gate closed), so end it here; one in a call goes to a reaper.
        if (!EndThread(pThread, bInCall))
            Trace(TRACE_CAT_QUEUES, 0,
                  "CPortEventsConnectionPoint(%#x)::before_unadvise(%#x)  Error!  Notification "
                  "thread %#x left running.\n",
                  this, dwCookie, pThread);
    }
}

void CPortEventsConnectionPoint::ReapRetiredThreads()
{
    std::vector<CRetiredThread> vecRetired;
    {
        platform::critical_section_scope lock(this->lock());
        vecRetired.swap(m_vecRetired);
    }
    for (std::size_t i = 0; i < vecRetired.size(); ++i) {
        if (EndThread(vecRetired[i].pThread, vecRetired[i].bInCall))
            continue;
        platform::critical_section_scope lock(this->lock());
        try {
            m_vecRetired.push_back(vecRetired[i]);
        } catch (...) {
            Trace(TRACE_CAT_QUEUES, 0,
                  "CPortEventsConnectionPoint(%#x)::ReapRetiredThreads()  Error!  Notification "
                  "thread %#x left running.\n",
                  this, vecRetired[i].pThread);
        }
    }
}

BOOL CPortEventsConnectionPoint::EndThread(CEventNotificationThread* pThread, BOOL bInCall)
{
    if (!bInCall) {
        pThread->Stop();
        delete pThread;
        return TRUE;
    }
    {
        std::lock_guard lock(Reapers().mutex);
        ++Reapers().lReapers;
    }
    HANDLE hReaper = CreateThread(nullptr, 0, &ReaperThreadRun, pThread, 0, nullptr);
    if (!hReaper) {
        std::lock_guard lock(Reapers().mutex);
        --Reapers().lReapers;
        return FALSE;
    }
    CloseHandle(hReaper);
    return TRUE;
}

DWORD CPortEventsConnectionPoint::ReaperThreadRun(LPVOID lpParameter)
{
    auto* pThread = static_cast<CEventNotificationThread*>(lpParameter);
    pThread->Stop();
    delete pThread;
    std::lock_guard lock(Reapers().mutex);
    --Reapers().lReapers;
    Reapers().done.notify_all();
    return 0;
}

BOOL CPortEventsConnectionPoint::WaitForReapers(DWORD dwMilliseconds)
{
    ReaperCount& reapers = Reapers();
    std::unique_lock lock(reapers.mutex);
    auto done = [&reapers] { return reapers.lReapers == 0; };
    if (dwMilliseconds == INFINITE) {
        reapers.done.wait(lock, done);
        return TRUE;
    }
    return reapers.done.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), done) ? TRUE
                                                                                       : FALSE;
}

BOOL CPortEventsConnectionPoint::GetQueueState(DWORD dwCookie, CClientQueueState* pState)
{
    platform::critical_section_scope lock(this->lock());
    auto itGate = m_mapGates.find(dwCookie);
    if (itGate == m_mapGates.end())
        return FALSE;
    *pState = itGate->second->QueueState();
    return TRUE;
}

BOOL CPortEventsConnectionPoint::Queue(CEventNotificationThread* pThread, CStrategy* pLeaf,
                                       CConnectionGate* pGate, ULONGLONG qwCharge)
{
    if (!pLeaf) {
        pGate->Discharge(qwCharge);
        return FALSE;
    }
    // Add refuses tasks once the thread has ended on its own; the task is still ours then.
    if (pThread->Add(pLeaf, FALSE))
        return TRUE;
    delete pLeaf;
    return FALSE;
}

template <class MakeLeaf>
void CPortEventsConnectionPoint::FanOut(ULONGLONG qwCharge, ULONGLONG qwDataBytes,
                                        MakeLeaf makeLeaf)
{
    platform::critical_section_scope lock(this->lock());
    const std::size_t nSlots = connections().slot_count();
    for (std::size_t i = 0; i < nSlots; ++i) {
        IUnknown* pSink = connections().sink_at(i);
        if (!pSink)
            continue;
        const DWORD dwCookie = connections().cookie_at(i);
        auto itThread = m_mapThreads.find(dwCookie);
        auto itGate = m_mapGates.find(dwCookie);
        if (itThread == m_mapThreads.end() || itGate == m_mapGates.end())
            continue;
        // The list holds the sink as the _ISerialPortEvents interface it was asked for, a
        // dispatch interface whose IUnknown and IDispatch share one pointer.
        IDispatch* pDispatch = reinterpret_cast<IDispatch*>(pSink);
        CConnectionGate* pGate = itGate->second;
        BOOL bReport = FALSE;
        if (pGate->TryCharge(qwCharge, qwDataBytes, &bReport)) {
            Queue(itThread->second, makeLeaf(pDispatch, pGate), pGate, qwCharge);
        } else if (bReport) {
            // One that cannot be allocated is tried again at the next dropped notification.
            CStrategy* pReport = new (std::nothrow) CEventNotificationLeaf(
                pDispatch, spoMemoryError, pGate, NOTIFICATION_TASK_CHARGE);
            if (pReport) {
                // Charged before it is queued, so that its discharge cannot come first.
                pGate->ChargeReport(NOTIFICATION_TASK_CHARGE);
                Queue(itThread->second, pReport, pGate, NOTIFICATION_TASK_CHARGE);
            }
        }
    }
}

DWORD CPortEventsConnectionPoint::FireDataNotification(DWORD dwLength, const BYTE* pData)
{
    const ULONGLONG qwCharge = ULONGLONG{dwLength} + NOTIFICATION_TASK_CHARGE;
    // One copy of the read for every connection that takes it, made for the first one;
    // each connection is still charged the whole read.
    CSharedBytes* pBytes = nullptr;
    FanOut(qwCharge, dwLength, [&](IDispatch* pSink, CConnectionGate* pGate) -> CStrategy* {
        if (!pBytes)
            pBytes = CSharedBytes::Create(dwLength, pData);
        if (!pBytes)
            return nullptr;  // no copy, no call: the connection's charge goes back
        return new (std::nothrow) CDataNotificationLeaf(pSink, pBytes, TRUE, pGate, qwCharge);
    });
    if (pBytes)
        pBytes->Release();
    return 0;
}

DWORD CPortEventsConnectionPoint::FireEventNotification(LONG lCode)
{
    FanOut(NOTIFICATION_TASK_CHARGE, 0, [&](IDispatch* pSink, CConnectionGate* pGate) -> CStrategy* {
        return new (std::nothrow)
            CEventNotificationLeaf(pSink, lCode, pGate, NOTIFICATION_TASK_CHARGE);
    });
    return 0;
}
