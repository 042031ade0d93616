// tethra term: an interactive terminal on a shared port.
//
// The keyboard goes to the port raw, key by key (Ctrl+C included), through Send; what the
// device sends goes to the screen as it comes (--hex: as hex bytes). Ctrl+] ends the
// session, and so do the end of the input, SIGTERM and SIGHUP; the port is released and
// the terminal's mode put back.
//
// The status line: when the output is a terminal of known size, its bottom row shows the
// port and the latest line event or error, and the rows above it scroll the device's
// output. On any other output each status message is a line of its own, "[COM5: ...]".
// --baud sets the baud rate before the session starts; the port's other clients are
// asked first, and a refusal ends the command with exit code 5.
#include "tools/tethra/sink.h"

#include "platform/console/console.h"
#include "platform/sync/sync.h"

#include <cstring>
#include <mutex>
#include <thread>

namespace {

const char kHelp[] =
    "Usage: tethra term COMn [--baud N] [--hex]\n\n"
    "Types into a port that other programs may be using at the same time: every key goes\n"
    "to the device as it is typed, and everything the device sends appears on the screen\n"
    "(--hex: as hex bytes). The bottom line shows the port's line events and errors.\n"
    "Ctrl+] ends the session. --baud N sets the baud rate first; the port's other programs\n"
    "are asked and may refuse (exit code 5).\n";

const BYTE kExitKey = 0x1d;  // Ctrl+]

HANDLE g_hStop = nullptr;

BOOL OnCtrl(DWORD)
{
    SetEvent(g_hStop);
    return TRUE;
}

class Screen : public tethra::PortListener {
public:
    Screen(LONG number, bool bHex) : m_number(number), m_bHex(bHex)
    {
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) &&
            info.dwSize.Y > 2)
            m_rows = info.dwSize.Y;
        if (m_rows) {
            // Everything but the bottom row scrolls; the cursor starts above the status.
            std::printf("\x1b[1;%dr\x1b[%d;1H", m_rows - 1, m_rows - 1);
        }
    }
    ~Screen()
    {
        std::lock_guard lock(m_mutex);
        if (m_rows)
            std::printf("\x1b" "7\x1b[%d;1H\x1b[2K\x1b" "8\x1b[r\x1b[%d;1H", m_rows, m_rows);
        std::printf("\r\n");
        std::fflush(stdout);
    }

    void Status(const std::string& text)
    {
        std::lock_guard lock(m_mutex);
        const std::string line = "COM" + std::to_string(m_number) + ": " + text;
        if (m_rows)
            std::printf("\x1b" "7\x1b[%d;1H\x1b[2K\x1b[7m %s \x1b[0m\x1b" "8", m_rows, line.c_str());
        else
            std::printf("\r\n[%s]\r\n", line.c_str());
        std::fflush(stdout);
    }

    void OnData(const BYTE* pData, ULONG cb) override
    {
        std::lock_guard lock(m_mutex);
        if (m_bHex)
            std::printf("%s ", tethra::Escape(pData, cb, true).c_str());
        else
            std::fwrite(pData, 1, cb, stdout);
        std::fflush(stdout);
    }
    void OnPortEvent(LONG event) override
    {
        Status("event " + tethra::EnumName("EventConstants", event));
    }
    void OnError(LONG error) override { Status("error " + tethra::EnumName("ErrorConstants", error)); }
    void OnChanged(const tethra::Property& property, HRESULT hrRead, const VARIANT& value) override
    {
        Status(std::string("changed ") + property.get->name + "=" +
               (SUCCEEDED(hrRead) ? tethra::FormatValue(property, value) : "?"));
    }

private:
    std::mutex m_mutex;
    LONG m_number;
    bool m_bHex;
    int m_rows = 0;
};

// Sends bytes synchronously, so keys reach the device in the order typed.
HRESULT SendBytes(ISerialPort* pPort, const BYTE* pData, ULONG cb)
{
    VARIANT data;
    VariantInit(&data);
    data.vt = VT_ARRAY | VT_UI1;
    data.parray = SafeArrayCreateVector(VT_UI1, 0, cb);
    if (!data.parray)
        return E_OUTOFMEMORY;
    std::memcpy(data.parray->pvData, pData, cb);
    const HRESULT hr = pPort->Send(data, VARIANT_TRUE);
    VariantClear(&data);
    return hr;
}

}  // namespace

int TermMain(int argc, char** argv)
{
    using namespace tethra;
    if (WantsHelp(argc, argv, kHelp))
        return kExitOk;
    LONG number = 0;
    bool bHex = false;
    const char* baud = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--hex") == 0) {
            bHex = true;
        } else if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc) {
            baud = argv[++i];
        } else if (number == 0 && (number = ParsePortNumber(argv[i])) != 0) {
        } else {
            Error("term", "unexpected \"%s\" (tethra term COMn [--baud N] [--hex])", argv[i]);
            return kExitUsage;
        }
    }
    if (number == 0) {
        Error("term", "which port? (tethra term COMn [--baud N] [--hex])");
        return kExitUsage;
    }
    VARIANT baudValue;
    VariantInit(&baudValue);
    const Property* pBaud = FindProperty("BaudRate");
    if (baud) {
        std::string why;
        if (!pBaud || !ParseValue(*pBaud, baud, &baudValue, &why) || baudValue.ulVal == 0) {
            Error("term", "--baud %s: not a baud rate", baud);
            return kExitUsage;
        }
    }

    g_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_hStop || !SetConsoleCtrlHandler(OnCtrl, TRUE)) {
        Error("term", "cannot set up the interrupt handler");
        return kExitFailed;
    }
    OpenPort port;
    int exit = port.Open("term", number);
    if (exit == kExitOk && baud) {
        const HRESULT hr = PutProperty(port.port(), *pBaud, baudValue);
        if (FAILED(hr)) {
            Error("term", "COM%d: BaudRate=%s refused (%s)", static_cast<int>(number), baud,
                  hr == E_FAIL ? "another client of the port refused the change or the device "
                                 "did not take it"
                               : HexCode(hr).c_str());
            exit = kExitRefused;
        }
    }
    if (exit == kExitOk) {
        const HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
        DWORD dwSavedMode = 0;
        const bool bConsole = GetConsoleMode(hIn, &dwSavedMode) != FALSE;
        if (bConsole)
            SetConsoleMode(hIn, 0);
        {
            Screen screen(number, bHex);
            PortSinks sinks(&screen);
            HRESULT hr = sinks.Advise(port.port());
            if (FAILED(hr)) {
                screen.Status("cannot receive from the port (" + HexCode(hr) + ")");
                exit = kExitFailed;
            } else {
                // From now on everything the device sends reaches the screen.
                screen.Status("connected; Ctrl+] ends");
                // The keyboard on a thread of its own, so that a signal can end the session
                // while a read waits. The thread is then left behind, blocked in its read
                // until the process ends, and touches nothing once the session has ended.
                std::thread([hIn, &port, &screen] {
                    BYTE buffer[256];
                    DWORD cb = 0;
                    while (ReadConsoleA(hIn, buffer, sizeof buffer, &cb, nullptr) && cb > 0 &&
                           WaitForSingleObject(g_hStop, 0) == WAIT_TIMEOUT) {
                        const BYTE* pEnd = static_cast<const BYTE*>(std::memchr(buffer, kExitKey, cb));
                        const ULONG cbSend = pEnd ? static_cast<ULONG>(pEnd - buffer) : cb;
                        if (cbSend > 0) {
                            const HRESULT hrSend = SendBytes(port.port(), buffer, cbSend);
                            if (FAILED(hrSend))
                                screen.Status("send failed (" + HexCode(hrSend) + ")");
                        }
                        if (pEnd)
                            break;
                    }
                    SetEvent(g_hStop);
                }).detach();
                WaitForSingleObject(g_hStop, INFINITE);
            }
            sinks.Unadvise();
        }
        if (bConsole)
            SetConsoleMode(hIn, dwSavedMode);
    }
    port.Close();
    SetConsoleCtrlHandler(OnCtrl, FALSE);
    return exit;
}
