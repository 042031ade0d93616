// Message queues and message-only windows with real threads.
#include "platform/sync/sync.h"
#include "platform/ui/message.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr UINT WM_TEST = WM_USER + 1;
constexpr UINT WM_TEST_DONE = WM_USER + 2;

// What the window procedures saw; one window at a time per test.
struct record {
    std::vector<std::pair<UINT, WPARAM>> messages;
    DWORD procedure_thread = 0;
    int destroys = 0;
    BOOL post_during_destroy = TRUE;
};
record* g_record = nullptr;

LRESULT record_procedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM)
{
    g_record->procedure_thread = GetCurrentThreadId();
    if (msg == WM_DESTROY) {
        ++g_record->destroys;
        g_record->post_during_destroy = PostMessageA(hwnd, WM_TEST, 0, 0);
        return 0;
    }
    g_record->messages.emplace_back(msg, wParam);
    if (msg == WM_TEST_DONE)
        PostQuitMessage(static_cast<int>(wParam));
    return static_cast<LRESULT>(wParam) + 1;
}

// Runs a window on its own thread with a GetMessageA loop until WM_QUIT.
struct window_thread {
    std::atomic<HWND> hwnd{nullptr};
    std::atomic<DWORD> id{0};
    int exit_code = -1;
    std::thread thread;

    window_thread()
    {
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread = std::thread([this, ready] {
            id = GetCurrentThreadId();
            hwnd = CreateMessageWindow(record_procedure);
            SetEvent(ready);
            MSG msg;
            BOOL r;
            while ((r = GetMessageA(&msg, nullptr, 0, 0)) > 0)
                DispatchMessageA(&msg);
            exit_code = static_cast<int>(msg.wParam);
        });
        WaitForSingleObject(ready, INFINITE);
        CloseHandle(ready);
    }
    ~window_thread()
    {
        if (thread.joinable())
            thread.join();
    }
};

TEST(Messages, OneSenderIsDeliveredInOrderOnTheOwningThread)
{
    record rec;
    g_record = &rec;
    window_thread owner;
    ASSERT_NE(owner.hwnd.load(), nullptr);
    EXPECT_TRUE(IsWindow(owner.hwnd));

    constexpr WPARAM count = 5000;
    std::thread sender([&] {
        for (WPARAM i = 0; i < count; ++i)
            ASSERT_TRUE(PostMessageA(owner.hwnd, WM_TEST, i, 0));
        ASSERT_TRUE(PostMessageA(owner.hwnd, WM_TEST_DONE, 9, 0));
    });
    sender.join();
    owner.thread.join();

    EXPECT_EQ(owner.exit_code, 9);
    EXPECT_EQ(rec.procedure_thread, owner.id.load());
    ASSERT_EQ(rec.messages.size(), count + 1);
    for (WPARAM i = 0; i < count; ++i)
        ASSERT_EQ(rec.messages[i], std::make_pair(WM_TEST, i));
    // The window went away with its thread.
    EXPECT_FALSE(IsWindow(owner.hwnd));
    EXPECT_FALSE(PostMessageA(owner.hwnd, WM_TEST, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(PostThreadMessageA(owner.id, WM_TEST, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST(Messages, ManySendersKeepTheirOwnOrder)
{
    record rec;
    g_record = &rec;
    window_thread owner;
    constexpr int senders = 4;
    constexpr WPARAM each = 2000;
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s)
        threads.emplace_back([&, s] {
            for (WPARAM i = 0; i < each; ++i)
                PostMessageA(owner.hwnd, WM_TEST, (static_cast<WPARAM>(s) << 32) | i, 0);
        });
    for (auto& t : threads)
        t.join();
    PostThreadMessageA(owner.id, WM_QUIT, 4, 0);
    owner.thread.join();

    EXPECT_EQ(owner.exit_code, 4);
    ASSERT_EQ(rec.messages.size(), senders * each);
    std::vector<WPARAM> next(senders, 0);
    for (auto& [msg, wParam] : rec.messages) {
        const auto s = static_cast<int>(wParam >> 32);
        ASSERT_EQ(wParam & 0xffffffffU, next[s]) << "sender " << s;
        ++next[s];
    }
}

TEST(Messages, DestroyedWindowRefusesPostsFromItsFirstMoment)
{
    record rec;
    g_record = &rec;
    HWND hwnd = CreateMessageWindow(record_procedure);
    ASSERT_NE(hwnd, nullptr);

    // Only the owner may destroy it.
    BOOL other = TRUE;
    DWORD error = 0;
    std::thread([&] {
        other = DestroyWindow(hwnd);
        error = GetLastError();
    }).join();
    EXPECT_FALSE(other);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));

    ASSERT_TRUE(PostMessageA(hwnd, WM_TEST, 1, 0));
    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_EQ(rec.destroys, 1);
    EXPECT_FALSE(rec.post_during_destroy);
    EXPECT_FALSE(IsWindow(hwnd));

    // A post from another thread fails, so the sender still owns its payload.
    std::thread([&] {
        other = PostMessageA(hwnd, WM_TEST, 2, 0);
        error = GetLastError();
    }).join();
    EXPECT_FALSE(other);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    // What was queued before stays for the owner to take back; dispatching it calls
    // nothing.
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, hwnd);
    EXPECT_EQ(msg.wParam, 1U);
    SetLastError(0);
    EXPECT_EQ(DispatchMessageA(&msg), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_TRUE(rec.messages.empty());
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));

    EXPECT_FALSE(DestroyWindow(hwnd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(0x1234)));
    EXPECT_FALSE(IsWindow(nullptr));
}

TEST(Messages, QuitComesAfterPostedMessagesAndEndsGetMessage)
{
    record rec;
    g_record = &rec;
    HWND hwnd = CreateMessageWindow(record_procedure);
    PostQuitMessage(5);
    PostMessageA(hwnd, WM_TEST, 1, 0);
    PostMessageA(nullptr, WM_TEST, 2, 0);  // a thread message to oneself

    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.hwnd, hwnd);
    EXPECT_EQ(DispatchMessageA(&msg), 2);
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(msg.wParam, 2U);
    EXPECT_EQ(DispatchMessageA(&msg), 0);  // thread messages have no procedure
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 5U);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(rec.messages.size(), 1U);
    DestroyWindow(hwnd);
}

TEST(Messages, PeekAndArgumentChecks)
{
    record rec;
    g_record = &rec;
    HWND hwnd = CreateMessageWindow(record_procedure);
    MSG msg;
    EXPECT_EQ(GetMessageA(&msg, hwnd, 0, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 1, 2, PM_REMOVE));
    EXPECT_EQ(CreateMessageWindow(nullptr), nullptr);

    const DWORD before = GetTickCount();
    PostMessageA(hwnd, WM_TEST, 7, 0);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.wParam, 7U);
    // Stamped when posted.
    EXPECT_LE(static_cast<DWORD>(msg.time - before), static_cast<DWORD>(GetTickCount() - before));
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7U);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    DestroyWindow(hwnd);
}

TEST(Messages, ThreadMessagesNeedAQueue)
{
    HANDLE has_queue = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE may_peek = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> id{0};
    MSG received{};
    std::thread receiver([&] {
        id = GetCurrentThreadId();
        WaitForSingleObject(may_peek, INFINITE);
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);  // creates the queue
        SetEvent(has_queue);
        GetMessageA(&received, nullptr, 0, 0);
    });
    while (id == 0)
        std::this_thread::yield();
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(id, WM_TEST, 1, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    EXPECT_FALSE(PostThreadMessageA(0xfffffff0U, WM_TEST, 1, 0));
    SetEvent(may_peek);
    WaitForSingleObject(has_queue, INFINITE);
    EXPECT_TRUE(PostThreadMessageA(id, WM_TEST, 3, 4));
    receiver.join();
    EXPECT_EQ(received.hwnd, nullptr);
    EXPECT_EQ(received.message, WM_TEST);
    EXPECT_EQ(received.wParam, 3U);
    EXPECT_EQ(received.lParam, 4);
    CloseHandle(has_queue);
    CloseHandle(may_peek);
}

// Another event loop serving the queue through the wake-up hook: it sleeps on its own
// primitive (an event here, a Qt loop in the server) and drains on every wake-up.
TEST(Messages, WakeupHookLetsAnotherLoopDrainTheQueue)
{
    record rec;
    g_record = &rec;
    constexpr WPARAM count = 3000;
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> wakeups{0};
    std::atomic<HWND> hwnd{nullptr};
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread loop([&] {
        hwnd = CreateMessageWindow(record_procedure);
        PostMessageA(hwnd, WM_TEST, 0, 0);  // queued before the hook: reported at once
        platform::set_queue_wakeup([&] {
            ++wakeups;
            SetEvent(wake);
        });
        SetEvent(ready);
        bool quit = false;
        while (!quit) {
            WaitForSingleObject(wake, INFINITE);
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT)
                    quit = true;
                else
                    DispatchMessageA(&msg);
            }
        }
        platform::set_queue_wakeup({});
    });
    WaitForSingleObject(ready, INFINITE);
    EXPECT_GE(wakeups, 1);
    for (WPARAM i = 1; i < count; ++i) {
        ASSERT_TRUE(PostMessageA(hwnd, WM_TEST, i, 0));
        if (i % 100 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    PostMessageA(hwnd, WM_TEST_DONE, 0, 0);  // the procedure posts the quit
    loop.join();

    ASSERT_EQ(rec.messages.size(), count + 1);
    for (WPARAM i = 0; i < count; ++i)
        ASSERT_EQ(rec.messages[i].second, i);
    // Called when the queue became non-empty, not for every message.
    EXPECT_LE(wakeups, static_cast<int>(count));
    CloseHandle(wake);
    CloseHandle(ready);
}

}  // namespace
