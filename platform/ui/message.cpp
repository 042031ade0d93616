// Per-thread message queues and message-only windows.
#include "platform/ui/message.h"

#include "platform/base/handle.h"
#include "platform/sync/sync.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace platform {
namespace {

using wakeup_function = std::shared_ptr<const std::function<void()>>;

struct message_queue {
    explicit message_queue(DWORD owner) : thread_id(owner) {}

    const DWORD thread_id;
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<MSG> messages;
    bool quit_pending = false;  // PostQuitMessage: WM_QUIT once the queue is empty
    WPARAM quit_code = 0;
    wakeup_function wakeup;

    bool empty() const { return messages.empty() && !quit_pending; }
};

struct window {
    WNDPROC procedure;
    DWORD thread_id;
    std::shared_ptr<message_queue> queue;
};

// The thread-to-queue and window tables. A window handle is a number that names an entry
// here, never memory: a stale or made-up one is simply not found. Numbers are not reused,
// so a message meant for a destroyed window can never reach a newer one.
struct registry {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<message_queue>> queues;
    std::unordered_map<std::uintptr_t, window> windows;
    std::uintptr_t next_window = 0x10000;
};

registry& tables()
{
    static registry* instance = new registry;  // outlives every thread's clean-up
    return *instance;
}

// The calling thread's queue. When the thread ends its queue leaves the table, and its
// windows go with it, as they would with their thread on the original system; messages
// still queued are dropped.
struct queue_holder {
    std::shared_ptr<message_queue> queue;

    ~queue_holder()
    {
        if (!queue)
            return;
        registry& r = tables();
        std::lock_guard lock(r.mutex);
        r.queues.erase(queue->thread_id);
        std::erase_if(r.windows, [this](const auto& entry) {
            return entry.second.queue == queue;
        });
    }
};

thread_local queue_holder current_holder;

// Creates the calling thread's queue on first use; null only when memory is short.
std::shared_ptr<message_queue> current_queue()
{
    if (current_holder.queue)
        return current_holder.queue;
    try {
        auto queue = std::make_shared<message_queue>(GetCurrentThreadId());
        registry& r = tables();
        std::lock_guard lock(r.mutex);
        r.queues.emplace(queue->thread_id, queue);
        current_holder.queue = queue;
        return queue;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::uintptr_t key(HWND hwnd)
{
    return reinterpret_cast<std::uintptr_t>(hwnd);
}

// Adds a message; the caller holds the registry mutex, so a post cannot overtake the
// DestroyWindow or thread end that takes the target out of the table. Returns the
// wake-up hook to call (after every lock is released) when the queue was empty.
bool push(message_queue& queue, const MSG& msg, wakeup_function& to_call)
{
    std::lock_guard lock(queue.mutex);
    const bool was_empty = queue.empty();
    try {
        queue.messages.push_back(msg);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    queue.arrived.notify_one();
    if (was_empty)
        to_call = queue.wakeup;
    return true;
}

void call(const wakeup_function& wakeup)
{
    if (wakeup && *wakeup)
        (*wakeup)();
}

MSG make_message(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return MSG{hwnd, message, wParam, lParam, GetTickCount()};
}

// Takes (or with `remove` false, copies) the next message; the caller holds queue.mutex
// and has checked that the queue is not empty. Posted messages come before the quit
// request of PostQuitMessage.
void take(message_queue& queue, MSG& msg, bool remove)
{
    if (!queue.messages.empty()) {
        msg = queue.messages.front();
        if (remove)
            queue.messages.pop_front();
        return;
    }
    msg = MSG{nullptr, WM_QUIT, queue.quit_code, 0, GetTickCount()};
    if (remove)
        queue.quit_pending = false;
}

}  // namespace

void set_queue_wakeup(std::function<void()> wakeup)
{
    auto queue = current_queue();
    if (!queue)
        return;
    wakeup_function hook;
    try {
        if (wakeup)
            hook = std::make_shared<const std::function<void()>>(std::move(wakeup));
    } catch (const std::bad_alloc&) {
        return;
    }
    bool pending = false;
    {
        std::lock_guard lock(queue->mutex);
        queue->wakeup = hook;
        pending = !queue->empty();
    }
    if (pending)
        call(hook);  // what is already queued would otherwise wait for the next post
}

}  // namespace platform

HWND CreateMessageWindow(WNDPROC lpfnWndProc)
{
    if (!lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto queue = platform::current_queue();
    if (!queue)
        return nullptr;
    platform::registry& r = platform::tables();
    std::lock_guard lock(r.mutex);
    const std::uintptr_t value = r.next_window;
    try {
        r.windows.emplace(value, platform::window{lpfnWndProc, queue->thread_id, queue});
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    r.next_window += 4;
    return reinterpret_cast<HWND>(value);
}

// Only the owning thread may destroy its window (ERROR_ACCESS_DENIED otherwise). The
// window leaves the table before its procedure receives WM_DESTROY, so from the moment
// DestroyWindow begins every post to it fails and its senders keep what they tried to
// hand over; the procedure can use WM_DESTROY to take back, with PeekMessageA, what is
// still queued for it. (The original keeps the window valid during WM_DESTROY.)
BOOL DestroyWindow(HWND hWnd)
{
    WNDPROC procedure = nullptr;
    {
        platform::registry& r = platform::tables();
        std::lock_guard lock(r.mutex);
        auto it = r.windows.find(platform::key(hWnd));
        if (it == r.windows.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (it->second.thread_id != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        procedure = it->second.procedure;
        r.windows.erase(it);
    }
    procedure(hWnd, WM_DESTROY, 0, 0);
    return TRUE;
}

BOOL IsWindow(HWND hWnd)
{
    platform::registry& r = platform::tables();
    std::lock_guard lock(r.mutex);
    return r.windows.count(platform::key(hWnd)) ? TRUE : FALSE;
}

// Never blocks beyond two short table locks. A null hWnd posts a thread message to the
// calling thread, as on the original. Fails with ERROR_INVALID_WINDOW_HANDLE for a window
// that does not exist (any more); the message is then not queued.
BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (!hWnd) {
        if (!platform::current_queue())
            return FALSE;
        return PostThreadMessageA(GetCurrentThreadId(), Msg, wParam, lParam);
    }
    platform::wakeup_function wakeup;
    {
        platform::registry& r = platform::tables();
        std::lock_guard lock(r.mutex);
        auto it = r.windows.find(platform::key(hWnd));
        if (it == r.windows.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (!platform::push(*it->second.queue, platform::make_message(hWnd, Msg, wParam, lParam),
                            wakeup))
            return FALSE;
    }
    platform::call(wakeup);
    return TRUE;
}

// The thread must have a queue: it gets one with its first CreateMessageWindow,
// GetMessageA or PeekMessageA. Otherwise, or for an unknown or ended thread,
// ERROR_INVALID_THREAD_ID.
BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    platform::wakeup_function wakeup;
    {
        platform::registry& r = platform::tables();
        std::lock_guard lock(r.mutex);
        auto it = r.queues.find(idThread);
        if (it == r.queues.end()) {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return FALSE;
        }
        if (!platform::push(*it->second, platform::make_message(nullptr, Msg, wParam, lParam),
                            wakeup))
            return FALSE;
    }
    platform::call(wakeup);
    return TRUE;
}

// Message filters are not supported: hWnd must be null and both limits 0, else -1 with
// ERROR_INVALID_PARAMETER. Messages come in the order they were posted; the request of
// PostQuitMessage comes after every posted message, as on the original.
BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (!lpMsg || hWnd || wMsgFilterMin || wMsgFilterMax) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    auto queue = platform::current_queue();
    if (!queue)
        return -1;
    std::unique_lock lock(queue->mutex);
    queue->arrived.wait(lock, [&] { return !queue->empty(); });
    platform::take(*queue, *lpMsg, true);
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

// PM_REMOVE takes the message; PM_NOREMOVE leaves it at the head of the queue. Filters
// as for GetMessageA (FALSE with ERROR_INVALID_PARAMETER).
BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                  UINT wRemoveMsg)
{
    if (!lpMsg || hWnd || wMsgFilterMin || wMsgFilterMax) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto queue = platform::current_queue();
    if (!queue)
        return FALSE;
    std::lock_guard lock(queue->mutex);
    if (queue->empty())
        return FALSE;
    platform::take(*queue, *lpMsg, (wRemoveMsg & PM_REMOVE) != 0);
    return TRUE;
}

// Calls the procedure of msg.hwnd on the calling thread and returns its result. A thread
// message (null hwnd) is not dispatched: 0. A window that no longer exists: 0 with
// ERROR_INVALID_WINDOW_HANDLE; the receiver still owns what such a message carries.
LRESULT DispatchMessageA(const MSG* lpMsg)
{
    if (!lpMsg || !lpMsg->hwnd)
        return 0;
    WNDPROC procedure = nullptr;
    {
        platform::registry& r = platform::tables();
        std::lock_guard lock(r.mutex);
        auto it = r.windows.find(platform::key(lpMsg->hwnd));
        if (it == r.windows.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        procedure = it->second.procedure;
    }
    return procedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

// Asks the calling thread's loop to end: its GetMessageA returns 0 (WM_QUIT, wParam the
// exit code) once the messages already queued have been taken.
void PostQuitMessage(int nExitCode)
{
    auto queue = platform::current_queue();
    if (!queue)
        return;
    platform::wakeup_function wakeup;
    {
        std::lock_guard lock(queue->mutex);
        const bool was_empty = queue->empty();
        queue->quit_pending = true;
        queue->quit_code = static_cast<WPARAM>(nExitCode);
        queue->arrived.notify_one();
        if (was_empty)
            wakeup = queue->wakeup;
    }
    platform::call(wakeup);
}
