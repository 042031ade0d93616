// The interface-query trace against a real registry file and the real standard error.
#include "trace/query_trace.h"

#include "platform/com/interfaces.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr IID kNamedIID = {0x211B2799, 0x3FFA, 0x4271,
                           {0xAA, 0xD1, 0x8B, 0x98, 0x3E, 0xFB, 0x2D, 0x6A}};
constexpr CLSID kClassID = {0x34FD6945, 0x162D, 0x4BD3,
                            {0xBA, 0x7C, 0x38, 0x80, 0xD5, 0x9D, 0xBB, 0x51}};

class QueryTrace : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/tethra-query-trace-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        setenv("TETHRA_REGISTRY_FILE", (m_dir + "/registry.db").c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("TETHRA_REGISTRY_FILE");
        std::filesystem::remove_all(m_dir);
    }

    static void SetDefault(const char* folder, REFGUID guid, const std::string& name)
    {
        char braced[GUID_STRING_CHARS];
        StringFromGUID2(guid, braced, GUID_STRING_CHARS);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, (std::string(folder) + "\\" + braced).c_str(),
                                  0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(name.c_str()),
                                 static_cast<DWORD>(name.size() + 1)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // What one call writes to standard error, and its result.
    static std::string Line(const char* cls, REFIID riid, HRESULT hr, HRESULT* result = nullptr)
    {
        char path[] = "/tmp/tethra-query-trace-err-XXXXXX";
        const int fd = mkstemp(path);
        const int saved = dup(STDERR_FILENO);
        dup2(fd, STDERR_FILENO);
        const HRESULT returned = TraceQueryInterface(cls, riid, hr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        if (result)
            *result = returned;
        char buffer[512] = {};
        const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
        close(fd);
        unlink(path);
        return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }

    std::string m_dir;
};

}  // namespace

TEST_F(QueryTrace, InterfaceNameThenClassNameThenBracedIdentifier)
{
    SetDefault("Interface", kNamedIID, "ISerialPort");
    SetDefault("CLSID", kClassID, "Tethra Object");

    HRESULT result = E_FAIL;
    EXPECT_EQ(Line("CSerialPort", kNamedIID, S_OK, &result), "CSerialPort - ISerialPort\n");
    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(Line("CTethra", kClassID, E_NOINTERFACE, &result),
              "CTethra - (CLSID\?\?\?) Tethra Object - failed\n");
    EXPECT_EQ(result, E_NOINTERFACE);
    EXPECT_EQ(Line("CSerialPortManager", IID_IMarshal, E_NOINTERFACE),
              "CSerialPortManager - {00000003-0000-0000-C000-000000000046} - failed\n");
    EXPECT_EQ(Line("CTethra", IID_IUnknown, S_FALSE),
              "CTethra - {00000000-0000-0000-C000-000000000046}\n");
}

TEST_F(QueryTrace, NamesUpTo100Bytes)
{
    const std::string longest(99, 'n');  // 100 bytes with its terminator
    SetDefault("Interface", kNamedIID, longest);
    EXPECT_EQ(Line("C", kNamedIID, S_OK), "C - " + longest + "\n");
    SetDefault("Interface", kNamedIID, longest + "n");
    EXPECT_EQ(Line("C", kNamedIID, S_OK), "C - \n");  // the key exists: no fallback
}
