// The command line scan and the registrar's script handling, in process.
#include "platform/registry/registry.h"
#include "platform/testing/testing.h"
#include "server/CommandLine.h"
#include "server/Registrar.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, OnlyASwitchThatEndsTheLineCounts)
{
    struct Case {
        const char* line;
        ServerAction action;
        BOOL debug;
    } cases[] = {
        {"-RegServer", ServerAction::RegServer, FALSE},
        {"/regserver", ServerAction::RegServer, FALSE},
        {"-UnregServer", ServerAction::UnregServer, FALSE},
        {"/UNREGSERVER", ServerAction::UnregServer, FALSE},
        {"-RegServer -Debug", ServerAction::Run, TRUE},
        {"-Debug -RegServer", ServerAction::RegServer, FALSE},
        {"-Embedding", ServerAction::Run, FALSE},
        {"-RegServer -Embedding", ServerAction::Run, FALSE},
        {"", ServerAction::Run, FALSE},
        {"x/debug", ServerAction::Run, TRUE},
    };
    for (const Case& c : cases) {
        BOOL bDebug = FALSE;
        EXPECT_EQ(ScanCommandLine(c.line, &bDebug), c.action) << c.line;
        EXPECT_EQ(bDebug, c.debug) << c.line;
    }
}

bool KeyExists(const char* szPath)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, szPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

TEST(Registrar, AScriptThatDoesNotParseWritesNothing)
{
    platform::testing::temp_registry registry;
    ASSERT_TRUE(registry.ready());
    for (const char* szScript : {
             "HKCR { Good = s 'x' Bad = s 'unterminated }",
             "HKCR { Good = s 'x' { val V = 'no type' } }",
             "HKCR { Good = s 'x' ",
             "HKLM { Good = s 'x' }",
             "HKCR { Good = s 'x' } trailing",
         })
        EXPECT_EQ(UpdateRegistryFromScript(szScript, {}, TRUE), E_INVALIDARG) << szScript;
    EXPECT_FALSE(KeyExists("Good"));
}

TEST(Registrar, ReplacementsWithQuotesStayOneString)
{
    platform::testing::temp_registry registry;
    ASSERT_TRUE(registry.ready());
    const char szScript[] = "HKCR { 'K' = s '%V%' { val N = s '%V%' } }";
    ASSERT_EQ(UpdateRegistryFromScript(szScript, {{"V", DoubleQuotes("it's {here} = s")}}, TRUE),
              S_OK);
    HKEY hKey = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "K", 0, KEY_READ, &hKey), ERROR_SUCCESS);
    for (const char* szName : {"", "N"}) {
        char szData[64] = {};
        DWORD cbData = sizeof szData;
        ASSERT_EQ(RegQueryValueExA(hKey, szName, nullptr, nullptr, reinterpret_cast<BYTE*>(szData),
                                   &cbData),
                  ERROR_SUCCESS);
        EXPECT_STREQ(szData, "it's {here} = s");
    }
    RegCloseKey(hKey);
}

}  // namespace
