// Windows, thread message queues and posted messages: the hand-over that carries trace
// records to the debug window and the quit message to the main thread.
//
// Every thread that creates a window or calls GetMessageA has a message queue. A window
// belongs to the thread that created it; PostMessageA puts a message on that thread's
// queue and never blocks, and the owning thread's DispatchMessageA calls the window's
// procedure. After DestroyWindow, PostMessageA to that window fails with
// ERROR_INVALID_WINDOW_HANDLE, so a sender keeps ownership of what it tried to hand over.
#pragma once

#include "platform/base/types.h"

#include <functional>

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using WNDPROC = LRESULT (*)(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

#define WM_NULL 0x0000U
#define WM_DESTROY 0x0002U
#define WM_CLOSE 0x0010U
#define WM_QUIT 0x0012U
#define WM_USER 0x0400U
#define WM_APP 0x8000U

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
};
using LPMSG = MSG*;

// A window with only a procedure, owned by the calling thread (a message-only window).
HWND CreateMessageWindow(WNDPROC lpfnWndProc);
BOOL DestroyWindow(HWND hWnd);
BOOL IsWindow(HWND hWnd);

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);

// Waits for the next message of the calling thread's queue: > 0 for a message, 0 for
// WM_QUIT, -1 on failure. hWnd, wMsgFilterMin and wMsgFilterMax must be null/0.
BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
// Takes the next message without waiting: TRUE when one was there. PM_REMOVE takes it,
// PM_NOREMOVE leaves it at the head of the queue.
#define PM_NOREMOVE 0x0000U
#define PM_REMOVE 0x0001U
BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                  UINT wRemoveMsg);
LRESULT DispatchMessageA(const MSG* lpMsg);
void PostQuitMessage(int nExitCode);

namespace platform {

// Lets another event loop (the main thread's Qt loop) serve the calling thread's queue.
// `wakeup` is called whenever the queue goes from empty to non-empty (and at once if it
// already holds messages); the loop must then drain the queue with PeekMessageA(PM_REMOVE)
// and DispatchMessageA until PeekMessageA returns FALSE, which guarantees that the next
// post calls `wakeup` again. It is called on the posting thread, after every lock of the
// queue has been released, so it must be thread-safe and must not block (posting an event
// to the other loop is the intended use). An empty function removes the hook. Creates the
// calling thread's queue if it has none yet.
void set_queue_wakeup(std::function<void()> wakeup);

}  // namespace platform
