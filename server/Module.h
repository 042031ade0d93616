// The server module: one per process. It counts what keeps the server running and, in the
// server host, owns the class table, the shutdown monitor and the registration.
//
// Every live object of the server's classes, every reference to the port registry and
// every lock a client takes on a class object holds one count. When the count falls to
// zero the module marks activity and signals m_hShutdownEvent; the shutdown monitor
// waits on that event and ends the process after a quiet period. The server host creates
// m_hShutdownEvent before the class objects accept requests; without it (in-process
// tests) Unlock only counts.
//
// Lock, Unlock and GetLockCount are in the tethra_server library; the host's part (class
// table, monitor, registration) is in tethra_server_host.
#pragma once

#include "platform/base/types.h"
#include "platform/com/com.h"
#include "platform/sync/sync.h"

#include <atomic>

// One class of the server. A class with a class object is registered with the runtime;
// the others are made only by the server's own objects.
struct _ServerClassEntry {
    const CLSID* pclsid;
    // The class object (not counted: it lives as long as the process), or null.
    IClassFactory* (*pfnGetClassObject)();
    // Writes (TRUE) or removes (FALSE) the class's registration keys; null when the class
    // is not registered.
    HRESULT (*pfnUpdateRegistry)(BOOL bRegister);
    // The runtime's cookie while the class object is registered, else 0.
    DWORD dwRegister;
};

class CServerModule {
public:
    // How long the lock count must stay at zero, with no release in between, before the
    // server ends.
    static constexpr DWORD kQuietPeriodMs = 5000;

    CServerModule() = default;
    CServerModule(const CServerModule&) = delete;
    CServerModule& operator=(const CServerModule&) = delete;

    // Interlocked increment of m_nLockCount; returns the new count.
    LONG Lock();
    // Interlocked decrement; when the count reaches 0, sets m_bActivity and signals
    // m_hShutdownEvent. Returns the new count.
    LONG Unlock();

    // The count as it stands (for the monitor's final check and for tests).
    LONG GetLockCount() const;

    // ---- the server host (tethra_server_host) -----------------------------------------
    // Keeps the class table (ended by an entry with a null pclsid) and the LIBID, and
    // records the calling thread as the main thread.
    void Init(_ServerClassEntry* pClassTable, const GUID* plibid);
    // Creates m_hShutdownEvent (auto-reset, not signalled) and the monitor thread. TRUE
    // when both exist; otherwise the server serves but never ends by itself.
    // For tests: TETHRA_SERVER_SUSPEND_PAUSE_MS (milliseconds, at most 60000) makes the
    // monitor wait that long between suspending the class objects (the bus name is free
    // then) and its last check, so that a test can make requests while an ending server
    // is still there. Unset, there is no pause.
    BOOL StartMonitor();
    // After the monitor has posted the quit message: waits for the thread and closes it.
    void WaitForMonitor();
    // CoRegisterClassObject for each entry with a class object, stopping at the first
    // failure, whose result it returns.
    HRESULT RegisterClassObjects(DWORD dwClsContext, DWORD dwFlags);
    // CoRevokeClassObject for each registered entry.
    HRESULT RevokeClassObjects();
    // Registration (-RegServer, -UnregServer); see Registration.cpp.
    HRESULT RegisterServer(BOOL bRegTypeLib);
    HRESULT UnregisterServer();
    // Forgets the class table (the class objects themselves are static).
    void Term();

    LONG volatile m_nLockCount = 0;
    // Auto-reset; created by StartMonitor, closed by the monitor when it ends. Null while
    // there is none.
    std::atomic<HANDLE> m_hShutdownEvent{nullptr};
    // Set by Unlock on any thread, cleared by the monitor; a stale read is harmless
    // because the monitor tests the count as well.
    std::atomic<BOOL> m_bActivity{FALSE};
    DWORD m_dwMainThreadId = 0;
    HANDLE m_hMonitorThread = nullptr;
    _ServerClassEntry* m_pClassTable = nullptr;
    const GUID* m_plibid = nullptr;
    DWORD m_dwSuspendPauseMs = 0;

private:
    static DWORD MonitorProc(LPVOID pv);
    // The monitor's loop: waits for the count to fall to zero, then for a quiet period,
    // suspends the class objects, checks again and posts WM_QUIT to the main thread.
    void MonitorShutdown();
};

// The process's one module.
extern CServerModule _Module;
