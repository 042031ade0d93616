#include "tools/tethra/tests/server_fixture.h"

#include "platform/testing/process.h"

#include <filesystem>

namespace tools_testing {

namespace fs = std::filesystem;

platform::testing::temp_registry* ServerTest::s_pRegistry = nullptr;
platform::rpc::testing::private_bus* ServerTest::s_pBus = nullptr;

void ServerTest::SetUpTestSuite()
{
    s_pRegistry = new platform::testing::temp_registry;
    if (!s_pRegistry->ready())
        return;
    const fs::path dataHome = fs::path(s_pRegistry->file()).parent_path() / "data";
    platform::testing::set_environment("XDG_DATA_HOME", dataHome.c_str());
    if (platform::testing::run_program({TETHRA_SERVER, "-RegServer"}) != 0)
        return;
    s_pBus = new platform::rpc::testing::private_bus;
    if (!s_pBus->ready())
        return;
    std::error_code ec;
    fs::copy_file(dataHome / "dbus-1/services/Ostra.Tethra.service",
                  fs::path(s_pBus->service_dir()) / "Ostra.Tethra.service", ec);
}

void ServerTest::TearDownTestSuite()
{
    // The bus goes first: a server it started ends with it.
    delete s_pBus;
    s_pBus = nullptr;
    platform::testing::set_environment("XDG_DATA_HOME", nullptr);
    delete s_pRegistry;
    s_pRegistry = nullptr;
}

void ServerTest::SetUp()
{
    ASSERT_TRUE(s_pRegistry && s_pRegistry->ready());
    ASSERT_TRUE(s_pBus && s_pBus->ready());
}

std::unique_ptr<platform::testing::socat_pair> ServerTest::MappedPair(LONG number)
{
    auto pair = std::make_unique<platform::testing::socat_pair>();
    EXPECT_TRUE(pair->ready());
    EXPECT_EQ(s_pRegistry->map_port(pair->device(), number), ERROR_SUCCESS);
    return pair;
}

ServerTest::Result ServerTest::Run(const std::vector<std::string>& argv)
{
    platform::testing::terminal_child child(argv);
    const int code = child.wait(60000);
    return {code, child.screen()};
}

ServerTest::Result ServerTest::Tethra(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{TETHRA};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
}

}  // namespace tools_testing
