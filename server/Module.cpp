#include "server/Module.h"

CServerModule _Module;

LONG CServerModule::Lock()
{
    return InterlockedIncrement(&m_nLockCount);
}

LONG CServerModule::Unlock()
{
    const LONG lCount = InterlockedDecrement(&m_nLockCount);
    if (lCount == 0) {
        m_bActivity.store(TRUE, std::memory_order_relaxed);
        // SetEvent on a null or closed handle fails without harm: with no host running
        // there is no monitor to wake.
        const HANDLE hEvent = m_hShutdownEvent.load(std::memory_order_acquire);
        if (hEvent)
            SetEvent(hEvent);
    }
    return lCount;
}

LONG CServerModule::GetLockCount() const
{
    // An interlocked read: adding 0 through compare-exchange returns the current value.
    return InterlockedCompareExchange(const_cast<LONG volatile*>(&m_nLockCount), 0, 0);
}
