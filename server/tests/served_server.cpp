#include "server/tests/served_server.h"

#include "platform/testing/process.h"
#include "traffic/tests/test_sink.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace reliability {
namespace {

namespace fs = std::filesystem;
using platform::testing::process_figures;

const char* const kSanitizerOptions[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"};

std::string random_name()
{
    std::random_device device;
    char name[32];
    std::snprintf(name, sizeof name, "tethra-served-%08x", device());
    return name;
}

}  // namespace

served_server::served_server(const std::string& server, int ports)
{
    dir_ = (fs::temp_directory_path() / random_name()).string();
    std::error_code ec;
    fs::create_directories(dir_ + "/data", ec);
    if (ec || !registry_.ready()) {
        error_ = "no temporary directory or registry store";
        return;
    }
    platform::testing::set_environment("XDG_DATA_HOME", (dir_ + "/data").c_str());
    if (platform::testing::run_program({server, "-RegServer"}) != 0) {
        error_ = server + " -RegServer failed";
        return;
    }
    for (int i = 1; i <= ports; ++i) {
        pairs_.push_back(std::make_unique<platform::testing::socat_pair>());
        if (!pairs_.back()->ready() ||
            registry_.map_port(pairs_.back()->device(), i) != ERROR_SUCCESS) {
            error_ = "socat pair " + std::to_string(i) + " is missing";
            return;
        }
    }
    // The bus daemon passes its environment on to the server it starts: the sanitizer
    // options name the report files there, and this process goes on with its own.
    std::vector<std::pair<const char*, std::string>> saved;
    for (const char* name : kSanitizerOptions) {
        const char* value = std::getenv(name);
        saved.emplace_back(name, value ? value : "");
        std::string options = value && *value ? std::string(value) + ":" : std::string();
        options += "log_path=" + dir_ + "/sanitizer";
        platform::testing::set_environment(name, options.c_str());
    }
    // Blocks of 128 KiB and more come from and go back to the system at once, and the
    // threads share two arenas: the server's resident memory then follows what it holds
    // rather than what the allocator kept from its busiest moment.
    for (const auto& [name, value] : {std::pair{"MALLOC_MMAP_THRESHOLD_", "131072"},
                                      std::pair{"MALLOC_ARENA_MAX", "2"}}) {
        const char* old = std::getenv(name);
        saved.emplace_back(name, old ? old : "");
        platform::testing::set_environment(name, value);
    }
    bus_ = std::make_unique<platform::rpc::testing::private_bus>();
    for (const auto& [name, value] : saved)
        platform::testing::set_environment(name, value.empty() ? nullptr : value.c_str());
    if (!bus_->ready()) {
        error_ = "no private bus";
        return;
    }
    fs::copy_file(dir_ + "/data/dbus-1/services/Ostra.Tethra.service",
                  fs::path(bus_->service_dir()) / "Ostra.Tethra.service", ec);
    if (ec) {
        error_ = "no activation file";
        return;
    }
    const HRESULT hr = CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                        reinterpret_cast<void**>(&tethra_));
    if (FAILED(hr)) {
        error_ = "CoCreateInstance failed";
        return;
    }
    pid_ = platform::testing::name_owner_pid(bus_->address());
    if (pid_ <= 0)
        error_ = "the server's process is unknown";
}

served_server::~served_server()
{
    if (tethra_)
        tethra_->Release();
    if (pid_ > 0 && !platform::testing::wait_process_end(pid_, 10000))
        platform::testing::kill_process(pid_);
    bus_.reset();
    pairs_.clear();
    platform::testing::set_environment("XDG_DATA_HOME", nullptr);
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

process_figures served_server::settle(int threads, int fds, unsigned timeout_ms) const
{
    // Another process's figures offer nothing to wait on: sample them.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const process_figures now = figures();
        if ((now.threads <= threads && now.fds <= fds) || std::chrono::steady_clock::now() >= end)
            return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool served_server::finish(unsigned timeout_ms)
{
    if (tethra_)
        tethra_->Release();
    tethra_ = nullptr;
    return pid_ > 0 && platform::testing::wait_process_end(pid_, timeout_ms);
}

std::string served_server::sanitizer_reports() const
{
    std::string reports;
    std::error_code ec;
    for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().rfind("sanitizer", 0) != 0)
            continue;
        reports += platform::testing::read_file(it->path());
    }
    return reports;
}

std::string check_normal_client(served_server& server, LONG number)
{
    platform::testing::socat_pair& pair = server.pair(number);
    ISerialPort* pPort = nullptr;
    if (server.tethra()->CreatePort(number, &pPort) != S_OK)
        return "CreatePort failed";
    std::string failure;
    TestSink sink;
    IConnectionPointContainer* pContainer = nullptr;
    IConnectionPoint* pPoint = nullptr;
    DWORD dwCookie = 0;
    if (pPort->QueryInterface(IID_IConnectionPointContainer,
                              reinterpret_cast<void**>(&pContainer)) != S_OK ||
        pContainer->FindConnectionPoint(DIID__ISerialPortEvents, &pPoint) != S_OK ||
        pPoint->Advise(&sink, &dwCookie) != S_OK)
        failure = "advising failed";

    // Whatever the far end still held from before goes first.
    pair.drain(300);
    std::string sent(4096, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    if (failure.empty()) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(sent.size()));
        std::copy(sent.begin(), sent.end(), static_cast<char*>(v.parray->pvData));
        const HRESULT hr = pPort->Send(v, VARIANT_TRUE);
        VariantClear(&v);
        if (hr != S_OK)
            failure = "Send failed";
        else if (pair.receive(sent.size(), 5000) != sent)
            failure = "the far end did not receive the bytes sent";
    }
    if (failure.empty()) {
        // Bytes the port held from before arrive at once; the comparison starts after them.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::size_t before = sink.count();
        std::string far(4096, '\0');
        for (std::size_t i = 0; i < far.size(); ++i)
            far[i] = static_cast<char>((i * 13 + 5) & 0xFF);
        pair.send(far);
        std::string received;
        sink.wait([&] {
            received.clear();
            const std::vector<SinkCall> calls = sink.calls();
            for (std::size_t i = before; i < calls.size(); ++i)
                if (calls[i].dispid == 1)
                    received += calls[i].bytes;
            return received.size() >= far.size();
        });
        if (received != far)
            failure = "the sink received " + std::to_string(received.size()) +
                      " bytes, not the 4096 the far end sent";
    }
    ULONG lBaud = 0;
    if (failure.empty() &&
        (pPort->put_BaudRate(19200) != S_OK || pPort->get_BaudRate(&lBaud) != S_OK ||
         lBaud != 19200))
        failure = "BaudRate did not change to 19200";
    if (pPoint) {
        if (dwCookie)
            pPoint->Unadvise(dwCookie);
        pPoint->Release();
    }
    if (pContainer)
        pContainer->Release();
    pPort->Release();
    return failure;
}

}  // namespace reliability
