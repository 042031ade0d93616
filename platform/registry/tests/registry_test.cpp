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

TEST_F(RegistryKeys, CreateOpenAndPaths)
{
    DWORD disposition = 0;
    EXPECT_EQ(RegCloseKey(Create("Software\\Ostra\\Tethra", &disposition)), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    // Names fold case; a trailing backslash is fine.
    EXPECT_EQ(RegCloseKey(Create("software\\OSTRA\\tethra\\", &disposition)), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

    // The intermediate key exists; creating below a read-only handle is refused.
    HKEY middle = nullptr;
    HKEY below = nullptr;
    ASSERT_EQ(Open("SOFTWARE\\ostra", &middle), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyExA(middle, "Tethra\\Ports", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &below, nullptr),
              ERROR_ACCESS_DENIED);
    ASSERT_EQ(Open("Tethra", &below, KEY_READ, middle), ERROR_SUCCESS);

    // An empty or null sub-key opens the same key again, as a handle of its own.
    HKEY again = nullptr;
    HKEY third = nullptr;
    ASSERT_EQ(Open("", &again, KEY_ALL_ACCESS, below), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(below, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &third,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_TRUE(again != below && third != again && third != below);
    EXPECT_EQ(SetString(again, "v", "one"), ERROR_SUCCESS) << "with the rights it asked for";
    for (HKEY h : {middle, below, again})
        EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(GetString(third, "V"), "one");
    EXPECT_EQ(RegCloseKey(third), ERROR_SUCCESS);

    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(Open("Software", &key, KEY_READ, HKEY_CURRENT_USER), ERROR_FILE_NOT_FOUND)
        << "the roots are separate trees";
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(Open("Software", nullptr), ERROR_INVALID_PARAMETER);
    for (const char* bad : {"\\A", "A\\\\B"})
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, bad, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_BAD_PATHNAME);
    EXPECT_EQ(Open("A", &key), ERROR_FILE_NOT_FOUND) << "failed creates leave nothing behind";
}

TEST_F(RegistryKeys, DeleteKeyTakesTheSubtreeAndStaleHandlesSayDeleted)
{
    HKEY leaf = Create("Top\\Mid\\Leaf");
    HKEY mid = Create("Top\\Mid");
    HKEY sibling = Create("Top2");
    ASSERT_EQ(SetString(sibling, "v", "kept"), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "top"), ERROR_SUCCESS);
    HKEY key = nullptr;
    for (const char* path : {"Top", "Top\\Mid", "Top\\Mid\\Leaf"})
        EXPECT_EQ(Open(path, &key), ERROR_FILE_NOT_FOUND) << path;
    EXPECT_EQ(GetString(sibling, "v"), "kept");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Top"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED) << "roots stay";

    // Also after a key of the same name has been made again.
    HKEY recreated = Create("Top\\Mid\\Leaf");
    DWORD size = 0;
    EXPECT_EQ(Size(leaf, "v", &size), ERROR_KEY_DELETED);
    EXPECT_EQ(SetString(leaf, "v", "x"), ERROR_KEY_DELETED);
    EXPECT_EQ(Open("Leaf", &key, KEY_READ, mid), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(mid, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(SetString(recreated, "v", "new"), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyA(recreated, ""), ERROR_SUCCESS) << "deleting the handle's own key";
    EXPECT_EQ(SetString(recreated, "v", "x"), ERROR_KEY_DELETED);
    for (HKEY h : {leaf, mid, sibling, recreated})
        EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

TEST_F(RegistryValues, SizesTypesAndShortBuffers)
{
    HKEY key = Create("Values");
    const char text[] = "c:\\tethra.log";
    ASSERT_EQ(SetString(key, "LogFileName", text), ERROR_SUCCESS);
    DWORD type = REG_NONE;
    DWORD size = 0;
    EXPECT_EQ(Size(key, "LogFileName", &size, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, sizeof text);

    char buffer[64] = "#";
    size = 4;
    type = REG_NONE;
    EXPECT_EQ(RegQueryValueExA(key, "logfilename", nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                               &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof text);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_STREQ(buffer, "#") << "a short buffer is left alone";
    EXPECT_EQ(RegQueryValueExA(key, "LOGFILENAME", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                               &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(buffer, text);

    // Sizes without the terminator, or past an embedded one, still store a proper string.
    ASSERT_EQ(RegSetValueExA(key, "Short", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Embedded", 0, REG_SZ, reinterpret_cast<const BYTE*>("ab\0cd"), 6),
              ERROR_SUCCESS);
    for (auto [name, expected] : {std::pair{"Short", "abc"}, {"Embedded", "ab"}}) {
        EXPECT_EQ(Size(key, name, &size), ERROR_SUCCESS);
        EXPECT_EQ(size, std::strlen(expected) + 1) << name;
        EXPECT_EQ(GetString(key, name), expected);
    }

    DWORD value = 0x12345678;
    ASSERT_EQ(SetDword(key, "MaxLogSize", value), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "MaxLogSize", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 3),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetDword(key, "maxlogsize"), 0x12345678);
    EXPECT_EQ(Size(key, "MaxLogSize", &size, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);

    const std::array<BYTE, 6> blob{0, 1, 0, 0xff, 0, 2};
    std::array<BYTE, 16> out{};
    size = out.size();
    ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), blob.size()), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueExA(key, "Blob", nullptr, &type, out.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    ASSERT_EQ(size, blob.size());
    EXPECT_TRUE(std::equal(blob.begin(), blob.end(), out.begin()));

    EXPECT_EQ(Size(key, "Missing", &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "Blob", &size, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryValues, DefaultValueAndDelete)
{
    HKEY key = Create("Interface\\{00000000-0000-0000-C000-000000000046}");
    DWORD size = 0;
    EXPECT_EQ(Size(key, nullptr, &size), ERROR_FILE_NOT_FOUND) << "a new key has no default";
    ASSERT_EQ(SetString(key, nullptr, "IUnknown"), ERROR_SUCCESS);
    EXPECT_EQ(GetString(key, ""), "IUnknown");
    ASSERT_EQ(SetString(key, "Named", "n"), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteValueA(key, ""), ERROR_SUCCESS);
    EXPECT_EQ(Size(key, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, nullptr), ERROR_FILE_NOT_FOUND);
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

    struct Entry {
        LONG code;
        std::string name;
        DWORD name_size, type, data_size;
    };
    auto entry = [key](DWORD index, DWORD name_size = 64, DWORD data_size = 64) {
        Entry e{0, std::string(64, '\0'), name_size, REG_NONE, data_size};
        BYTE data[64];
        e.code = RegEnumValueA(key, index, e.name.data(), &e.name_size, nullptr, &e.type, data,
                               &e.data_size);
        e.name.resize(std::strlen(e.name.c_str()));
        return e;
    };
    Entry first = entry(0);
    EXPECT_EQ(first.name, "/dev/ttyUSB0");
    EXPECT_EQ(first.name_size, 12U);
    EXPECT_EQ(first.data_size, 6U);
    EXPECT_EQ(entry(1).name, "Count");
    EXPECT_EQ(entry(1).type, REG_DWORD);
    EXPECT_EQ(entry(2).name, "/dev/pts/7");
    EXPECT_EQ(entry(3).code, ERROR_NO_MORE_ITEMS);

    Entry short_name = entry(0, 12);  // no room for the terminator
    EXPECT_EQ(short_name.code, ERROR_MORE_DATA);
    EXPECT_EQ(short_name.name_size, 12U);
    Entry short_data = entry(0, 13, 2);
    EXPECT_EQ(short_data.code, ERROR_MORE_DATA);
    EXPECT_EQ(short_data.data_size, 6U);

    EXPECT_EQ(RegDeleteValueA(key, "Count"), ERROR_SUCCESS);
    EXPECT_EQ(entry(1).name, "/dev/pts/7");
    EXPECT_EQ(entry(2).code, ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryHandles, StaleBogusRootAndReadOnlyHandles)
{
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER}) {
        EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
        EXPECT_EQ(SetDword(root, "StillUsable", 1), ERROR_SUCCESS);
    }
    HKEY key = Create("Closing");
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    HKEY newer = Create("Closing");
    EXPECT_NE(newer, key) << "handle values are not reused";
    EXPECT_EQ(SetDword(key, "v", 1), ERROR_INVALID_HANDLE);
    HKEY out = nullptr;
    for (HKEY bogus : {static_cast<HKEY>(nullptr), reinterpret_cast<HKEY>(0x1234)}) {
        EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
        EXPECT_EQ(Open("x", &out, KEY_READ, bogus), ERROR_INVALID_HANDLE);
    }

    ASSERT_EQ(Open("Closing", &out, KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(out, "v", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(out), ERROR_SUCCESS);
    ASSERT_EQ(Open("Closing", &out, KEY_WRITE), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(out, "v", 1), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(out, "v"), -ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(out), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(newer), ERROR_SUCCESS);
}

TEST_F(RegistryHandles, ThreadsShareTheStore)
{
    constexpr int threads = 4;
    constexpr int values = 40;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            std::string path = "Threads\\T" + std::to_string(t);
            for (int i = 0; i < values; ++i) {
                HKEY key = Create(path.c_str());
                SetDword(key, ("v" + std::to_string(i)).c_str(), static_cast<DWORD>(t * 1000 + i));
                RegCloseKey(key);
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    for (int t = 0; t < threads; ++t) {
        HKEY key = nullptr;
        ASSERT_EQ(Open(("Threads\\T" + std::to_string(t)).c_str(), &key), ERROR_SUCCESS);
        for (int i = 0; i < values; ++i)
            EXPECT_EQ(GetDword(key, ("v" + std::to_string(i)).c_str()), t * 1000 + i);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
}

}  // namespace
