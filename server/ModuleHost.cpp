// The server host's part of the module: the class table, the shutdown monitor.
#include "server/Module.h"

#include "platform/rpc/rpc.h"
#include "platform/ui/message.h"

#include <cstdlib>

void CServerModule::Init(_ServerClassEntry* pClassTable, const GUID* plibid)
{
    m_pClassTable = pClassTable;
    m_plibid = plibid;
    m_dwMainThreadId = GetCurrentThreadId();
    // The main thread's queue exists from now on, so the monitor's quit message always
    // has somewhere to go.
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

void CServerModule::Term()
{
    m_pClassTable = nullptr;
}

BOOL CServerModule::StartMonitor()
{
    const char* szPause = std::getenv("TETHRA_SERVER_SUSPEND_PAUSE_MS");
    m_dwSuspendPauseMs = szPause ? static_cast<DWORD>(std::strtoul(szPause, nullptr, 10)) : 0;
    if (m_dwSuspendPauseMs > 60000)
        m_dwSuspendPauseMs = 60000;
    const HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!hEvent)
        return FALSE;
    m_hShutdownEvent.store(hEvent, std::memory_order_release);
    m_hMonitorThread = CreateThread(nullptr, 0, &CServerModule::MonitorProc, this, 0, nullptr);
    if (!m_hMonitorThread) {
        // Without a monitor nobody waits on the event: Unlock then only counts.
        m_hShutdownEvent.store(nullptr, std::memory_order_release);
        CloseHandle(hEvent);
        return FALSE;
    }
    return TRUE;
}

void CServerModule::WaitForMonitor()
{
    if (!m_hMonitorThread)
        return;
    WaitForSingleObject(m_hMonitorThread, INFINITE);
    CloseHandle(m_hMonitorThread);
    m_hMonitorThread = nullptr;
}

DWORD CServerModule::MonitorProc(LPVOID pv)
{
    static_cast<CServerModule*>(pv)->MonitorShutdown();
    return 0;
}

void CServerModule::MonitorShutdown()
{
    const HANDLE hEvent = m_hShutdownEvent.load(std::memory_order_acquire);
    for (;;) {
        WaitForSingleObject(hEvent, INFINITE);
        DWORD dwWait = WAIT_OBJECT_0;
        do {
            m_bActivity.store(FALSE, std::memory_order_relaxed);
            dwWait = WaitForSingleObject(hEvent, kQuietPeriodMs);
        } while (dwWait == WAIT_OBJECT_0);
        if (m_bActivity.load(std::memory_order_relaxed) || GetLockCount() != 0)
            continue;
        // No new creation request is accepted from here on; one that slipped in before
        // shows in the count or the activity flag.
        CoSuspendClassObjects();
        if (m_dwSuspendPauseMs)
            Sleep(m_dwSuspendPauseMs);
        if (!m_bActivity.load(std::memory_order_relaxed) && GetLockCount() == 0)
            break;
    }
    // A late Unlock finds no event; one that read the handle just before sees a handle
    // that is closed, and its SetEvent fails without harm.
    m_hShutdownEvent.store(nullptr, std::memory_order_release);
    CloseHandle(hEvent);
    PostThreadMessageA(m_dwMainThreadId, WM_QUIT, 0, 0);
}

HRESULT CServerModule::RegisterClassObjects(DWORD dwClsContext, DWORD dwFlags)
{
    for (_ServerClassEntry* pEntry = m_pClassTable; pEntry && pEntry->pclsid; ++pEntry) {
        if (!pEntry->pfnGetClassObject)
            continue;
        const HRESULT hr = CoRegisterClassObject(*pEntry->pclsid, pEntry->pfnGetClassObject(),
                                                 dwClsContext, dwFlags, &pEntry->dwRegister);
        if (FAILED(hr)) {
            pEntry->dwRegister = 0;
            return hr;
        }
    }
    return S_OK;
}

HRESULT CServerModule::RevokeClassObjects()
{
    HRESULT hrResult = S_OK;
    for (_ServerClassEntry* pEntry = m_pClassTable; pEntry && pEntry->pclsid; ++pEntry) {
        if (!pEntry->dwRegister)
            continue;
        const HRESULT hr = CoRevokeClassObject(pEntry->dwRegister);
        pEntry->dwRegister = 0;
        if (FAILED(hr))
            hrResult = hr;
    }
    return hrResult;
}
