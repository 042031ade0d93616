// The built server on a private bus with client processes of the client library: a
// client that is stopped (SIGSTOP) for 10 s while a pseudo-terminal streams into its port
// loses only a gap of its own, marked by one spoMemoryError, while the other client
// receives every byte in order; continued (SIGCONT), it receives again, in order.
#include "idl/tethra.h"
#include "platform/registry/registry.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/testing/bus_fixture.h"
#include "platform/testing/process.h"
#include "platform/testing/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using platform::testing::read_file;

namespace fs = std::filesystem;

constexpr LONG kPort = 5;
constexpr DWORD kLimitKB = 2048;

// "errors 1004@123 ..." -> the offsets of the codes, each checked to be spoMemoryError.
std::vector<std::size_t> Gaps(const std::string& line)
{
    std::istringstream in(line);
    std::string word;
    in >> word;
    EXPECT_EQ(word, "errors");
    std::vector<std::size_t> gaps;
    while (in >> word) {
        const std::size_t at = word.find('@');
        EXPECT_EQ(word.substr(0, at), std::to_string(spoMemoryError)) << word;
        gaps.push_back(std::stoull(word.substr(at + 1)));
    }
    return gaps;
}

// The peer writes 32 KiB pieces, one every 20 ms (about 1.6 MB/s): a rate every client
// keeps up with on a heavily loaded machine, so that only the stopped one loses anything.
constexpr std::size_t kPiece = 32u << 10;
constexpr DWORD kPauseMs = 20;

class SlowClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_THREAD__)
        // As in the host tests: Qt and GLib are not built for ThreadSanitizer.
        GTEST_SKIP() << "the bus processes run on Qt, which ThreadSanitizer cannot see into";
#endif
        ASSERT_TRUE(registry_.ready());
        ASSERT_TRUE(peer_.ready());
        ASSERT_EQ(registry_.map_port(peer_.path(), kPort), ERROR_SUCCESS);
        const DWORD dwKB = kLimitKB;
        ASSERT_EQ(platform::testing::set_machine_value("SOFTWARE\\Ostra\\Tethra", "MaxClientQueue",
                                                       REG_DWORD, &dwKB, sizeof dwKB),
                  ERROR_SUCCESS);
        // Started after the registry store exists, so the server it starts uses it.
        bus_ = std::make_unique<platform::rpc::testing::private_bus>();
        ASSERT_TRUE(bus_->ready());
        std::ofstream(fs::path(bus_->service_dir()) / "Ostra.Tethra.service")
            << "[D-BUS Service]\nName=Ostra.Tethra\nExec=" TETHRA_SERVER " -Embedding\n";
    }
    void TearDown() override
    {
        clients_.clear();
        if (server_pid_ > 0)
            platform::testing::kill_process(server_pid_);
        bus_.reset();
    }

    platform::testing::child& StartClient()
    {
        clients_.push_back(std::make_unique<platform::testing::child>(
            std::vector<std::string>{QUEUE_CLIENT, std::to_string(kPort)}, true));
        EXPECT_EQ(clients_.back()->read_line(), "ready");
        return *clients_.back();
    }
    int ServerPid()
    {
        if (const int pid = platform::testing::name_owner_pid(bus_->address()); pid > 0)
            server_pid_ = pid;
        return server_pid_;
    }
    static std::string Ask(platform::testing::child& client, const std::string& command)
    {
        EXPECT_TRUE(client.write_line(command));
        return client.read_line();
    }

    platform::testing::temp_registry registry_;
    platform::testing::pty_peer peer_;
    std::unique_ptr<platform::rpc::testing::private_bus> bus_;
    std::vector<std::unique_ptr<platform::testing::child>> clients_;
    int server_pid_ = -1;
};

TEST_F(SlowClientTest, AStoppedClientLosesOnlyItsOwnGapAndResumesInOrderAfterItContinues)
{
    platform::testing::child& fast = StartClient();
    platform::testing::child& slow = StartClient();
    ASSERT_GT(ServerPid(), 0);

    // Both keep up with a first part.
    std::string all = platform::testing::pattern_bytes(256u << 10, 1);
    ASSERT_TRUE(peer_.send_paced(all, kPiece, kPauseMs));
    ASSERT_EQ(Ask(fast, "wait " + std::to_string(all.size())), "have " + std::to_string(all.size()));
    ASSERT_EQ(Ask(slow, "wait " + std::to_string(all.size())), "have " + std::to_string(all.size()));

    // Stopped for twice as long as an OnRequestEdit may take before it is given up, while
    // at least 8 MiB stream: far more than its limit and the proxy's window together.
    platform::testing::stop_process(slow.pid(), true);
    const auto stopped = std::chrono::steady_clock::now();
    for (unsigned seed = 2; seed < 10 || std::chrono::steady_clock::now() - stopped <
                                             std::chrono::milliseconds(2 * platform::rpc::kSinkCallTimeoutMs);
         ++seed) {
        const std::string during = platform::testing::pattern_bytes(1u << 20, seed);
        ASSERT_TRUE(peer_.send_paced(during, kPiece, kPauseMs));
        all += during;
    }
    ASSERT_EQ(Ask(fast, "wait " + std::to_string(all.size())), "have " + std::to_string(all.size()));
    platform::testing::stop_process(slow.pid(), false);

    // Once it has taken what waited for it (the report included), it gets all that follows.
    ASSERT_EQ(Ask(slow, "quiet 2000").substr(0, 6), "quiet ");
    const std::string after = platform::testing::pattern_bytes(1u << 20, 1000);
    ASSERT_TRUE(peer_.send_paced(after, kPiece, kPauseMs));
    all += after;
    ASSERT_EQ(Ask(fast, "wait " + std::to_string(all.size())), "have " + std::to_string(all.size()));
    ASSERT_EQ(Ask(slow, "quiet 2000").substr(0, 6), "quiet ");

    const fs::path dir = fs::path(registry_.file()).parent_path();
    EXPECT_EQ(Ask(fast, "dump " + (dir / "fast").string()), "errors");
    EXPECT_TRUE(read_file(dir / "fast") == all);

    // The slow one: pieces of the stream in order, each gap marked by one spoMemoryError
    // and each report standing at a real gap; the last piece runs to the end. Nothing
    // that waits for it moves on while it is stopped, so the one stop is one episode.
    const std::vector<std::size_t> gaps = Gaps(Ask(slow, "dump " + (dir / "slow").string()));
    const std::string got = read_file(dir / "slow");
    EXPECT_EQ(gaps.size(), 1u);
    ASSERT_FALSE(gaps.empty());
    std::size_t from = 0;  // in got
    std::size_t at = 0;    // in all
    for (std::size_t i = 0; i <= gaps.size(); ++i) {
        const std::size_t to = i < gaps.size() ? gaps[i] : got.size();
        ASSERT_GT(to, from) << "an empty piece before report " << i;
        const std::string piece = got.substr(from, to - from);
        const std::size_t found = all.find(piece.substr(0, 64), at);
        ASSERT_NE(found, std::string::npos) << "piece " << i << " is not in the stream";
        if (i > 0)
            EXPECT_GT(found, at) << "report " << i - 1 << " stands where nothing was lost";
        else
            EXPECT_EQ(found, 0u);
        EXPECT_TRUE(all.compare(found, piece.size(), piece) == 0) << "piece " << i;
        at = found + piece.size();
        from = to;
    }
    EXPECT_EQ(at, all.size());
    std::printf("the stopped client got %zu of %zu bytes with %zu report(s)\n", got.size(),
                all.size(), gaps.size());
}

}  // namespace
