// Recursive critical sections on std::recursive_mutex.
#include "platform/sync/sync.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>

namespace {

std::recursive_mutex& mutex_of(LPCRITICAL_SECTION section)
{
    return *static_cast<std::recursive_mutex*>(section->impl);
}

}  // namespace

// The mutex lives on the heap behind `impl`. These calls return nothing, so a failure
// to allocate or to lock cannot be reported; like the originals, which raise an exception
// in that case, they end the process instead of continuing without mutual exclusion.
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    lpCriticalSection->impl = new (std::nothrow) std::recursive_mutex;
    if (!lpCriticalSection->impl)
        std::abort();
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    delete static_cast<std::recursive_mutex*>(lpCriticalSection->impl);
    lpCriticalSection->impl = nullptr;
}

// Recursive: the owning thread may enter again and must leave as often as it entered.
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    try {
        mutex_of(lpCriticalSection).lock();
    } catch (const std::system_error&) {
        std::abort();
    }
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    return mutex_of(lpCriticalSection).try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    mutex_of(lpCriticalSection).unlock();
}
