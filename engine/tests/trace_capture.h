// Collects the trace records of every thread into a journal, through a message-only
// window served by a thread of its own, as the debug window receives them.
#pragma once

#include "engine/tests/recording_tasks.h"
#include "platform/sync/sync.h"
#include "platform/ui/message.h"
#include "trace/trace.h"

#include <thread>

class TraceCapture {
public:
    TraceCapture(Journal& journal, DWORD level, DWORD category)
    {
        sink() = &journal;
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, ready] {
            thread_id_ = GetCurrentThreadId();
            HWND hwnd = CreateMessageWindow(&TraceCapture::WindowProc);
            window_ = hwnd;
            SetEvent(ready);
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0)
                DispatchMessageA(&msg);
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageA(&msg);
            DestroyWindow(hwnd);
        });
        WaitForSingleObject(ready, INFINITE);
        CloseHandle(ready);
        atlTraceLevel = level;
        atlTraceCat = category;
        g_hDebugWnd = window_;
    }

    // Every traced thread but the caller's must have ended (or stopped tracing) first, so
    // that every record posted is already queued ahead of the quit message.
    ~TraceCapture()
    {
        atlTraceCat = 0;
        atlTraceLevel = 0;
        g_hDebugWnd = nullptr;
        PostThreadMessageA(thread_id_, WM_QUIT, 0, 0);
        thread_.join();
        sink() = nullptr;
    }

private:
    static Journal*& sink()
    {
        static Journal* journal = nullptr;
        return journal;
    }

    static LRESULT WindowProc(HWND, UINT uMsg, WPARAM, LPARAM lParam)
    {
        if (uMsg == WM_DEBUG_MESSAGE) {
            auto* record = reinterpret_cast<CTraceMessage*>(lParam);
            sink()->add(record->m_pszText);
            delete record;
        }
        return 0;
    }

    std::thread thread_;
    DWORD thread_id_ = 0;
    HWND window_ = nullptr;
};
