// Shared port objects opened through CSerialPortManager::Initialize, without a registry,
// on devices mapped to COM numbers in a registry store of the test's own: simulated
// UARTs (to inject events and failures) or pseudo-terminals.
#pragma once

#include "platform/comm/sim_uart.h"
#include "platform/testing/testing.h"
#include "port/SerialPortManager.h"
#include "traffic/PortEventsConnectionPoint.h"
#include "traffic/tests/test_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        EXPECT_TRUE(CPortEventsConnectionPoint::WaitForReapers(60000));
    }

    void map_port(LONG number, const std::string& path)
    {
        ASSERT_EQ(registry_.map_port(path, number), ERROR_SUCCESS);
    }
    // The port after a successful Initialize, its one reference released by TearDown or
    // close(); null when Initialize failed (the object is gone then).
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
    CSerialPortManager* open_sim(LONG number, std::shared_ptr<platform::sim_uart>& uart)
    {
        static int serial = 0;
        uart = platform::sim_uart::create("traffic-test-" + std::to_string(++serial));
        map_port(number, uart->path());
        return open(number);
    }
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
};
