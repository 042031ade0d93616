#include "platform/com/runtime.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

TEST(CoInitializeEx, PerThreadResultSequence)
{
    std::thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);

        // Another thread starts from nothing and may choose the other model.
        std::thread([] {
            EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
            CoUninitialize();
        }).join();

        // Two successful calls need two CoUninitialize; the refused one none.
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
        CoUninitialize();  // one too many does nothing
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();

        int reserved = 0;
        EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
    }).join();
}

TEST(OutputDebugStringA, WritesToStandardError)
{
    char path[] = "/tmp/tethra-com-stderr-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const int saved = dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    dup2(fd, STDERR_FILENO);
    OutputDebugStringA("CTethra - ");
    OutputDebugStringA(nullptr);
    OutputDebugStringA("ITethra\n");
    dup2(saved, STDERR_FILENO);
    close(saved);

    char buffer[64] = {};
    const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
    close(fd);
    unlink(path);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), "CTethra - ITethra\n");
}
