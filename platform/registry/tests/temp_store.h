// Test fixture: every test gets a temporary directory and a registry file of its own.
#pragma once

#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class TempStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tethra-reg-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        file_ = dir_ + "/registry.db";
        ::setenv("TETHRA_REGISTRY_FILE", file_.c_str(), 1);
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(dir_, ignored);
    }

    // Creates (or opens) a key under HKEY_LOCAL_MACHINE with all access.
    HKEY Create(const char* path, DWORD* disposition = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, disposition),
                  ERROR_SUCCESS)
            << path;
        return key;
    }

    static LONG SetString(HKEY key, const char* name, const std::string& text)
    {
        return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() + 1));
    }

    static LONG SetDword(HKEY key, const char* name, DWORD value)
    {
        return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                              sizeof value);
    }

    // The string value, or "<error N>".
    static std::string GetString(HKEY key, const char* name)
    {
        char buffer[512] = {};
        DWORD size = sizeof buffer;
        DWORD type = REG_NONE;
        LONG result = RegQueryValueExA(key, name, nullptr, &type,
                                       reinterpret_cast<BYTE*>(buffer), &size);
        if (result != ERROR_SUCCESS)
            return "<error " + std::to_string(result) + ">";
        return type == REG_SZ ? std::string(buffer) : "<type " + std::to_string(type) + ">";
    }

    std::string dir_;
    std::string file_;
};
