// Costs of the sync and message calls the engine and the trace hand-over make most often.
// Prints figures; asserts nothing.
#include "platform/sync/sync.h"
#include "platform/ui/message.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;

template <class F>
void measure(const char* what, long iterations, F&& body)
{
    const auto start = clock_type::now();
    body(iterations);
    const std::chrono::duration<double, std::nano> elapsed = clock_type::now() - start;
    std::printf("%-58s %10.0f ns\n", what, elapsed.count() / static_cast<double>(iterations));
}

}  // namespace

int main()
{
    std::printf("per operation:\n");

    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (HANDLE& h : handles)
        h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetEvent(handles[MAXIMUM_WAIT_OBJECTS - 1]);
    measure("WaitForMultipleObjects, 64 handles, last one signalled", 200000, [&](long n) {
        for (long i = 0; i < n; ++i)
            WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles, FALSE, INFINITE);
    });
    measure("SetEvent + ResetEvent, nobody waiting", 1000000, [&](long n) {
        for (long i = 0; i < n; ++i) {
            SetEvent(handles[0]);
            ResetEvent(handles[0]);
        }
    });

    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const long rounds = 50000;
    std::thread partner([&] {
        for (long i = 0; i < rounds; ++i) {
            WaitForSingleObject(ping, INFINITE);
            SetEvent(pong);
        }
    });
    measure("auto-reset event round trip between two threads", rounds, [&](long n) {
        for (long i = 0; i < n; ++i) {
            SetEvent(ping);
            WaitForSingleObject(pong, INFINITE);
        }
    });
    partner.join();
    // The same with the waiting side alertable, as a synchronous Send waits: it should
    // cost what the plain wait costs.
    std::thread alertable_partner([&] {
        for (long i = 0; i < rounds; ++i) {
            WaitForSingleObjectEx(ping, INFINITE, TRUE);
            SetEvent(pong);
        }
    });
    measure("auto-reset event round trip, both waits alertable", rounds, [&](long n) {
        for (long i = 0; i < n; ++i) {
            SetEvent(ping);
            WaitForSingleObjectEx(pong, INFINITE, TRUE);
        }
    });
    alertable_partner.join();
    HANDLE self = OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId());
    measure("QueueUserAPC to oneself + SleepEx(0, TRUE) running it", 500000, [&](long n) {
        for (long i = 0; i < n; ++i) {
            QueueUserAPC([](ULONG_PTR) {}, self, 0);
            SleepEx(0, TRUE);
        }
    });
    CloseHandle(self);

    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    measure("EnterCriticalSection + LeaveCriticalSection", 2000000, [&](long n) {
        for (long i = 0; i < n; ++i) {
            EnterCriticalSection(&cs);
            LeaveCriticalSection(&cs);
        }
    });
    DeleteCriticalSection(&cs);

    const long messages = 500000;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD receiver_id = 0;
    std::thread receiver([&] {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        receiver_id = GetCurrentThreadId();
        SetEvent(ready);
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        }
    });
    WaitForSingleObject(ready, INFINITE);
    measure("PostThreadMessageA to a thread draining with GetMessageA", messages, [&](long n) {
        for (long i = 0; i < n; ++i)
            PostThreadMessageA(receiver_id, WM_USER, 0, 0);
        PostThreadMessageA(receiver_id, WM_QUIT, 0, 0);
        receiver.join();
    });

    for (HANDLE h : handles)
        CloseHandle(h);
    for (HANDLE h : {ping, pong, ready})
        CloseHandle(h);
    return 0;
}
