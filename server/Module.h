// The server module: one per process. It counts what keeps the server running.
//
// Every live object of the server's classes, every reference to the port registry and
// every lock a client takes on a class object holds one count. When the count falls to
// zero the module marks activity and signals m_hShutdownEvent; the shutdown monitor of
// the server host waits on that event and ends the process after a quiet period.
// Whoever starts the module (the server host) creates m_hShutdownEvent before the class
// objects accept requests; without it (in-process tests) Unlock only counts.
#pragma once

#include "platform/base/types.h"
#include "platform/sync/sync.h"

#include <atomic>

class CServerModule {
public:
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

    LONG volatile m_nLockCount = 0;
    // Auto-reset; created and closed by the server host. Null while there is none.
    std::atomic<HANDLE> m_hShutdownEvent{nullptr};
    // Set by Unlock on any thread, cleared by the monitor; a stale read is harmless
    // because the monitor tests the count as well.
    std::atomic<BOOL> m_bActivity{FALSE};
    DWORD m_dwMainThreadId = 0;
    HANDLE m_hMonitorThread = nullptr;
};

// The process's one module.
extern CServerModule _Module;
