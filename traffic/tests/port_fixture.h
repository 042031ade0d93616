// A test gets a registry store of its own in a temporary directory, a port map in it,
// and shared port objects opened through CSerialPortManager::Initialize on devices mapped
// to COM numbers: simulated UARTs (to inject events and errors) or pseudo-terminals.
#pragma once

#include "platform/comm/sim_uart.h"
#include "platform/testing/testing.h"
#include "port/SerialPortManager.h"
#include "traffic/PortEventsConnectionPoint.h"
#include "traffic/tests/test_sink.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

class PortFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(registry_.ready()); }

    void TearDown() override
    {
        for (CSerialPortManager* port : ports_)
            port->Release();
        ports_.clear();
        EXPECT_TRUE(CPortEventsConnectionPoint::WaitForReapers(60000));
    }

    // Maps device path to COM<number> in the port map.
    void map_port(LONG number, const std::string& path)
    {
        ASSERT_EQ(registry_.map_port(path, number), ERROR_SUCCESS);
    }

    // A shared port object with the registry's reference held by the fixture (released
    // in TearDown), after Initialize; null when Initialize failed (the object is gone).
    CSerialPortManager* open(LONG number)
    {
        auto* port = new CSerialPortManager;
        port->AddRef();
        if (!port->Initialize(number, nullptr)) {
            port->Release();
            return nullptr;
        }
        ports_.push_back(port);
        return port;
    }

    // A simulated UART mapped to COM<number> and a port opened on it.
    CSerialPortManager* open_sim(LONG number, std::shared_ptr<platform::sim_uart>& uart)
    {
        static int serial = 0;
        uart = platform::sim_uart::create("traffic-test-" + std::to_string(++serial));
        EXPECT_TRUE(uart);
        map_port(number, uart->path());
        return open(number);
    }

    // Ends a port now (as the registry's last release would).
    void close(CSerialPortManager* port)
    {
        std::erase(ports_, port);
        port->Release();
    }

    static DWORD advise(CSerialPortManager* port, TestSink& sink)
    {
        DWORD cookie = 0;
        EXPECT_EQ(port->m_cpPortEvents.Advise(&sink, &cookie), S_OK);
        return cookie;
    }

    // Short read time-outs so that received bytes are delivered at once.
    static void quick_reads(CSerialPortManager* port)
    {
        COMMTIMEOUTS t{};
        ASSERT_TRUE(GetCommTimeouts(port->m_hComm, &t));
        t.ReadIntervalTimeout = 5;
        ASSERT_TRUE(SetCommTimeouts(port->m_hComm, &t));
    }

    // All OnData bytes a sink received so far, in order.
    static std::string received(TestSink& sink)
    {
        std::string all;
        for (const SinkCall& c : sink.calls())
            if (c.dispid == 1)
                all += c.bytes;
        return all;
    }
    static bool wait_received(TestSink& sink, const std::string& bytes)
    {
        return sink.wait([&] { return received(sink) == bytes; });
    }

    platform::testing::temp_registry registry_;
    std::vector<CSerialPortManager*> ports_;
};

inline HANDLE open_device(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// A VT_ARRAY | VT_UI1 variant that owns its array.
struct ByteVariant {
    VARIANT v;
    explicit ByteVariant(const std::string& bytes)
    {
        VariantInit(&v);
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        if (!bytes.empty())
            std::memcpy(v.parray->pvData, bytes.data(), bytes.size());
    }
    ~ByteVariant() { VariantClear(&v); }
    ByteVariant(const ByteVariant&) = delete;
    ByteVariant& operator=(const ByteVariant&) = delete;
};
