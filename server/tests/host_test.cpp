// The server executable: registration into a registry store of the tests' own, and its
// lifetime when a private bus starts it for clients.
#include "idl/tethra.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client/client.h"
#include "platform/rpc/testing/bus_fixture.h"
#include "platform/testing/process.h"
#include "platform/testing/testing.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using platform::testing::read_file;
using platform::testing::run_program;
using std::chrono::steady_clock;

std::string Braced(REFGUID guid)
{
    char sz[GUID_STRING_CHARS];
    StringFromGUID2(guid, sz, GUID_STRING_CHARS);
    return sz;
}

bool KeyExists(const std::string& path)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

// The string value, or "<missing>".
std::string Value(const std::string& path, const char* szName = nullptr)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return "<missing>";
    char szData[1024] = {};
    DWORD cbData = sizeof szData;
    DWORD dwType = 0;
    const LONG lResult = RegQueryValueExA(hKey, szName, nullptr, &dwType,
                                          reinterpret_cast<BYTE*>(szData), &cbData);
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS && dwType == REG_SZ ? szData : "<missing>";
}

// A registry store and a data home of the test's own; the server executable registers
// into them.
class Registration : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_registry.ready());
        m_dataHome = fs::path(m_registry.file()).parent_path() / "data";
        platform::testing::set_environment("XDG_DATA_HOME", m_dataHome.c_str());
    }
    void TearDown() override { platform::testing::set_environment("XDG_DATA_HOME", nullptr); }

    fs::path ServiceFile() const { return m_dataHome / "dbus-1/services/Ostra.Tethra.service"; }

    // Every key and value the registration writes, checked one by one.
    void ExpectRegistered(const std::string& strServer)
    {
        const std::string appid = Braced(APPID_Tethra);
        const std::string clsid = Braced(CLSID_Tethra);
        const std::string libid = Braced(LIBID_TETHRALIBRARYLib);
        EXPECT_EQ(Value("AppID\\" + appid), "TethraLibrary");
        EXPECT_EQ(Value("AppID\\Tethra.EXE"), "<missing>");
        EXPECT_EQ(Value("AppID\\Tethra.EXE", "AppID"), appid);
        EXPECT_EQ(Value("Ostra.Tethra.1"), "Tethra Object");
        EXPECT_EQ(Value("Ostra.Tethra.1\\CLSID"), clsid);
        EXPECT_EQ(Value("Ostra.Tethra"), "Tethra Object");
        EXPECT_EQ(Value("Ostra.Tethra\\CLSID"), clsid);
        EXPECT_EQ(Value("Ostra.Tethra\\CurVer"), "Ostra.Tethra.1");
        const std::string key = "CLSID\\" + clsid;
        EXPECT_EQ(Value(key), "Tethra Object");
        EXPECT_EQ(Value(key, "AppID"), appid);
        EXPECT_EQ(Value(key + "\\ProgID"), "Ostra.Tethra.1");
        EXPECT_EQ(Value(key + "\\VersionIndependentProgID"), "Ostra.Tethra");
        EXPECT_TRUE(KeyExists(key + "\\Programmable"));
        EXPECT_EQ(Value(key + "\\Programmable"), "<missing>");
        EXPECT_EQ(Value(key + "\\LocalServer32"), strServer);
        EXPECT_EQ(Value(key + "\\TypeLib"), libid);
        // Nothing for the classes without a class object.
        EXPECT_FALSE(KeyExists("CLSID\\" + Braced(CLSID_SerialPort)));
        EXPECT_FALSE(KeyExists("CLSID\\" + Braced(CLSID_SerialPortManager)));
        // The type library and its interfaces.
        EXPECT_EQ(Value("TypeLib\\" + libid + "\\1.0"), "TethraLibrary 1.0 Type Library");
        EXPECT_EQ(Value("TypeLib\\" + libid + "\\1.0\\409\\win64"), strServer);
        EXPECT_EQ(Value("Interface\\" + Braced(IID_ITethra)), "ITethra");
        EXPECT_EQ(Value("Interface\\" + Braced(IID_ISerialPort)), "ISerialPort");
        EXPECT_EQ(Value("Interface\\" + Braced(DIID__ISerialPortEvents)), "_ISerialPortEvents");
        EXPECT_EQ(Value("Interface\\" + Braced(IID_ISerialPort) + "\\TypeLib"), libid);
        EXPECT_EQ(read_file(ServiceFile()),
                  "[D-BUS Service]\nName=Ostra.Tethra\nExec=" + strServer + " -Embedding\n");
    }

    platform::testing::temp_registry m_registry;
    fs::path m_dataHome;
};

TEST_F(Registration, EachRegistrationLineWritesTheClassTypeLibraryAndActivationFile)
{
    const std::string strServer = fs::canonical(TETHRA_SERVER).string();
    for (const char* szLine : {"-RegServer", "/regserver", "-Debug -RegServer"}) {
        SCOPED_TRACE(szLine);
        ASSERT_EQ(run_program({TETHRA_SERVER, szLine}), 0);
        ExpectRegistered(strServer);
        ASSERT_EQ(run_program({TETHRA_SERVER, "-UnregServer"}), 0);
    }
}

TEST_F(Registration, ClassKeyIsWrittenAfreshAndAQuotedPathSurvives)
{
    // A stale subkey of the class key goes: the key is deleted before it is written.
    HKEY hKey = nullptr;
    const std::string stale = "CLSID\\" + Braced(CLSID_Tethra) + "\\Stale";
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, stale.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &hKey, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
    // A path with a quote and a space stands in the keys and the Exec line as it is.
    const fs::path dir = fs::path(m_registry.file()).parent_path() / "it's here";
    fs::create_directories(dir);
    const fs::path copy = dir / "tethra-server";
    fs::copy_file(TETHRA_SERVER, copy);
    ASSERT_EQ(run_program({copy.string(), "-RegServer"}), 0);
    EXPECT_FALSE(KeyExists(stale));
    EXPECT_EQ(Value("CLSID\\" + Braced(CLSID_Tethra) + "\\LocalServer32"), copy.string());
    // The bus splits the Exec line as a shell would.
    std::string strWord = "'";
    for (const char c : copy.string())
        strWord += c == '\'' ? std::string("'\\''") : std::string(1, c);
    EXPECT_NE(read_file(ServiceFile()).find("Exec=" + strWord + "' -Embedding\n"),
              std::string::npos)
        << read_file(ServiceFile());
}

TEST_F(Registration, UnregServerRemovesItsKeysAndKeepsAppIdAndClsid)
{
    // Keys of another program under the kept roots stay.
    for (const char* szOther : {"AppID\\{OTHER}", "CLSID\\{OTHER}\\LocalServer32"}) {
        HKEY hKey = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, szOther, 0, nullptr, 0, KEY_WRITE, nullptr,
                                  &hKey, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(hKey);
    }
    ASSERT_EQ(run_program({TETHRA_SERVER, "-RegServer"}), 0);
    ASSERT_EQ(run_program({TETHRA_SERVER, "/UnregServer"}), 0);
    for (const std::string& gone :
         {"AppID\\" + Braced(APPID_Tethra), std::string("AppID\\Tethra.EXE"),
          std::string("Ostra.Tethra.1"), std::string("Ostra.Tethra"), "CLSID\\" + Braced(CLSID_Tethra),
          "TypeLib\\" + Braced(LIBID_TETHRALIBRARYLib), "Interface\\" + Braced(IID_ITethra),
          "Interface\\" + Braced(IID_ISerialPort)})
        EXPECT_FALSE(KeyExists(gone)) << gone;
    for (const char* szKept : {"AppID", "CLSID", "AppID\\{OTHER}", "CLSID\\{OTHER}\\LocalServer32"})
        EXPECT_TRUE(KeyExists(szKept)) << szKept;
    EXPECT_FALSE(fs::exists(ServiceFile()));
    // Unregistering what is not registered is no failure.
    EXPECT_EQ(run_program({TETHRA_SERVER, "-UnregServer"}), 0);
}

// A registered server, a private bus that can start it, and the test process as client.
class Lifetime : public Registration {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_THREAD__)
        // Qt and GLib, which the server and the clients run on, are not built for
        // ThreadSanitizer, whose reports would then be about their unseen synchronisation.
        GTEST_SKIP() << "the bus processes run on Qt, which ThreadSanitizer cannot see into";
#endif
        Registration::SetUp();
        ASSERT_EQ(run_program({TETHRA_SERVER, "-RegServer"}), 0);
        // The bus daemon is started now, so the server it starts inherits the registry
        // store and the data home.
        m_bus = std::make_unique<platform::rpc::testing::private_bus>();
        ASSERT_TRUE(m_bus->ready());
        fs::copy_file(ServiceFile(), fs::path(m_bus->service_dir()) / "Ostra.Tethra.service");
    }
    void TearDown() override
    {
        // Every server this test started goes with it.
        for (const int pid : m_servers)
            platform::testing::kill_process(pid);
        m_bus.reset();
        Registration::TearDown();
    }

    // The process that owns "Ostra.Tethra" now, or -1.
    int NameOwnerPid()
    {
        const int pid = platform::testing::name_owner_pid(m_bus->address());
        if (pid > 0)
            m_servers.push_back(pid);
        return pid;
    }

    ITethra* Create()
    {
        CLSID clsid = CLSID_NULL;
        EXPECT_EQ(CLSIDFromProgID("Ostra.Tethra", &clsid), S_OK);
        ITethra* pTethra = nullptr;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                   reinterpret_cast<void**>(&pTethra)),
                  S_OK);
        return pTethra;
    }

    // Milliseconds from start until the process pid ends (at most limit_ms), or -1.
    static long long MillisecondsUntilEnd(int pid, steady_clock::time_point start, DWORD limit_ms)
    {
        if (!platform::testing::wait_process_end(pid, limit_ms))
            return -1;
        return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - start)
            .count();
    }

    std::unique_ptr<platform::rpc::testing::private_bus> m_bus;
    std::vector<int> m_servers;
};

// The server ends when its quiet period (5 s) and its drain (1 s) have passed.
constexpr long long kEarliestEndMs = 5000;
constexpr long long kLatestEndMs = 8000;

TEST_F(Lifetime, FirstCallStartsTheServerAndItEndsFiveSecondsAfterTheLastRelease)
{
    platform::testing::pty_peer peer;
    ASSERT_TRUE(peer.ready());
    ASSERT_EQ(m_registry.map_port(peer.path(), 1), ERROR_SUCCESS);
    ASSERT_EQ(NameOwnerPid(), -1);

    ITethra* pTethra = Create();
    ASSERT_NE(pTethra, nullptr);
    const int pid = NameOwnerPid();
    ASSERT_GT(pid, 0);
    ISerialPort* pPort = nullptr;
    ASSERT_EQ(pTethra->CreatePort(1, &pPort), S_OK);
    pTethra->Release();
    pPort->Release();
    const auto released = steady_clock::now();

    const long long ms = MillisecondsUntilEnd(pid, released, kLatestEndMs + 2000);
    std::printf("server ended %lld ms after the last release\n", ms);
    EXPECT_GE(ms, kEarliestEndMs - 500);
    EXPECT_LE(ms, kLatestEndMs);
    EXPECT_TRUE(peer.wait_closed(1000));
}

TEST_F(Lifetime, CreationWithinTheQuietPeriodKeepsTheSameServer)
{
    ITethra* pTethra = Create();
    ASSERT_NE(pTethra, nullptr);
    const int pid = NameOwnerPid();
    ASSERT_GT(pid, 0);
    pTethra->Release();
    std::this_thread::sleep_for(std::chrono::seconds(3));

    pTethra = Create();
    ASSERT_NE(pTethra, nullptr);
    EXPECT_EQ(NameOwnerPid(), pid);
    // Past the first release's quiet period, still held: still running.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_TRUE(platform::testing::process_exists(pid));
    EXPECT_EQ(NameOwnerPid(), pid);
    pTethra->Release();
    EXPECT_GT(MillisecondsUntilEnd(pid, steady_clock::now(), kLatestEndMs + 2000), 0);
}

TEST_F(Lifetime, AClientKilledWhileHoldingTheLastReferenceLetsTheServerEnd)
{
    platform::testing::child client({HOLDING_CLIENT}, true);
    ASSERT_EQ(client.read_line(), "holding");
    const int pid = NameOwnerPid();
    ASSERT_GT(pid, 0);
    client.kill();
    const long long ms = MillisecondsUntilEnd(pid, steady_clock::now(), kLatestEndMs + 2000);
    std::printf("server ended %lld ms after its client was killed\n", ms);
    EXPECT_GE(ms, kEarliestEndMs - 500);
    EXPECT_LE(ms, kLatestEndMs);
}

TEST_F(Lifetime, AServerStartedByHandWithRegServerDebugServesAndNeverEndsUnused)
{
    platform::testing::child server({TETHRA_SERVER, "-RegServer", "-Debug"});
    // Unused, it outlives a quiet period: the monitor waits for a first release.
    EXPECT_EQ(server.wait(kEarliestEndMs + 1000), -1);
    EXPECT_EQ(NameOwnerPid(), server.pid());
    ITethra* pTethra = Create();
    ASSERT_NE(pTethra, nullptr);
    pTethra->Release();
    EXPECT_EQ(server.wait(kLatestEndMs + 2000), 0);
}

// A bus that ends takes every client with it: the server gives back what they held and
// ends after its quiet period, whether it was used or not.
TEST_F(Lifetime, AServerWhoseBusEndsEndsAfterItsQuietPeriod)
{
    platform::testing::child unused({TETHRA_SERVER});
    ASSERT_EQ(unused.wait(1000), -1);
    ASSERT_EQ(NameOwnerPid(), unused.pid());
    const steady_clock::time_point start = steady_clock::now();
    m_bus->stop();
    const long long ms = MillisecondsUntilEnd(unused.pid(), start, kLatestEndMs + 2000);
    EXPECT_GE(ms, kEarliestEndMs);
    EXPECT_LE(ms, kLatestEndMs);
}

TEST_F(Lifetime, AServerWhoseBusEndsWhileAClientHoldsAPortEnds)
{
    platform::testing::pty_peer peer;
    ASSERT_TRUE(peer.ready());
    ASSERT_EQ(m_registry.map_port(peer.path(), 1), ERROR_SUCCESS);
    ITethra* pTethra = Create();
    ASSERT_NE(pTethra, nullptr);
    ISerialPort* pPort = nullptr;
    ASSERT_EQ(pTethra->CreatePort(1, &pPort), S_OK);
    const int pid = NameOwnerPid();
    ASSERT_GT(pid, 0);
    const steady_clock::time_point start = steady_clock::now();
    m_bus->stop();
    const long long ms = MillisecondsUntilEnd(pid, start, kLatestEndMs + 2000);
    EXPECT_GE(ms, kEarliestEndMs);
    EXPECT_LE(ms, kLatestEndMs);
    pPort->Release();
    pTethra->Release();
}

// ---- the debug window of a running server ----------------------------------------------

// Sets an environment variable for the test's children and restores it afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* szName, const char* szValue) : m_name(szName)
    {
        const char* szOld = std::getenv(szName);
        m_bHad = szOld != nullptr;
        if (szOld)
            m_old = szOld;
        platform::testing::set_environment(szName, szValue);
    }
    ~ScopedEnvironment()
    {
        platform::testing::set_environment(m_name.c_str(), m_bHad ? m_old.c_str() : nullptr);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_bHad = false;
};

// A server started by hand with "-Debug" on Qt's offscreen platform, its window answering
// commands on its standard input (see diag/ServerDebugWindow.cpp).
class DebugWindow : public Lifetime {
protected:
    void SetUp() override
    {
        Lifetime::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        m_logFile = fs::path(m_registry.file()).parent_path() / "server.log";
    }

    // One value of the window's settings key in the test's registry store.
    void SetValue(const char* szName, DWORD dwType, const void* pData, DWORD cbData)
    {
        ASSERT_EQ(platform::testing::set_machine_value("SOFTWARE\\Ostra\\Tethra", szName, dwType,
                                                       pData, cbData),
                  ERROR_SUCCESS);
    }
    void SetDword(const char* szName, DWORD dwValue)
    {
        SetValue(szName, REG_DWORD, &dwValue, sizeof dwValue);
    }

    void StartServer()
    {
        m_server = std::make_unique<platform::testing::child>(
            std::vector<std::string>{TETHRA_SERVER, "-Debug"}, true);
        ASSERT_GT(m_server->pid(), 0);
        // The window answers from the server's loop, which runs once the class objects
        // accept requests.
        bool bAnswered = false;
        Rows(&bAnswered);
        ASSERT_TRUE(bAnswered);
    }

    // The list's rows, one per line, newest first.
    std::string Rows(bool* pbAnswered = nullptr)
    {
        std::string strRows;
        if (!m_server->write_line("rows"))
            return strRows;
        std::string line = m_server->read_line();
        for (; !line.empty() && line != "rows end"; line = m_server->read_line())
            strRows += line + "\n";
        if (pbAnswered)
            *pbAnswered = line == "rows end";
        return strRows;
    }

    // The rows once one of them holds text (at most 10 s).
    std::string RowsOnceTheyHold(const std::string& text)
    {
        const auto deadline = steady_clock::now() + std::chrono::seconds(10);
        std::string strRows = Rows();
        while (strRows.find(text) == std::string::npos && steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            strRows = Rows();
        }
        return strRows;
    }

    ScopedEnvironment m_platform{"QT_QPA_PLATFORM", "offscreen"};
    ScopedEnvironment m_control{"TETHRA_DEBUG_WINDOW_CONTROL", "1"};
    fs::path m_logFile;
    std::unique_ptr<platform::testing::child> m_server;
};

// The stored level and categories filter what client calls trace; the rows arrive newest
// first and go into the ring log file as well; the window keeps no server alive.
TEST_F(DebugWindow, ClientCallsBecomeRowsAndLogRecordsAtTheStoredLevelAndCategory)
{
    platform::testing::pty_peer peer;
    ASSERT_TRUE(peer.ready());
    ASSERT_EQ(m_registry.map_port(peer.path(), 1), ERROR_SUCCESS);
    SetDword("TraceLevel", 3);
    SetDword("TraceCat", TRACE_CAT_TETHRA);
    const std::string strLogFile = m_logFile.string();
    SetValue("LogFileName", REG_SZ, strLogFile.c_str(), static_cast<DWORD>(strLogFile.size() + 1));
    SetDword("LoggingState", 2);
    SetDword("MaxLogSize", 4);
    StartServer();
    ASSERT_EQ(NameOwnerPid(), m_server->pid());

    ITethra* pTethra = Create();
    ASSERT_NE(pTethra, nullptr);
    ISerialPort* pPort = nullptr;
    ASSERT_EQ(pTethra->CreatePort(1, &pPort), S_OK);
    const std::string strRows = RowsOnceTheyHold("Creating new serial port.");
    // Level 1 and 3 of the chosen category, newest first, after the window's own row.
    const size_t entry = strRows.rfind("::CreatePort(1, ");
    const size_t looking = strRows.find("Looking for the serial port.");
    const size_t creating = strRows.find("Creating new serial port.");
    const size_t announced = strRows.find("atlTraceLevel = 0x3");
    ASSERT_NE(entry, std::string::npos) << strRows;
    ASSERT_NE(looking, std::string::npos) << strRows;
    EXPECT_LT(creating, looking) << strRows;
    EXPECT_LT(looking, entry) << strRows;
    EXPECT_LT(entry, announced) << strRows;
    // Level 5 of the category, and the serial port category, are filtered out.
    EXPECT_EQ(strRows.find("Locking m_csMapAccess"), std::string::npos) << strRows;
    EXPECT_EQ(strRows.find("CSerialPortManager("), std::string::npos) << strRows;

    // The log file holds the same messages in records of 162 bytes.
    const std::string strLog = read_file(m_logFile);
    EXPECT_EQ(strLog.size() % 162, 0u);
    EXPECT_NE(strLog.find("atlTraceLevel = 0x3"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("Creating new serial port."), std::string::npos) << strLog;
    EXPECT_EQ(strLog.find("Locking m_csMapAccess"), std::string::npos);

    const std::string shot = std::string(TETHRA_SERVER_SHOT_DIR) + "/server_debug_window.png";
    fs::remove(shot);
    EXPECT_TRUE(m_server->write_line("shot " + shot));
    EXPECT_EQ(m_server->read_line(), "shot ok");
    EXPECT_GT(fs::file_size(shot), 1000u);

    pPort->Release();
    pTethra->Release();
    const auto released = steady_clock::now();
    EXPECT_EQ(m_server->wait(kLatestEndMs + 2000), 0);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - released)
                  .count(),
              kEarliestEndMs - 500);
}

// A server never used ends only when its window is closed: then about 5 s later.
TEST_F(DebugWindow, ClosingTheWindowEndsAnIdleServerFiveSecondsLater)
{
    StartServer();
    EXPECT_EQ(m_server->wait(2000), -1);
    ASSERT_TRUE(m_server->write_line("close"));
    ASSERT_EQ(m_server->read_line(), "closed");
    const auto closed = steady_clock::now();
    const long long ms = MillisecondsUntilEnd(m_server->pid(), closed, kLatestEndMs + 2000);
    EXPECT_EQ(m_server->wait(0), 0);
    std::printf("server ended %lld ms after its window was closed\n", ms);
    EXPECT_GE(ms, kEarliestEndMs - 500);
    EXPECT_LE(ms, kLatestEndMs);
}

// Without a display "-Debug" serves without a window and says so once.
TEST_F(Lifetime, DebugWithoutADisplaySaysSoOnceAndServes)
{
    ScopedEnvironment platform("QT_QPA_PLATFORM", nullptr);
    ScopedEnvironment x11("DISPLAY", nullptr);
    ScopedEnvironment wayland("WAYLAND_DISPLAY", nullptr);
    // Its standard error comes to our pipe.
    platform::testing::child server(
        {"/bin/sh", "-c", "exec \"$0\" -Debug 2>&1", TETHRA_SERVER}, true);
    std::string said = server.read_line();
    EXPECT_NE(said.find("no display"), std::string::npos) << said;
    // It says so before it owns the name: a call now could make the bus start another.
    const auto deadline = steady_clock::now() + std::chrono::seconds(5);
    while (NameOwnerPid() != server.pid() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ITethra* pTethra = Create();
    ASSERT_NE(pTethra, nullptr);
    EXPECT_EQ(NameOwnerPid(), server.pid());
    pTethra->Release();
    // Said once: the rest of what it writes until its end is other output.
    for (std::string line = server.read_line(); !line.empty(); line = server.read_line())
        EXPECT_EQ(line.find("display"), std::string::npos) << line;
    EXPECT_EQ(server.wait(1000), 0);
}

// ---- the suspend step ---------------------------------------------------------------------

// Servers that, once suspended with the bus name let go, wait 6 s before their last check
// (ModuleHost.cpp): the ending server stays there while requests arrive.
class SuspendStep : public Lifetime {
protected:
    ScopedEnvironment m_pause{"TETHRA_SERVER_SUSPEND_PAUSE_MS", "6000"};
};

// Creation requests made while the old server ends are all served, by a fresh server
// the bus starts; the old one never takes one, and ends.
TEST_F(SuspendStep, RequestsWhileTheOldServerEndsAreServedByAFreshOneNeverLost)
{
    ITethra* pTethra = Create();
    ASSERT_NE(pTethra, nullptr);
    const int oldPid = NameOwnerPid();
    ASSERT_GT(oldPid, 0);
    pTethra->Release();
    // After its quiet period the old server lets the name go and pauses.
    const auto deadline = steady_clock::now() + std::chrono::seconds(10);
    while (NameOwnerPid() == oldPid && steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(NameOwnerPid(), oldPid);
    // The name went before the pause, not with the revocation after it (which leaves a
    // drain of 1 s): the old server is there for most of the pause yet (the margin is
    // for a loaded machine, where each look at the name owner takes a while).
    ASSERT_FALSE(platform::testing::wait_process_end(oldPid, 2500)) << "the old server is ending";

    CLSID clsid = CLSID_NULL;
    ASSERT_EQ(CLSIDFromProgID("Ostra.Tethra", &clsid), S_OK);
    int nAttempts = 0;
    int nAfterOldEnded = 0;
    int nFreshPid = -1;
    while (nAfterOldEnded < 5 && nAttempts < 500) {
        const bool bOldThere = platform::testing::process_exists(oldPid);
        ITethra* pNew = nullptr;
        const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                            reinterpret_cast<void**>(&pNew));
        ++nAttempts;
        ASSERT_EQ(hr, S_OK) << "attempt " << nAttempts << " was lost";
        const int owner = NameOwnerPid();
        ASSERT_NE(owner, oldPid) << "the ending server took a request";
        ASSERT_GT(owner, 0);
        if (nFreshPid < 0)
            nFreshPid = owner;
        EXPECT_EQ(owner, nFreshPid) << "one fresh server";
        pNew->Release();
        if (!bOldThere)
            ++nAfterOldEnded;
    }
    std::printf("%d creations while and after the old server ended\n", nAttempts);
    EXPECT_GT(nAttempts, nAfterOldEnded) << "some arrived while the old server was there";
    EXPECT_TRUE(platform::testing::wait_process_end(oldPid, 5000));
    // The fresh server goes with the test (TearDown).
}

}  // namespace
