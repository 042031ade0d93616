// Message queues and message-only windows with real threads.
#include "platform/sync/sync.h"
#include "platform/ui/message.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr UINT WM_TEST = WM_USER + 1;
constexpr UINT WM_TEST_DONE = WM_USER + 2;

// What the window procedure saw; tests use one window at a time.
struct record {
    std::vector<WPARAM> messages;
    DWORD procedure_thread = 0;
    BOOL post_during_destroy = TRUE;
} g_record;

LRESULT record_procedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM)
{
    g_record.procedure_thread = GetCurrentThreadId();
    if (msg == WM_DESTROY)
        g_record.post_during_destroy = PostMessageA(hwnd, WM_TEST, 0, 0);
    else if (msg == WM_TEST_DONE)
        PostQuitMessage(static_cast<int>(wParam));
    else
        g_record.messages.push_back(wParam);
    return static_cast<LRESULT>(wParam) + 1;
}

// A window on its own thread, served by a GetMessageA loop until WM_QUIT; or, with
// `foreign_loop`, by a loop that sleeps on an event set by the queue's wake-up hook and
// then drains the queue, as the server's Qt loop does.
struct window_thread {
    HWND hwnd = nullptr;
    DWORD id = 0;
    int exit_code = -1;
    std::thread thread;

    explicit window_thread(bool foreign_loop = false)
    {
        g_record = record{};
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread = std::thread([this, ready, foreign_loop] {
            id = GetCurrentThreadId();
            hwnd = CreateMessageWindow(record_procedure);
            HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            if (foreign_loop) {
                PostMessageA(hwnd, WM_TEST, 0, 0);  // queued before the hook: woken at once
                platform::set_queue_wakeup([wake] { SetEvent(wake); });
            }
            SetEvent(ready);
            MSG msg{};
            if (foreign_loop) {
                while (msg.message != WM_QUIT) {
                    WaitForSingleObject(wake, INFINITE);
                    while (msg.message != WM_QUIT && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
                        DispatchMessageA(&msg);
                }
                platform::set_queue_wakeup({});
            } else {
                while (GetMessageA(&msg, nullptr, 0, 0) > 0)
                    DispatchMessageA(&msg);
            }
            exit_code = static_cast<int>(msg.wParam);
            CloseHandle(wake);
        });
        WaitForSingleObject(ready, INFINITE);
        CloseHandle(ready);
    }
};

// Each sender's messages arrive in its order, on the owning thread; a foreign loop served
// through the wake-up hook sees the same.
TEST(Messages, SendersKeepTheirOrderAndTheOwnerRunsTheProcedure)
{
    for (bool foreign_loop : {false, true}) {
        window_thread owner(foreign_loop);
        constexpr int senders = 3;
        constexpr WPARAM each = 3000;
        std::vector<std::thread> threads;
        for (int s = 0; s < senders; ++s)
            threads.emplace_back([&, s] {
                for (WPARAM i = 0; i < each; ++i)
                    ASSERT_TRUE(PostMessageA(owner.hwnd, WM_TEST, (WPARAM(s) + 1) << 32 | i, 0));
            });
        for (auto& t : threads)
            t.join();
        PostMessageA(owner.hwnd, WM_TEST_DONE, 9, 0);
        owner.thread.join();

        EXPECT_EQ(owner.exit_code, 9);
        EXPECT_EQ(g_record.procedure_thread, owner.id);
        std::vector<WPARAM> next(senders + 1, 0);
        for (WPARAM m : g_record.messages) {
            const auto s = static_cast<int>(m >> 32);
            ASSERT_EQ(m & 0xffffffffU, next[s]) << "sender " << s;
            ++next[s];
        }
        EXPECT_EQ(g_record.messages.size(), senders * each + (foreign_loop ? 1 : 0));

        // The window and the queue went away with their thread.
        EXPECT_FALSE(IsWindow(owner.hwnd));
        EXPECT_FALSE(PostMessageA(owner.hwnd, WM_TEST, 0, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
        EXPECT_FALSE(PostThreadMessageA(owner.id, WM_TEST, 0, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    }
}

TEST(Messages, DestroyedWindowRefusesPostsFromItsFirstMoment)
{
    g_record = record{};
    HWND hwnd = CreateMessageWindow(record_procedure);
    ASSERT_TRUE(PostMessageA(hwnd, WM_TEST, 1, 0));
    BOOL result = TRUE;
    DWORD error = 0;
    std::thread([&] {
        result = DestroyWindow(hwnd);  // only the owner may
        error = GetLastError();
    }).join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_FALSE(g_record.post_during_destroy);  // already refused during WM_DESTROY
    EXPECT_FALSE(IsWindow(hwnd));
    std::thread([&] {
        result = PostMessageA(hwnd, WM_TEST, 2, 0);
        error = GetLastError();
    }).join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    // What was queued before stays for the owner to take back; dispatching calls nothing.
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 1U);
    EXPECT_EQ(DispatchMessageA(&msg), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_TRUE(g_record.messages.empty());
    EXPECT_FALSE(DestroyWindow(hwnd));
    EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(0x1234)));
}

TEST(Messages, QuitComesAfterPostedMessagesAndPeekCanLeaveAMessage)
{
    g_record = record{};
    HWND hwnd = CreateMessageWindow(record_procedure);
    MSG msg;
    EXPECT_EQ(GetMessageA(&msg, hwnd, 0, 0), -1);  // no filters
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    PostQuitMessage(5);
    PostMessageA(hwnd, WM_TEST, 1, 0);
    PostMessageA(nullptr, WM_TEST, 2, 0);  // a thread message to oneself
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.hwnd, hwnd);
    EXPECT_EQ(DispatchMessageA(&msg), 2);
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(DispatchMessageA(&msg), 0);  // thread messages have no procedure
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 5U);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(g_record.messages, std::vector<WPARAM>{1});
    DestroyWindow(hwnd);
}

TEST(Messages, ThreadMessagesNeedAQueue)
{
    HANDLE step = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE has_queue = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> id{0};
    MSG received{};
    std::thread receiver([&] {
        id = GetCurrentThreadId();
        WaitForSingleObject(step, INFINITE);
        PeekMessageA(&received, nullptr, 0, 0, PM_REMOVE);  // creates the queue
        SetEvent(has_queue);
        GetMessageA(&received, nullptr, 0, 0);
    });
    while (id == 0)
        std::this_thread::yield();
    EXPECT_FALSE(PostThreadMessageA(id, WM_TEST, 1, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    SetEvent(step);
    WaitForSingleObject(has_queue, INFINITE);
    EXPECT_TRUE(PostThreadMessageA(id, WM_TEST, 3, 4));
    receiver.join();
    EXPECT_EQ(received.hwnd, nullptr);
    EXPECT_EQ(received.message, WM_TEST);
    EXPECT_EQ(received.wParam, 3U);
    EXPECT_EQ(received.lParam, 4);
    CloseHandle(step);
    CloseHandle(has_queue);
}

}  // namespace
