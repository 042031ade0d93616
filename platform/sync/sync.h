// Events, waits, threads, critical sections and counters, with the documented behaviour
// of the calls of the same names for the subset the system uses.
//
// Emulated here: manual- and auto-reset events with PulseEvent; waits on events and
// threads (a thread handle is signalled when the thread ends); wait-any over at most
// MAXIMUM_WAIT_OBJECTS handles, reporting the lowest signalled index; recursive critical
// sections; thread self-suspension.
// Not given on Linux: SuspendThread on another thread (the system only ever suspends
// itself); it fails with ERROR_NOT_SUPPORTED. Named events are not supported (lpName
// must be null). Waiting for all handles at once (bWaitAll TRUE) fails with
// ERROR_NOT_SUPPORTED.
#pragma once

#include "platform/base/handle.h"
#include "platform/base/types.h"


// ---- events ----------------------------------------------------------------------
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                    BOOL bInitialState, LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
// Releases the threads waiting at this moment (all of them for a manual-reset event,
// one for an auto-reset event) and leaves the event unsignalled.
BOOL PulseEvent(HANDLE hEvent);

// ---- waits -----------------------------------------------------------------------
// Block without spinning. WAIT_OBJECT_0 + i for the lowest signalled index i (an
// auto-reset event is reset by the wait that it satisfies), WAIT_TIMEOUT when
// dwMilliseconds pass first (0 tests without blocking, INFINITE never times out), and
// WAIT_FAILED with GetLastError set for a handle that is not waitable or not open
// (ERROR_INVALID_HANDLE), a count of 0 or above 64 (ERROR_INVALID_PARAMETER).
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds);

// ---- asynchronous procedure calls and alertable waits -------------------------------
// Each thread has a queue of procedure calls that other threads add to with
// QueueUserAPC. The thread runs them, in the order queued, only inside an alertable
// wait (WaitForSingleObjectEx or SleepEx with bAlertable TRUE): the wait runs every call
// queued by then and returns WAIT_IO_COMPLETION, without taking anything from its
// object. A call queued while the thread waits alertably wakes it at once; one queued
// while it does anything else waits for its next alertable wait. As on the system the
// code was written for, calls already queued win over a signalled object when the wait
// starts; once the wait blocks, whichever comes first ends it (an object that satisfies
// the wait is reported, and the calls stay queued). A wait that is not alertable
// behaves exactly as WaitForSingleObject: the queue costs it nothing. Calls still queued
// when their thread ends are dropped.
using PAPCFUNC = void (*)(ULONG_PTR Parameter);

// WaitForSingleObject, alertable when bAlertable (see above).
DWORD WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable);
// Sleeps dwMilliseconds (INFINITE: for ever); alertable when bAlertable. 0 when the time
// has passed, WAIT_IO_COMPLETION when queued calls ran. SleepEx(0, TRUE) runs whatever
// the queue holds and returns at once.
DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable);
// Queues pfnAPC(dwData) for the thread. hThread is a handle from CreateThread or
// OpenThread. Non-zero on success; 0 with ERROR_INVALID_HANDLE for a handle that names
// no thread, ERROR_INVALID_PARAMETER for a null pfnAPC, ERROR_GEN_FAILURE when the thread
// has ended.
DWORD QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData);

// ---- threads ---------------------------------------------------------------------
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID lpThreadParameter);
#define CREATE_SUSPENDED 0x00000004U
#define STILL_ACTIVE 259U

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);
// Only the calling thread can suspend itself; it blocks until ResumeThread. A resume that
// arrives before the suspension takes effect is kept, and the suspension then returns at
// once: no wake-up is ever lost. Both return the previous suspend count, or (DWORD)-1.
// At most one such early resume is kept, however many arrive.
DWORD SuspendThread(HANDLE hThread);
DWORD ResumeThread(HANDLE hThread);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
#define THREAD_SET_CONTEXT 0x0010U
// A handle to a running thread of this process by its identifier, whoever created it
// (a thread that CreateThread did not make is known once it has called
// GetCurrentThreadId). Emulated for one purpose only: it carries QueueUserAPC calls (access
// THREAD_SET_CONTEXT); waiting on it or reading an exit code through it is not given
// (ERROR_INVALID_HANDLE). Null with ERROR_INVALID_PARAMETER for an identifier that names
// no running thread.
HANDLE OpenThread(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwThreadId);
// Unique and non-zero per thread, never reused while the process lives; not the kernel's
// thread id.
DWORD GetCurrentThreadId();

// ---- critical sections (recursive) -------------------------------------------------
struct CRITICAL_SECTION {
    void* impl;  // owned by the platform; valid between Initialize and Delete
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// ---- counters and time -----------------------------------------------------------
LONG InterlockedIncrement(LONG volatile* lpAddend);
LONG InterlockedDecrement(LONG volatile* lpAddend);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand);

// Milliseconds since boot (CLOCK_MONOTONIC), wrapping at 2^32.
DWORD GetTickCount();
void Sleep(DWORD dwMilliseconds);
