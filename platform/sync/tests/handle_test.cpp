// The kernel handle table of platform/base, through its own interface and CloseHandle.
#include "platform/base/handle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace {

class counted_object : public platform::kernel_object {
public:
    explicit counted_object(std::atomic<int>* closed) : closed_(closed) {}
    void on_last_handle_closed() override { ++*closed_; }

private:
    std::atomic<int>* closed_;
};

class other_object : public platform::kernel_object {};

TEST(HandleTable, InsertLookupCloseAndTypes)
{
    std::atomic<int> closed{0};
    auto object = std::make_shared<counted_object>(&closed);
    HANDLE h = platform::insert_handle(object);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::lookup_handle(h), object);
    EXPECT_EQ(platform::lookup_handle_as<counted_object>(h), object);
    EXPECT_EQ(platform::lookup_handle_as<other_object>(h), nullptr);

    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(platform::lookup_handle(h), nullptr);

    // A second close is an error and does not notify the object again.
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(closed, 1);

    // The object itself lives on while someone else holds it.
    EXPECT_EQ(object.use_count(), 1);
}

TEST(HandleTable, BogusHandlesAreRejected)
{
    EXPECT_EQ(platform::insert_handle(nullptr), nullptr);
    const HANDLE bogus[] = {nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(3),
                            reinterpret_cast<HANDLE>(0x7fff0001),
                            reinterpret_cast<HANDLE>(std::uintptr_t{4} * 1000000),
                            reinterpret_cast<HANDLE>(std::uintptr_t{1} << 40)};
    for (HANDLE h : bogus) {
        EXPECT_EQ(platform::lookup_handle(h), nullptr) << h;
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(h)) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;
    }
}

TEST(HandleTable, FreedSlotIsReusedLowestFirst)
{
    HANDLE a = platform::insert_handle(std::make_shared<other_object>());
    HANDLE b = platform::insert_handle(std::make_shared<other_object>());
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(CloseHandle(a));
    HANDLE c = platform::insert_handle(std::make_shared<other_object>());
    EXPECT_EQ(c, a);
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_TRUE(CloseHandle(c));
}

TEST(HandleTable, LastErrorIsPerThread)
{
    SetLastError(1234);
    std::thread([] {
        EXPECT_EQ(GetLastError(), 0U);
        SetLastError(99);
    }).join();
    EXPECT_EQ(GetLastError(), 1234U);
}

TEST(HandleTable, ConcurrentInsertAndCloseKeepHandlesDistinct)
{
    constexpr int threads = 4;
    constexpr int rounds = 2000;
    std::atomic<int> closed{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                auto object = std::make_shared<counted_object>(&closed);
                HANDLE h = platform::insert_handle(object);
                // Nobody else may be given the same handle while it is open.
                if (platform::lookup_handle(h) != object || !CloseHandle(h))
                    failed = true;
            }
        });
    }
    for (auto& w : workers)
        w.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(closed, threads * rounds);
}

}  // namespace
