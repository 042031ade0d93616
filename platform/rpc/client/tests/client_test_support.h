// Shared pieces of the client library's tests: the private bus every test of a process
// uses (the library connects once per process), busctl on it, and the class keys that
// registration leaves in the registry store.
#pragma once

#include "idl/tethra.h"
#include "platform/registry/registry.h"
#include "platform/rpc/testing/bus_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

namespace rpc_client_test {

class BusEnvironment : public ::testing::Environment {
public:
    void SetUp() override { bus = std::make_unique<platform::rpc::testing::private_bus>(); }
    void TearDown() override { bus.reset(); }
    static inline std::unique_ptr<platform::rpc::testing::private_bus> bus;
};
// Once per test program, whichever of its files include this.
inline ::testing::Environment* const g_bus_environment =
    ::testing::AddGlobalTestEnvironment(new BusEnvironment);

// Runs `busctl --address=<the private bus> <args>` and returns what it printed.
inline std::string busctl(const std::string& args)
{
    const std::string cmd =
        "busctl --address='" + BusEnvironment::bus->address() + "' " + args + " 2>&1";
    std::string out;
    if (FILE* f = ::popen(cmd.c_str(), "r")) {
        char buf[4096];
        while (std::size_t n = std::fread(buf, 1, sizeof buf, f))
            out.append(buf, n);
        ::pclose(f);
    }
    return out;
}

// HKEY_CLASSES_ROOT\<progid>\CLSID = the braced CLSID_Tethra, as registration writes it.
inline void register_progid(const char* progid)
{
    char szClsid[GUID_STRING_CHARS];
    StringFromGUID2(CLSID_Tethra, szClsid, GUID_STRING_CHARS);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, (std::string(progid) + "\\CLSID").c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(szClsid),
                             GUID_STRING_CHARS),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace rpc_client_test
