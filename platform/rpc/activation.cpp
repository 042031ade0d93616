#include "platform/rpc/activation.h"

#include "platform/rpc/wire.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace platform::rpc {
namespace {

const char kSystemServiceDir[] = "/usr/share/dbus-1/system-services";
const char kSystemPolicyDir[] = "/usr/share/dbus-1/system.d";

bool machine_wide()
{
    const char* file = std::getenv("TETHRA_REGISTRY_FILE");
    return geteuid() == 0 && !(file && *file);
}

std::string service_name_file()
{
    return std::string(kServiceName) + ".service";
}

// The path as one word of the Exec line, which the bus splits as a shell would.
std::string exec_word(const std::string& path)
{
    if (path.find_first_of(" \t'\"\\$`") == std::string::npos)
        return path;
    std::string word = "'";
    for (const char c : path)
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

bool write_file(const std::filesystem::path& file, const std::string& text)
{
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "tethra-server: cannot write %s\n", file.c_str());
        return false;
    }
    return true;
}

bool remove_file(const std::filesystem::path& file)
{
    std::error_code ec;
    std::filesystem::remove(file, ec);
    if (ec) {
        std::fprintf(stderr, "tethra-server: cannot remove %s\n", file.c_str());
        return false;
    }
    return true;
}

std::string service_text(const std::string& server, bool system)
{
    std::string text = "[D-BUS Service]\nName=" + std::string(kServiceName) + "\nExec=" +
                       exec_word(server) + " -Embedding\n";
    if (system)
        text += "User=root\n";
    return text;
}

// Calls reach the server by its unique name once it has let the well-known name go, so
// the rules name interfaces, not the destination.
std::string policy_text()
{
    std::string text =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n"
        "  <policy user=\"root\">\n"
        "    <allow own=\"Ostra.Tethra\"/>\n"
        "    <allow send_interface=\"Ostra.Tethra._ISerialPortEvents\"/>\n"
        "    <allow send_interface=\"Ostra.Tethra.IPropertyNotifySink\"/>\n"
        "    <allow send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n"
        "  </policy>\n";
    for (const char* who : {"user=\"root\"", "group=\"dialout\""}) {
        text += std::string("  <policy ") + who + ">\n";
        for (const char* itf : {"Ostra.Tethra.IClassFactory", "Ostra.Tethra.IUnknown",
                                "Ostra.Tethra.ITethra", "Ostra.Tethra.ISerialPort",
                                "Ostra.Tethra.IConnectionPointContainer",
                                "Ostra.Tethra.IConnectionPoint"})
            text += std::string("    <allow send_interface=\"") + itf + "\"/>\n";
        text += "  </policy>\n";
    }
    return text + "</busconfig>\n";
}

}  // namespace

std::string session_service_file()
{
    const char* data = std::getenv("XDG_DATA_HOME");
    std::filesystem::path dir;
    if (data && *data == '/') {
        dir = data;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home)
            return {};
        dir = std::filesystem::path(home) / ".local/share";
    }
    return (dir / "dbus-1/services" / service_name_file()).string();
}

HRESULT register_activation(const char* szServerPath)
{
    if (!szServerPath || *szServerPath != '/')
        return E_INVALIDARG;
    try {
        const std::string session = session_service_file();
        if (session.empty() || !write_file(session, service_text(szServerPath, false)))
            return E_FAIL;
        if (machine_wide() &&
            (!write_file(std::filesystem::path(kSystemServiceDir) / service_name_file(),
                         service_text(szServerPath, true)) ||
             !write_file(std::filesystem::path(kSystemPolicyDir) /
                             (std::string(kServiceName) + ".conf"),
                         policy_text())))
            return E_FAIL;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT unregister_activation()
{
    try {
        const std::string session = session_service_file();
        bool ok = session.empty() || remove_file(session);
        if (machine_wide()) {
            ok = remove_file(std::filesystem::path(kSystemServiceDir) / service_name_file()) && ok;
            ok = remove_file(std::filesystem::path(kSystemPolicyDir) /
                             (std::string(kServiceName) + ".conf")) &&
                 ok;
        }
        return ok ? S_OK : E_FAIL;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace platform::rpc
