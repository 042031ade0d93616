// Test fixture: every test gets a temporary directory and a registry file of its own.
#pragma once

#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class TempStore : public ::testing::Test {
public:
    // A key below HKEY_LOCAL_MACHINE, created if need be, with all access.
    static HKEY Create(const char* path, DWORD* disposition = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, disposition),
                  ERROR_SUCCESS)
            << path;
        return key;
    }

    static LONG Open(const char* path, HKEY* key, REGSAM access = KEY_READ,
                     HKEY from = HKEY_LOCAL_MACHINE)
    {
        return RegOpenKeyExA(from, path, 0, access, key);
    }

    static LONG SetString(HKEY key, const char* name, const std::string& text)
    {
        return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() + 1));
    }

    static LONG SetDword(HKEY key, const char* name, DWORD value)
    {
        return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    }

    // The value's size (and type), asked for without a buffer.
    static LONG Size(HKEY key, const char* name, DWORD* size, DWORD* type = nullptr)
    {
        return RegQueryValueExA(key, name, nullptr, type, nullptr, size);
    }

    // The REG_DWORD value, or minus the error code.
    static std::int64_t GetDword(HKEY key, const char* name)
    {
        DWORD value = 0;
        DWORD size = sizeof value;
        LONG result = RegQueryValueExA(key, name, nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(&value), &size);
        return result == ERROR_SUCCESS ? value : -std::int64_t{result};
    }

    // The string value, or "<error N>".
    static std::string GetString(HKEY key, const char* name)
    {
        char buffer[256] = {};
        DWORD size = sizeof buffer;
        LONG result = RegQueryValueExA(key, name, nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(buffer), &size);
        return result == ERROR_SUCCESS ? buffer : "<error " + std::to_string(result) + ">";
    }

protected:
    void SetUp() override
    {
        auto pattern = (std::filesystem::temp_directory_path() / "tethra-reg-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        file_ = dir_ + "/registry.db";
        ::setenv("TETHRA_REGISTRY_FILE", file_.c_str(), 1);
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string dir_;
    std::string file_;
};
