// tethra watch: prints everything a shared port produces, one line each, until SIGINT or
// SIGTERM, then releases the port and ends with 0.
//
//   data "AT\r\n"             bytes from the device (--hex: data 41 54 0d 0a)
//   event spoCTS             a line event
//   error spoRXParity        a line error
//   changed BaudRate=9600    a setting another client changed, with its new value
//
// With --timestamps each line starts with the local time, "12:34:56.789 ". The port stays
// shared: watching changes nothing, and the watcher allows every change it is asked about.
#include "tools/tethra/sink.h"

#include "platform/console/console.h"
#include "platform/sync/sync.h"

#include <chrono>
#include <cstring>
#include <ctime>

namespace {

const char kHelp[] =
    "Usage: tethra watch COMn [--hex] [--timestamps]\n\n"
    "Prints everything the port produces until interrupted (Ctrl+C or SIGTERM):\n"
    "  data \"text\\r\\n\"          bytes from the device, escaped (--hex: data 74 65 78 74)\n"
    "  event spoCTS              a line event\n"
    "  error spoRXParity         a line error\n"
    "  changed BaudRate=9600     a setting another program changed, with its new value\n"
    "--timestamps starts each line with the local time (12:34:56.789). Watching changes\n"
    "nothing; other programs keep using the port as before.\n";

HANDLE g_hStop = nullptr;

BOOL OnCtrl(DWORD)
{
    SetEvent(g_hStop);
    return TRUE;
}

class Printer : public tethra::PortListener {
public:
    Printer(bool bHex, bool bTimestamps) : m_bHex(bHex), m_bTimestamps(bTimestamps) {}

    void OnData(const BYTE* pData, ULONG cb) override
    {
        Line(m_bHex ? "data " + tethra::Escape(pData, cb, true)
                    : "data \"" + tethra::Escape(pData, cb, false) + "\"");
    }
    void OnPortEvent(LONG event) override
    {
        Line("event " + tethra::EnumName("EventConstants", event));
    }
    void OnError(LONG error) override { Line("error " + tethra::EnumName("ErrorConstants", error)); }
    void OnChanged(const tethra::Property& property, HRESULT hrRead, const VARIANT& value) override
    {
        Line(std::string("changed ") + property.get->name + "=" +
             (SUCCEEDED(hrRead) ? tethra::FormatValue(property, value) : "?"));
    }

private:
    void Line(const std::string& text)
    {
        if (m_bTimestamps) {
            using namespace std::chrono;
            const auto now = system_clock::now();
            const std::time_t t = system_clock::to_time_t(now);
            const long ms = static_cast<long>(
                duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
            char sz[32];
            std::strftime(sz, sizeof sz, "%H:%M:%S", std::localtime(&t));
            std::printf("%s.%03ld ", sz, ms);
        }
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }

    bool m_bHex;
    bool m_bTimestamps;
};

}  // namespace

int WatchMain(int argc, char** argv)
{
    using namespace tethra;
    if (WantsHelp(argc, argv, kHelp))
        return kExitOk;
    LONG number = 0;
    bool bHex = false;
    bool bTimestamps = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--hex") == 0) {
            bHex = true;
        } else if (std::strcmp(argv[i], "--timestamps") == 0) {
            bTimestamps = true;
        } else if (number == 0 && (number = ParsePortNumber(argv[i])) != 0) {
        } else {
            Error("watch", "unexpected \"%s\" (tethra watch COMn [--hex] [--timestamps])", argv[i]);
            return kExitUsage;
        }
    }
    if (number == 0) {
        Error("watch", "which port? (tethra watch COMn [--hex] [--timestamps])");
        return kExitUsage;
    }

    g_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_hStop || !SetConsoleCtrlHandler(OnCtrl, TRUE)) {
        Error("watch", "cannot set up the interrupt handler");
        return kExitFailed;
    }
    OpenPort port;
    int exit = port.Open("watch", number);
    if (exit == kExitOk) {
        Printer printer(bHex, bTimestamps);
        PortSinks sinks(&printer);
        const HRESULT hr = sinks.Advise(port.port());
        if (FAILED(hr)) {
            Error("watch", "COM%d: cannot receive from the port (%s)", static_cast<int>(number),
                  HexCode(hr).c_str());
            exit = kExitFailed;
        } else {
            // Tells a script that everything from now on will be printed.
            std::fprintf(stderr, "tethra watch: watching COM%d; Ctrl+C ends\n",
                         static_cast<int>(number));
            WaitForSingleObject(g_hStop, INFINITE);
        }
        sinks.Unadvise();
    }
    port.Close();
    SetConsoleCtrlHandler(OnCtrl, FALSE);
    CloseHandle(g_hStop);
    return exit;
}
