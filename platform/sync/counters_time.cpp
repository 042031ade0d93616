// Interlocked counters, the tick count and Sleep.
#include "platform/sync/sync.h"

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

// Sequentially consistent atomic builtins on the caller's word, as full barriers like the
// originals; ThreadSanitizer sees them as atomic accesses.
LONG InterlockedIncrement(LONG volatile* lpAddend)
{
    return __atomic_add_fetch(lpAddend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* lpAddend)
{
    return __atomic_sub_fetch(lpAddend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand)
{
    LONG expected = Comperand;
    __atomic_compare_exchange_n(Destination, &expected, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;  // the initial value, whether or not the exchange happened
}

// CLOCK_MONOTONIC counts from boot and does not jump with the wall clock; unlike the
// original it does not advance while the machine is suspended.
DWORD GetTickCount()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<ULONGLONG>(now.tv_sec) * 1000U +
                    static_cast<ULONGLONG>(now.tv_nsec) / 1000000U;
    return static_cast<DWORD>(ms);
}

// Sleeps to an absolute monotonic deadline, so a signal that interrupts the sleep does not
// shorten or lengthen it. 0 gives up the rest of the time slice; INFINITE never returns.
void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;)
            pause();
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += dwMilliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
