#include "platform/comm/port_name.h"

#include "platform/registry/registry.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace platform {

namespace {

// "COM<n>" with 1 <= n <= 99999999, no sign, no trailing characters; 0 when the name is
// not one. Eight digits are the most a "\\.\COM<n>" name of 15 characters can carry.
long com_number(const char* name)
{
    if (::strncasecmp(name, "COM", 3) != 0)
        return 0;
    const char* digits = name + 3;
    if (*digits < '1' || *digits > '9')
        return 0;
    long n = 0;
    for (const char* p = digits; *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        n = n * 10 + (*p - '0');
        if (n > 99999999)
            return 0;
    }
    return n;
}

// The registry's port map: the first value whose data names this COM number.
bool mapped_device(long number, std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return false;
    bool found = false;
    for (DWORD index = 0; !found; ++index) {
        char value_name[1024];
        DWORD name_size = sizeof value_name;
        BYTE data[64];
        DWORD data_size = sizeof data - 1;
        DWORD type = 0;
        LONG result = RegEnumValueA(key, index, value_name, &name_size, nullptr, &type, data,
                                    &data_size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[data_size < sizeof data ? data_size : sizeof data - 1] = 0;
        if (com_number(reinterpret_cast<const char*>(data)) == number) {
            path.assign(value_name, ::strnlen(value_name, name_size));
            found = true;
        }
    }
    RegCloseKey(key);
    return found;
}

}  // namespace

DWORD resolve_port_name(const char* name, std::string& path)
{
    if (name == nullptr || *name == 0)
        return ERROR_INVALID_NAME;
    if (name[0] == '/' || std::strncmp(name, sim_uart_prefix, std::strlen(sim_uart_prefix)) == 0) {
        path = name;
        return ERROR_SUCCESS;
    }
    const char* device = name;
    if (std::strncmp(device, "\\\\.\\", 4) == 0)
        device += 4;
    long number = com_number(device);
    if (number == 0)
        return ERROR_INVALID_NAME;
    if (mapped_device(number, path))
        return ERROR_SUCCESS;
    static const char* const families[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    long family = (number - 1) / 32;
    if (family >= 3)
        return ERROR_FILE_NOT_FOUND;
    path = families[family] + std::to_string((number - 1) % 32);
    return ERROR_SUCCESS;
}

bool device_exists(const std::string& path)
{
    if (path.compare(0, std::strlen(sim_uart_prefix), sim_uart_prefix) == 0)
        return true;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::string serial_by_id_name(const std::string& path)
{
    static const char* const by_id = "/dev/serial/by-id";
    struct stat device {};
    if (::stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode))
        return {};
    DIR* dir = ::opendir(by_id);
    if (!dir)
        return {};
    std::string found;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string link = std::string(by_id) + "/" + entry->d_name;
        struct stat st {};
        if (::stat(link.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device.st_rdev) {
            found = link;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

}  // namespace platform
