// The tools' tests: a registry store and a private bus of their own, with the built
// tethra-server registered for activation, shared by the tests of one suite, and helpers
// that run a program on a terminal of its own.
#pragma once

#include "platform/rpc/testing/bus_fixture.h"
#include "platform/testing/terminal.h"
#include "platform/testing/testing.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tools_testing {

class ServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    // A socat pair whose device end is mapped to COM<number> in the port map.
    std::unique_ptr<platform::testing::socat_pair> MappedPair(LONG number);

    struct Result {
        int code;
        std::string output;  // standard output and error, as a terminal shows them
    };
    // Runs the program to its end (at most 60 s) on a terminal of its own.
    static Result Run(const std::vector<std::string>& argv);
    // tethra with these arguments.
    static Result Tethra(const std::vector<std::string>& args);

    static platform::testing::temp_registry* s_pRegistry;
    static platform::rpc::testing::private_bus* s_pBus;
};

}  // namespace tools_testing
