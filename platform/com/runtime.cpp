#include "platform/com/runtime.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// The calling thread's object-runtime state: how many successful CoInitializeEx calls
// are outstanding, and with which model.
struct apartment_state {
    unsigned count = 0;
    DWORD model = COINIT_MULTITHREADED;
};
thread_local apartment_state t_apartment;

thread_local platform::call_context* t_call = nullptr;

}  // namespace

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit)
{
    if (pvReserved)
        return E_INVALIDARG;
    const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (t_apartment.count == 0) {
        t_apartment.model = model;
        t_apartment.count = 1;
        return S_OK;
    }
    if (t_apartment.model != model)
        return RPC_E_CHANGED_MODE;
    ++t_apartment.count;
    return S_FALSE;
}

void CoUninitialize()
{
    if (t_apartment.count > 0)
        --t_apartment.count;
}

void OutputDebugStringA(LPCSTR lpOutputString)
{
    if (!lpOutputString)
        return;
    // write(2) directly: one call per string, no stdio buffer between threads.
    const char* p = lpOutputString;
    std::size_t left = std::strlen(p);
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

HRESULT CoTestCancel()
{
    const platform::call_context* call = t_call;
    if (!call)
        return RPC_E_CALL_COMPLETE;
    return call->cancelled() ? RPC_E_CALL_CANCELED : RPC_S_CALLPENDING;
}

platform::call_context* platform::set_current_call(call_context* call)
{
    call_context* previous = t_call;
    t_call = call;
    return previous;
}
