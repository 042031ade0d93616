// Manual- and auto-reset events.
#include "platform/sync/sync.h"
#include "platform/sync/waitable.h"

#include <memory>
#include <new>

namespace platform {
namespace {

class event_object final : public waitable {
public:
    event_object(bool manual_reset, bool initial_state)
        : manual_reset_(manual_reset), signalled_(initial_state)
    {
    }

    bool is_signalled() const override { return signalled_; }

    void consume() override
    {
        if (!manual_reset_)
            signalled_ = false;
    }

    void set()
    {
        std::lock_guard lock(dispatcher_mutex());
        if (manual_reset_) {
            signalled_ = true;
            wake_waiters(false);
        } else if (!wake_waiters(true)) {
            // No one waiting: the signal stays until one wait consumes it.
            signalled_ = true;
        }
    }

    void reset()
    {
        std::lock_guard lock(dispatcher_mutex());
        signalled_ = false;
    }

    void pulse()
    {
        std::lock_guard lock(dispatcher_mutex());
        wake_waiters(!manual_reset_);
        signalled_ = false;
    }

private:
    const bool manual_reset_;
    bool signalled_;  // guarded by the dispatcher mutex
};

// Applies one of the event's operations; FALSE with ERROR_INVALID_HANDLE when the handle
// names no open event.
BOOL act_on_event(HANDLE handle, void (event_object::*operation)())
{
    auto event = lookup_handle_as<event_object>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ((*event).*operation)();
    return TRUE;
}

}  // namespace
}  // namespace platform

// Security attributes are ignored (there is only one process to share with). Named
// events are not given on Linux: a name fails with ERROR_NOT_SUPPORTED.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName)
{
    if (lpName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    std::shared_ptr<platform::event_object> event;
    try {
        event = std::make_shared<platform::event_object>(bManualReset != FALSE,
                                                         bInitialState != FALSE);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = platform::insert_handle(std::move(event));
    if (!handle)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return handle;
}

// A manual-reset event releases every waiter and stays signalled; an auto-reset event
// releases the longest waiting one and stays unsignalled, or, with no waiter, stays
// signalled until one wait consumes it.
BOOL SetEvent(HANDLE hEvent)
{
    return platform::act_on_event(hEvent, &platform::event_object::set);
}

BOOL ResetEvent(HANDLE hEvent)
{
    return platform::act_on_event(hEvent, &platform::event_object::reset);
}

// Exact: the waiters registered at this instant are released (all, or the longest
// waiting one for an auto-reset event); a thread that starts waiting a moment later
// finds the event unsignalled.
BOOL PulseEvent(HANDLE hEvent)
{
    return platform::act_on_event(hEvent, &platform::event_object::pulse);
}
