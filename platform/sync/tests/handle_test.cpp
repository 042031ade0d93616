// The kernel handle table of platform/base, through its own interface and CloseHandle.
#include "platform/base/handle.h"

#include <gtest/gtest.h>

#include <atomic>
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

TEST(HandleTable, LookupCloseAndBogusHandles)
{
    std::atomic<int> closed{0};
    auto object = std::make_shared<counted_object>(&closed);
    HANDLE h = platform::insert_handle(object);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::lookup_handle_as<counted_object>(h), object);
    EXPECT_EQ(platform::lookup_handle_as<other_object>(h), nullptr);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(object.use_count(), 1);  // the table let go

    const HANDLE bogus[] = {h, nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(3),
                            reinterpret_cast<HANDLE>(std::uintptr_t{4} * 1000000),
                            reinterpret_cast<HANDLE>(std::uintptr_t{1} << 40)};
    for (HANDLE b : bogus) {
        EXPECT_EQ(platform::lookup_handle(b), nullptr) << b;
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(b)) << b;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << b;
    }
    EXPECT_EQ(closed, 1);  // a second close does not notify again
    EXPECT_EQ(platform::insert_handle(nullptr), nullptr);

    SetLastError(1234);
    std::thread([] { EXPECT_EQ(GetLastError(), 0U); }).join();  // per thread
}

TEST(HandleTable, ConcurrentInsertAndCloseKeepHandlesDistinct)
{
    std::atomic<int> closed{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                auto object = std::make_shared<counted_object>(&closed);
                HANDLE h = platform::insert_handle(object);
                if (platform::lookup_handle(h) != object || !CloseHandle(h))
                    failed = true;
            }
        });
    for (auto& w : workers)
        w.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(closed, 8000);
}

}  // namespace
