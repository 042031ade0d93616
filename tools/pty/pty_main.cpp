// The command line, the link and the run of one CPtyClient.
//
// The link: --link PATH names it; it must not exist yet. Without it the link is
// $XDG_RUNTIME_DIR/tethra/COM5.1, or COM5.2 when that is taken by another instance, and
// so on ($TMPDIR/tethra-$USER when XDG_RUNTIME_DIR is unset). A default link that points
// nowhere any more (its instance was killed) is taken over. The link is removed at the
// end, as long as it still points at this instance's pty.
#include "tools/pty/pty_main.h"

#include "tools/pty/pty_client.h"

#include "platform/console/console.h"
#include "platform/rpc/client/client.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

namespace {

namespace fs = std::filesystem;

const char* const kShortUsage = "usage: tethra pty COMn [--link PATH]   (--help tells more)\n";

// The running client, for the control handler; a stop that comes before it runs is kept.
// A second interrupt ends the process at once (the handler declines it): the way out when
// the first cannot finish, because a send is held up by a line that stands still.
std::mutex g_mutexClient;
CPtyClient* g_pClient = nullptr;
bool g_bStopRequested = false;

BOOL OnControl(DWORD)
{
    std::lock_guard lock(g_mutexClient);
    if (g_bStopRequested)
        return FALSE;
    g_bStopRequested = true;
    if (g_pClient)
        g_pClient->Stop();
    return TRUE;
}

void SetRunning(CPtyClient* pClient)
{
    std::lock_guard lock(g_mutexClient);
    g_pClient = pClient;
    if (pClient && g_bStopRequested)
        pClient->Stop();
}

// "COM5", "com5" or "5": the number, else 0.
LONG PortNumber(const std::string& text)
{
    std::size_t at = 0;
    if (text.size() > 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(text[2])) == 'M')
        at = 3;
    if (at == text.size() || text.size() - at > 6)
        return 0;
    LONG number = 0;
    for (; at < text.size(); ++at) {
        if (!std::isdigit(static_cast<unsigned char>(text[at])))
            return 0;
        number = number * 10 + (text[at] - '0');
    }
    return number;
}

fs::path DefaultLinkDir()
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return fs::path(runtime) / "tethra";
    const char* user = std::getenv("USER");
    std::error_code ec;
    fs::path tmp = fs::temp_directory_path(ec);
    if (ec)
        tmp = "/tmp";
    return tmp / (std::string("tethra-") + (user && *user ? user : "user"));
}

// Makes the link to target; the path made, or empty with *error set.
fs::path MakeLink(const std::string& requested, const std::string& port, const std::string& target,
                  std::string* error)
{
    std::error_code ec;
    if (!requested.empty()) {
        fs::create_symlink(target, requested, ec);
        if (ec) {
            *error = "cannot make the link " + requested + ": " + ec.message();
            return {};
        }
        return requested;
    }
    const fs::path dir = DefaultLinkDir();
    fs::create_directories(dir, ec);
    if (ec) {
        *error = "cannot make the directory " + dir.string() + ": " + ec.message();
        return {};
    }
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    for (int n = 1; n < 1000; ++n) {
        const fs::path link = dir / (port + "." + std::to_string(n));
        fs::create_symlink(target, link, ec);
        if (!ec)
            return link;
        if (ec != std::errc::file_exists) {
            *error = "cannot make the link " + link.string() + ": " + ec.message();
            return {};
        }
        // A link whose pty is gone belongs to an instance that did not end cleanly.
        std::error_code ec2;
        if (fs::is_symlink(link, ec2) && !fs::exists(link, ec2) && fs::remove(link, ec2)) {
            fs::create_symlink(target, link, ec);
            if (!ec)
                return link;
        }
    }
    *error = "no free link name for " + port + " in " + dir.string();
    return {};
}

void RemoveLink(const fs::path& link, const std::string& target)
{
    std::error_code ec;
    if (fs::read_symlink(link, ec) == fs::path(target))
        fs::remove(link, ec);
}

const char* Result(HRESULT hr)
{
    static char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace

const char* PtyUsage()
{
    return "usage: tethra pty COMn [--link PATH]\n"
           "\n"
           "Offers port COMn of the Tethra server to any program as a virtual serial device:\n"
           "a pseudo-terminal whose path is a link, by default $XDG_RUNTIME_DIR/tethra/COMn.1\n"
           "(COMn.2 for a second instance, ...), or the PATH given with --link. The program\n"
           "opens the link as it would open /dev/ttyUSB0 and shares the port with every other\n"
           "client: it receives what the port receives, and what it writes is sent.\n"
           "Runs until interrupted (Ctrl-C, SIGTERM; a second one ends it at once) or until\n"
           "the server goes away, and removes its link then. The program may close and open\n"
           "the link again at will.\n"
           "\n"
           "Settings: the program's own tcsetattr/cfsetspeed changes the port's speed, stop\n"
           "bits, handshaking (CRTSCTS, IXON/IXOFF) and X-on/X-off characters, with the other\n"
           "clients asked first; a change they refuse is undone on the program's tty, and a\n"
           "change another client makes shows on it.\n"
           "\n"
           "What a pseudo-terminal cannot carry: the modem lines (DTR, RTS, CTS, DSR, CD,\n"
           "RI: TIOCMGET/TIOCMSET fail on it), break (tcsendbreak only waits), line errors,\n"
           "and data bits and parity (a pseudo-terminal always reads 8 data bits without\n"
           "parity, so the port keeps its own). Input reaches the program raw, without\n"
           "echo, line editing or signal characters, whatever it sets.\n";
}

int PtyMain(int argc, char** argv)
{
    std::string port;
    std::string link;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(PtyUsage(), stdout);
            return 0;
        }
        if (arg == "--link" && i + 1 < argc && argv[i + 1][0] != '\0') {
            link = argv[++i];
        } else if (arg.rfind("--link=", 0) == 0 && arg.size() > 7) {
            link = arg.substr(7);
        } else if (port.empty() && arg[0] != '-') {
            port = arg;
        } else {
            std::fprintf(stderr, "tethra pty: unexpected argument '%s'\n%s", arg.c_str(), kShortUsage);
            return 2;
        }
    }
    const LONG number = PortNumber(port);
    if (number <= 0) {
        std::fprintf(stderr, "tethra pty: %s\n%s",
                     port.empty() ? "which port? (COM1, COM2, ...)"
                                  : ("'" + port + "' is not a port (COM1, COM2, ...)").c_str(),
                     kShortUsage);
        return 2;
    }
    const std::string name = "COM" + std::to_string(number);

    // Before the client library starts its thread, so that only the handler's thread
    // takes the signals.
    SetConsoleCtrlHandler(&OnControl, TRUE);

    // The pty and its link first: a link that cannot be made costs the server nothing.
    std::unique_ptr<platform::pty_pair> pty;
    if (DWORD error = platform::pty_pair::create(pty); error != ERROR_SUCCESS) {
        std::fprintf(stderr, "tethra pty: cannot make a pseudo-terminal (error %u)\n",
                     static_cast<unsigned>(error));
        return 1;
    }
    const std::string slave = pty->slave_path();
    std::string error;
    const fs::path made = MakeLink(link, name, slave, &error);
    if (made.empty()) {
        std::fprintf(stderr, "tethra pty: %s\n", error.c_str());
        return 1;
    }

    CLSID clsid = CLSID_NULL;
    ITethra* pTethra = nullptr;
    ISerialPort* pPort = nullptr;
    HRESULT hr = CLSIDFromProgID("Ostra.Tethra", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                              reinterpret_cast<void**>(&pTethra));
    if (FAILED(hr)) {
        std::fprintf(stderr, "tethra pty: cannot reach the Tethra server (%s); is it registered?\n",
                     Result(hr));
    } else {
        hr = pTethra->CreatePort(number, &pPort);
        pTethra->Release();
        if (FAILED(hr))
            std::fprintf(stderr, "tethra pty: cannot open %s (%s)\n", name.c_str(), Result(hr));
    }
    int result = 1;
    if (pPort) {
        CPtyClient client(pPort, std::move(pty));
        pPort->Release();
        hr = client.Start();
        if (FAILED(hr)) {
            std::fprintf(stderr, "tethra pty: cannot connect to %s (%s)\n", name.c_str(), Result(hr));
        } else {
            SetRunning(&client);
            std::printf("tethra pty: %s is %s (%s)\n", name.c_str(), made.c_str(), slave.c_str());
            std::fflush(stdout);
            result = 0;
            if (!client.Run()) {
                if (client.PortGone())
                    std::fprintf(stderr, "tethra pty: %s went away\n", name.c_str());
                result = 1;
            }
            SetRunning(nullptr);
            // Before the client is taken down, which waits for a send under way.
            RemoveLink(made, slave);
        }
        if (client.Dropped() > 0)
            std::fprintf(stderr, "tethra pty: %zu received bytes were dropped: nobody read them\n",
                         client.Dropped());
    }
    RemoveLink(made, slave);
    return result;
}
