// The bus API document against the source tree and the running server: the committed
// docs/bus-api.md is the generated one; its introspection data is what the server answers
// for each path; its busctl and python3-dbus examples, taken from the document itself,
// run as shown against tethra-server started by a private bus, with COM1 on one end of a
// socat pty pair and this test on the other. Also the limits the document states: a
// 32 MiB byte array crosses the bus and arrives byte-exact; a value of the wrong type for
// any property is refused and changes nothing.
#include "platform/rpc/testing/bus_fixture.h"
#include "platform/testing/process.h"
#include "platform/testing/testing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using platform::testing::read_file;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string TrimEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// A fenced block of the document: its info string and its text.
struct Fence {
    std::string info;
    std::string body;
};

std::vector<Fence> Fences(const std::string& doc)
{
    std::vector<Fence> fences;
    bool inside = false;
    for (const std::string& line : Lines(doc)) {
        if (line.rfind("```", 0) == 0) {
            if (inside)
                inside = false;
            else {
                fences.push_back({line.substr(3), {}});
                inside = true;
            }
        } else if (inside) {
            fences.back().body += line + "\n";
        }
    }
    return fences;
}

TEST(BusDoc, TheCommittedDocumentIsTheGeneratedOne)
{
    const std::vector<std::string> committed = Lines(read_file(TETHRA_COMMITTED_DOC));
    const std::vector<std::string> generated = Lines(read_file(TETHRA_GENERATED_DOC));
    ASSERT_FALSE(generated.empty()) << TETHRA_GENERATED_DOC << " was not generated";
    size_t line = 0;
    while (line < committed.size() && line < generated.size() && committed[line] == generated[line])
        ++line;
    if (line == committed.size() && line == generated.size())
        return;
    ADD_FAILURE() << "docs/bus-api.md differs from the generated document at line " << line + 1
                  << ":\n  committed: " << (line < committed.size() ? committed[line] : "(end)")
                  << "\n  generated: " << (line < generated.size() ? generated[line] : "(end)")
                  << "\nEdit docs/bus-api.md.in (or the tables), then regenerate it with:\n"
                  << "  cmake --build " << TETHRA_BUILD_DIR << " --target update_bus_api_doc";
}

// The far end of COM1 (a socat pair's, opened once more): reads everything that
// arrives, and with echo sends it back.
class FarEnd {
public:
    FarEnd(const std::string& path, bool echo)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY)), m_echo(echo)
    {
        if (m_fd >= 0 && ::pipe(m_stop) == 0)
            m_thread = std::thread([this] { Run(); });
    }
    ~FarEnd()
    {
        if (m_thread.joinable()) {
            (void)!::write(m_stop[1], "x", 1);
            m_thread.join();
        }
        ::close(m_stop[0]);
        ::close(m_stop[1]);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Ready() const { return m_thread.joinable(); }
    // Waits (blocking on the reader's progress) until count bytes have arrived or
    // timeout_ms pass without a new byte.
    std::string WaitFor(size_t count, int timeout_ms)
    {
        std::unique_lock lock(m_mutex);
        while (m_received.size() < count)
            if (m_more.wait_for(lock, std::chrono::milliseconds(timeout_ms)) == std::cv_status::timeout)
                break;
        return m_received;
    }

private:
    void Run()
    {
        std::vector<char> buffer(1 << 16);
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        while (::poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN)) {
            const ssize_t n = ::read(m_fd, buffer.data(), buffer.size());
            if (n <= 0)
                break;  // socat, which holds the other side, is gone
            if (m_echo)
                (void)!::write(m_fd, buffer.data(), static_cast<size_t>(n));
            std::lock_guard lock(m_mutex);
            m_received.append(buffer.data(), static_cast<size_t>(n));
            m_more.notify_all();
        }
    }

    int m_fd;
    bool m_echo;
    int m_stop[2] = {-1, -1};
    std::mutex m_mutex;
    std::condition_variable m_more;
    std::string m_received;
    std::thread m_thread;
};

// tethra-server registered and activated by a private bus, COM1 mapped to a socat pty.
class LiveServer : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "the bus processes run on Qt, which ThreadSanitizer cannot see into";
#endif
        ASSERT_TRUE(m_registry.ready());
        m_dir = m_registry.file();
        m_dir = m_dir.parent_path();
        platform::testing::set_environment("XDG_DATA_HOME", (m_dir / "data").c_str());
        ASSERT_EQ(platform::testing::run_program({TETHRA_SERVER, "-RegServer"}), 0);
        // Started now, the bus daemon (and so the server it starts) inherits the registry
        // store and the data home.
        m_bus = std::make_unique<platform::rpc::testing::private_bus>();
        ASSERT_TRUE(m_bus->ready());
        fs::copy_file(m_dir / "data/dbus-1/services/Ostra.Tethra.service",
                      fs::path(m_bus->service_dir()) / "Ostra.Tethra.service");
        m_socat = std::make_unique<platform::testing::socat_pair>();
        ASSERT_TRUE(m_socat->ready()) << "socat made no pty pair";
        ASSERT_EQ(m_registry.map_port(m_socat->device(), 1), 0);
    }
    void TearDown() override
    {
        m_far.reset();
        if (m_bus)
            platform::testing::kill_process(platform::testing::name_owner_pid(m_bus->address()));
        m_socat.reset();
        m_bus.reset();
        platform::testing::set_environment("XDG_DATA_HOME", nullptr);
    }

    void StartFarEnd(bool echo)
    {
        m_far = std::make_unique<FarEnd>(m_socat->far_end(), echo);
        ASSERT_TRUE(m_far->Ready());
    }

    // Runs a shell command line; what it wrote to its standard output and error.
    static std::string Shell(const std::string& line)
    {
        std::string output;
        platform::testing::run_program({"/bin/sh", "-c", "exec 2>&1; " + line}, &output);
        return output;
    }
    static std::string Client(const std::string& args)
    {
        return Shell(std::string("/usr/bin/python3 " TETHRA_RPC_TEST_DIR "/doc_client.py ") + args);
    }

    platform::testing::temp_registry m_registry;
    fs::path m_dir;
    std::unique_ptr<platform::rpc::testing::private_bus> m_bus;
    std::unique_ptr<platform::testing::socat_pair> m_socat;
    std::unique_ptr<FarEnd> m_far;
};

// The introspection data in the document is what the server answers on every path.
TEST_F(LiveServer, EveryPathIntrospectsAsTheDocumentShows)
{
    std::map<std::string, std::string> documented;  // path pattern -> document
    for (const Fence& f : Fences(read_file(TETHRA_COMMITTED_DOC)))
        if (f.info.rfind("xml introspect ", 0) == 0)
            documented[f.info.substr(15)] = f.body;
    ASSERT_EQ(documented.size(), 4u);

    const std::vector<std::string> lines = Lines(Client("introspect 1"));
    std::map<std::string, int> checked;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("PATH ", 0) != 0)
            continue;
        std::string path = lines[i].substr(5), reply;
        for (++i; i < lines.size() && lines[i] != "END"; ++i)
            reply += lines[i] + "\n";
        // The concrete path to the pattern the document names.
        std::string pattern = path;
        const std::string ports = "/Ostra/Tethra/SerialPort/";
        if (path.rfind(ports, 0) == 0) {
            const size_t slash = path.find('/', ports.size());
            pattern = ports + "<n>" + (slash == std::string::npos ? "" : "/<point>");
        }
        ASSERT_TRUE(documented.count(pattern)) << "no introspection data for " << pattern;
        EXPECT_EQ(reply, documented[pattern]) << "on " << path;
        ++checked[pattern];
    }
    EXPECT_EQ(checked.size(), 4u) << Client("introspect 1");
    EXPECT_EQ(checked["/Ostra/Tethra/SerialPort/<n>/<point>"], 2);
}

// Every busctl line and python3-dbus program of the document runs and prints what the
// document shows under it. The far end echoes what it receives.
TEST_F(LiveServer, TheDocumentsExamplesRunAsShown)
{
    StartFarEnd(true);
    // A lock keeps the one server process between the examples, so that paths count on.
    platform::testing::child holder({"/usr/bin/python3", TETHRA_RPC_TEST_DIR "/doc_client.py", "hold"},
                                    true);
    ASSERT_EQ(holder.read_line(), "HELD");

    const std::vector<Fence> fences = Fences(read_file(TETHRA_COMMITTED_DOC));
    int consoles = 0, programs = 0;
    for (size_t i = 0; i < fences.size(); ++i) {
        if (fences[i].info == "console") {
            ++consoles;
            // "$ command" lines (a trailing backslash continues one), each followed by the
            // output it prints.
            std::vector<std::pair<std::string, std::string>> steps;
            bool in_command = false;
            for (const std::string& line : Lines(fences[i].body)) {
                if (in_command)
                    steps.back().first += "\n" + line;
                else if (line.rfind("$ ", 0) == 0)
                    steps.push_back({line.substr(2), {}});
                else if (!steps.empty())
                    steps.back().second += line + "\n";
                in_command = (in_command || line.rfind("$ ", 0) == 0) && !line.empty() &&
                             line.back() == '\\';
            }
            for (const auto& [command, expected] : steps)
                EXPECT_EQ(TrimEnd(Shell(command)), TrimEnd(expected)) << "$ " << command;
        } else if (fences[i].info == "python") {
            ++programs;
            ASSERT_LT(i + 1, fences.size()) << "a python example without its output";
            ASSERT_EQ(fences[i + 1].info, "text") << "a python example must be followed by its output";
            const fs::path program = m_dir / ("example" + std::to_string(programs) + ".py");
            std::ofstream(program) << fences[i].body;
            EXPECT_EQ(TrimEnd(Shell("/usr/bin/python3 " + program.string())),
                      TrimEnd(fences[i + 1].body))
                << "example " << programs << ":\n" << fences[i].body;
        }
    }
    EXPECT_GE(consoles, 1);
    EXPECT_GE(programs, 1);
}

// 32 MiB in one "ay" Send crosses the bus and the port and arrives byte-exact.
TEST_F(LiveServer, A32MiBByteArraySendArrivesByteExact)
{
    constexpr size_t kSize = 32u << 20;
    const std::string data = platform::testing::pattern_bytes(kSize, 1);
    const fs::path file = m_dir / "big.bin";
    std::ofstream(file, std::ios::binary).write(data.data(), static_cast<std::streamsize>(kSize));
    StartFarEnd(false);
    EXPECT_EQ(TrimEnd(Client("send " + file.string() + " 1")), "hr 0");
    const std::string received = m_far->WaitFor(kSize, 10000);
    ASSERT_EQ(received.size(), kSize);
    EXPECT_TRUE(received == data) << "the bytes differ from offset "
                                  << std::mismatch(received.begin(), received.end(), data.begin()).first -
                                         received.begin();
}

// A value of any other type than a property's own is refused with InvalidArgs, through
// Properties.Set and through put_<Name>, and leaves the property as it was; Send refuses
// every variant but a byte array and sends nothing.
TEST_F(LiveServer, WrongValueTypesAreRefusedAndChangeNothing)
{
    StartFarEnd(false);
    const std::vector<std::string> lines = Lines(Client("wrong-types 1"));
    ASSERT_FALSE(lines.empty());
    std::map<std::string, int> types;
    for (const std::string& line : lines) {
        if (line.rfind("DONE ", 0) == 0)
            continue;
        std::istringstream words(line);
        std::string name, type, verdict;
        words >> name >> type >> verdict;
        EXPECT_EQ(verdict, "ok") << line;
        ++types[type];
    }
    EXPECT_EQ(lines.back(), "DONE " + std::to_string(lines.size() - 1));
    // Every bus type a writable property has: b, i, u, n and y (BYTE and CHAR).
    EXPECT_EQ(types.size(), 5u);

    for (const std::string& line : Lines(Client("send-wrong 1")))
        EXPECT_TRUE(line == "DONE" || line.find("Ostra.Tethra.Error.E_INVALIDARG") != std::string::npos)
            << line;
    EXPECT_EQ(m_far->WaitFor(1, 300), "");
}

}  // namespace
