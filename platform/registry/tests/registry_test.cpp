// The contract of each registry call, on a real SQLite file per test.
#include "platform/registry/tests/temp_store.h"

#include <array>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using RegistryKeys = TempStore;
using RegistryValues = TempStore;
using RegistryHandles = TempStore;

TEST_F(RegistryKeys, CreateMakesIntermediateKeysAndReportsDisposition)
{
    DWORD disposition = 0;
    HKEY key = Create("Software\\Ostra\\Tethra", &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    key = Create("software\\OSTRA\\tethra\\", &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    HKEY middle = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ostra", 0, KEY_READ, &middle),
              ERROR_SUCCESS);
    // Creating below an opened key, one new level.
    HKEY below = nullptr;
    EXPECT_EQ(RegCreateKeyExA(middle, "Tethra\\Ports", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &below, &disposition),
              ERROR_ACCESS_DENIED)
        << "a key opened for reading cannot create subkeys";
    EXPECT_EQ(RegCloseKey(middle), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ostra", 0, KEY_ALL_ACCESS, &middle),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyExA(middle, "Tethra\\Ports", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &below, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(RegCloseKey(below), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(middle), ERROR_SUCCESS);

    // The roots are separate trees.
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKeys, OpenMissingKeyAndBadArguments)
{
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Nowhere\\Else", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A\\\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_BAD_PATHNAME);
    std::string long_name(256, 'x');
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, long_name.c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
        << "failed creates leave nothing behind";
}

TEST_F(RegistryKeys, EmptySubKeyOpensTheSameKeyAgain)
{
    HKEY key = Create("Same");
    ASSERT_EQ(SetString(key, "v", "one"), ERROR_SUCCESS);
    HKEY again = nullptr;
    HKEY third = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &again), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(key, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &third,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_NE(again, key);
    EXPECT_NE(third, again);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(GetString(again, "v"), "one") << "each handle stands on its own";
    EXPECT_EQ(GetString(third, "V"), "one");
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(third), ERROR_SUCCESS);

    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &root), ERROR_SUCCESS);
    EXPECT_NE(root, HKEY_LOCAL_MACHINE);
    HKEY child = nullptr;
    EXPECT_EQ(RegOpenKeyExA(root, "same", 0, KEY_READ, &child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
}

TEST_F(RegistryKeys, DeleteKeyTakesTheSubtreeAndOnlyIt)
{
    HKEY deep = Create("Top\\Mid\\Leaf");
    HKEY sibling = Create("Top2");
    ASSERT_EQ(SetString(deep, "v", "leaf"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(sibling, "v", "kept"), ERROR_SUCCESS);
    HKEY mid = Create("Top\\Mid");
    ASSERT_EQ(SetDword(mid, "n", 7), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "top"), ERROR_SUCCESS);
    HKEY key = nullptr;
    for (const char* path : {"Top", "Top\\Mid", "Top\\Mid\\Leaf"})
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
            << path;
    EXPECT_EQ(GetString(sibling, "v"), "kept");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Top"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED) << "roots stay";

    // Handles to deleted keys report the deletion, also after a key of the same name
    // has been created again.
    HKEY recreated = Create("Top\\Mid\\Leaf");
    ASSERT_EQ(SetString(recreated, "v", "new"), ERROR_SUCCESS);
    char buffer[16];
    DWORD size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(deep, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(SetString(deep, "v", "x"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueA(mid, "n"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(mid, "Leaf", 0, KEY_READ, &key), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(mid, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_KEY_DELETED);
    DWORD name_size = sizeof buffer;
    EXPECT_EQ(RegEnumValueA(deep, 0, buffer, &name_size, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(GetString(recreated, "v"), "new");

    // Deleting the key a handle names, through the handle itself.
    EXPECT_EQ(RegDeleteKeyA(recreated, ""), ERROR_SUCCESS);
    EXPECT_EQ(SetString(recreated, "v", "x"), ERROR_KEY_DELETED);

    for (HKEY h : {deep, sibling, mid, recreated})
        EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

TEST_F(RegistryValues, StringSizesTypesAndShortBuffers)
{
    HKEY key = Create("Values");
    const char text[] = "c:\\tethra.log";
    ASSERT_EQ(RegSetValueExA(key, "LogFileName", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             sizeof text),
              ERROR_SUCCESS);

    DWORD type = REG_NONE;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "LogFileName", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, sizeof text);
    EXPECT_EQ(RegQueryValueExA(key, "LogFileName", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);

    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    size = 4;
    type = REG_NONE;
    EXPECT_EQ(RegQueryValueExA(key, "logfilename", nullptr, &type,
                               reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof text);
    EXPECT_EQ(type, REG_SZ);
    size = sizeof text;
    EXPECT_EQ(RegQueryValueExA(key, "LOGFILENAME", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof text);
    EXPECT_STREQ(buffer, text);

    // A size that leaves out the terminator, or runs past an embedded one.
    ASSERT_EQ(RegSetValueExA(key, "Short", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Embedded", 0, REG_SZ, reinterpret_cast<const BYTE*>("ab\0cd"), 6),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
    for (auto [name, expected] : {std::pair{"Short", "abc"}, {"Embedded", "ab"}, {"Empty", ""}}) {
        size = 0;
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(size, std::strlen(expected) + 1) << name;
        EXPECT_EQ(GetString(key, name), expected);
    }

    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Short", &reserved, nullptr, nullptr, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key, "Short", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                               nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "Bad", 0, REG_SZ, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryValues, DwordAndBinaryRoundTrip)
{
    HKEY key = Create("Values");
    ASSERT_EQ(SetDword(key, "MaxLogSize", 0x12345678), ERROR_SUCCESS);
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(key, "maxlogsize", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4U);
    EXPECT_EQ(value, 0x12345678U);

    for (DWORD bad_size : {0U, 3U, 8U})
        EXPECT_EQ(RegSetValueExA(key, "MaxLogSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                 bad_size),
                  ERROR_INVALID_PARAMETER)
            << bad_size;

    // Overwriting changes the type too.
    ASSERT_EQ(SetString(key, "MaxLogSize", "big"), ERROR_SUCCESS);
    EXPECT_EQ(GetString(key, "MaxLogSize"), "big");

    const std::array<BYTE, 6> blob{0, 1, 0, 0xff, 0, 2};
    ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), blob.size()), ERROR_SUCCESS);
    std::array<BYTE, 16> out{};
    size = out.size();
    ASSERT_EQ(RegQueryValueExA(key, "Blob", nullptr, &type, out.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    ASSERT_EQ(size, blob.size());
    EXPECT_TRUE(std::equal(blob.begin(), blob.end(), out.begin()));

    ASSERT_EQ(RegSetValueExA(key, "NoBytes", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    size = out.size();
    EXPECT_EQ(RegQueryValueExA(key, "NoBytes", nullptr, &type, out.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0U);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryValues, DefaultValueAndDeleteValue)
{
    HKEY key = Create("Interface\\{00000000-0000-0000-C000-000000000046}");
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND)
        << "a new key has no default value";
    ASSERT_EQ(SetString(key, nullptr, "IUnknown"), ERROR_SUCCESS);
    EXPECT_EQ(GetString(key, ""), "IUnknown");
    ASSERT_EQ(SetString(key, "", "IUnknown2"), ERROR_SUCCESS);
    EXPECT_EQ(GetString(key, nullptr), "IUnknown2");
    ASSERT_EQ(SetString(key, "Named", "n"), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteValueA(key, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, ""), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, "NAMED"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "Named"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryValues, EnumerationOrderNamesAndSizes)
{
    HKEY key = Create("SERIALCOMM");
    ASSERT_EQ(SetString(key, "/dev/ttyUSB0", "COM33"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, "Count", 2), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, "/dev/pts/7", "COM5"), ERROR_SUCCESS);
    // Overwriting under another case keeps the first spelling and the place.
    ASSERT_EQ(SetString(key, "/DEV/TTYUSB0", "COM34"), ERROR_SUCCESS);

    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD name_size = sizeof name;
        BYTE data[64];
        DWORD data_size = sizeof data;
        DWORD type = REG_NONE;
        LONG result = RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &data_size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(result, ERROR_SUCCESS);
        EXPECT_EQ(name_size, std::strlen(name));
        names.push_back(name);
        if (names.back() == "Count") {
            EXPECT_EQ(type, REG_DWORD);
            EXPECT_EQ(data_size, 4U);
        } else {
            EXPECT_EQ(type, REG_SZ);
            EXPECT_EQ(data_size, std::strlen(reinterpret_cast<char*>(data)) + 1);
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"/dev/ttyUSB0", "Count", "/dev/pts/7"}));

    // Short name buffer: no room for the terminator is too short, and the size stays.
    char name[12];
    DWORD name_size = 12;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(name_size, 12U);
    name_size = 13;
    char roomy[13];
    EXPECT_EQ(RegEnumValueA(key, 0, roomy, &name_size, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(name_size, 12U);

    // Short data buffer, and a size-only query.
    BYTE data[2];
    DWORD data_size = sizeof data;
    name_size = sizeof roomy;
    EXPECT_EQ(RegEnumValueA(key, 0, roomy, &name_size, nullptr, nullptr, data, &data_size),
              ERROR_MORE_DATA);
    EXPECT_EQ(data_size, 6U);
    data_size = 0;
    name_size = sizeof roomy;
    EXPECT_EQ(RegEnumValueA(key, 2, roomy, &name_size, nullptr, nullptr, nullptr, &data_size),
              ERROR_SUCCESS);
    EXPECT_EQ(data_size, 5U);

    EXPECT_EQ(RegDeleteValueA(key, "Count"), ERROR_SUCCESS);
    name_size = sizeof roomy;
    EXPECT_EQ(RegEnumValueA(key, 1, roomy, &name_size, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(roomy, "/dev/pts/7");
    name_size = sizeof roomy;
    EXPECT_EQ(RegEnumValueA(key, 2, roomy, &name_size, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValueA(key, 0, nullptr, &name_size, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryValues, NamesFoldOnlyAsciiCase)
{
    HKEY key = Create("Caf\xc3\xa9");  // "Café" in UTF-8
    ASSERT_EQ(SetString(key, "\xc3\x89t\xc3\xa9", "upper"), ERROR_SUCCESS);  // "Été"
    ASSERT_EQ(SetString(key, "\xc3\xa9T\xc3\xa9", "lower"), ERROR_SUCCESS);  // "éTé"
    EXPECT_EQ(GetString(key, "\xc3\x89t\xc3\xa9"), "upper");
    EXPECT_EQ(GetString(key, "\xc3\xa9t\xc3\xa9"), "lower");
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "CAF\xc3\xa9", 0, KEY_READ, &other), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(other), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "CAF\xc3\x89", 0, KEY_READ, &other),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryHandles, StaleBogusAndRootHandles)
{
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER}) {
        EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
        EXPECT_EQ(SetDword(root, "StillUsable", 1), ERROR_SUCCESS);
    }
    HKEY key = Create("Closing");
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetDword(key, "v", 1), ERROR_INVALID_HANDLE);
    HKEY newer = Create("Closing");
    EXPECT_NE(newer, key) << "handle values are not reused";
    EXPECT_EQ(SetDword(key, "v", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(newer), ERROR_SUCCESS);

    for (HKEY bogus : {static_cast<HKEY>(nullptr), reinterpret_cast<HKEY>(0x1234),
                       reinterpret_cast<HKEY>(~std::uintptr_t{0}),
                       reinterpret_cast<HKEY>(std::uintptr_t{0x80000003U})}) {
        HKEY out = nullptr;
        DWORD size = 0;
        EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExA(bogus, "x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryValueExA(bogus, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteKeyA(bogus, "x"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteValueA(bogus, "x"), ERROR_INVALID_HANDLE);
    }
}

TEST_F(RegistryHandles, AccessRightsOfTheHandleAreEnforced)
{
    ASSERT_EQ(RegCloseKey(Create("Rights")), ERROR_SUCCESS);
    HKEY reader = nullptr;
    HKEY writer = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Rights", 0, KEY_READ, &reader), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Rights", 0, KEY_WRITE, &writer), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(reader, "v", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(writer, "v", 1), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(writer, "v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExA(reader, "v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(reader, "v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(writer, "v"), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(writer), ERROR_SUCCESS);
}

TEST_F(RegistryHandles, AnotherFileMakesOldHandlesStale)
{
    HKEY key = Create("Moving");
    ASSERT_EQ(SetString(key, "v", "first file"), ERROR_SUCCESS);
    std::string second = dir_ + "/second.db";
    ::setenv("TETHRA_REGISTRY_FILE", second.c_str(), 1);
    EXPECT_EQ(GetString(key, "v"), "<error 6>");
    HKEY there = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Moving", 0, KEY_READ, &there), ERROR_FILE_NOT_FOUND);
    ::setenv("TETHRA_REGISTRY_FILE", file_.c_str(), 1);
    EXPECT_EQ(GetString(key, "v"), "<error 6>") << "the old handle does not come back";
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Moving", 0, KEY_READ, &there), ERROR_SUCCESS);
    EXPECT_EQ(GetString(there, "v"), "first file");
    EXPECT_EQ(RegCloseKey(there), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryHandles, ThreadsShareTheStore)
{
    constexpr int threads = 4;
    constexpr int values = 50;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            std::string path = "Threads\\T" + std::to_string(t);
            for (int i = 0; i < values; ++i) {
                HKEY key = nullptr;
                if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
                    return;
                SetDword(key, ("v" + std::to_string(i)).c_str(), static_cast<DWORD>(t * 1000 + i));
                RegCloseKey(key);
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    for (int t = 0; t < threads; ++t) {
        HKEY key = nullptr;
        std::string path = "Threads\\T" + std::to_string(t);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        for (int i = 0; i < values; ++i) {
            DWORD value = 0;
            DWORD size = sizeof value;
            ASSERT_EQ(RegQueryValueExA(key, ("v" + std::to_string(i)).c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(&value), &size),
                      ERROR_SUCCESS);
            EXPECT_EQ(value, static_cast<DWORD>(t * 1000 + i));
        }
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
}

}  // namespace
