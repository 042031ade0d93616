// Shared pieces of the port and registry tests: a recording property sink, a counted
// pointer, and fixtures that map a simulated UART or a pseudo-terminal to a COM number in
// a registry store of their own and open it through a real port registry.
#pragma once

#include "engine/tests/engine_test_support.h"
#include "idl/tethra.h"
#include "platform/com/com.h"
#include "platform/comm/comm.h"
#include "platform/comm/sim_uart.h"
#include "platform/testing/counted.h"
#include "platform/testing/testing.h"
#include "platform/ui/message.h"
#include "server/Module.h"
#include "server/Tethra.h"
#include "trace/trace.h"
#include "traffic/tests/test_sink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Collects the text of every trace record of one category up to a level while it lives,
// as the debug window receives them. Every other traced thread must be done before it
// finishes.
class TraceLines {
public:
    TraceLines(DWORD dwCategory, DWORD dwLevel) : capture_(journal_, dwLevel, dwCategory) {}
    // Stops collecting; every record posted before is in lines() afterwards.
    void finish() { capture_.finish(); }
    std::vector<std::string> lines() { return journal_.entries(); }

private:
    Journal journal_;
    TraceCapture capture_;
};

// An interface pointer that releases its reference.
template <class T>
class Ptr {
public:
    Ptr() = default;
    explicit Ptr(T* p) : p_(p) {}
    ~Ptr() { reset(); }
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    Ptr(Ptr&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    T** put()
    {
        reset();
        return &p_;
    }
    void reset()
    {
        if (p_)
            p_->Release();
        p_ = nullptr;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// An IPropertyNotifySink that records "R<dispid>" for OnRequestEdit and "C<dispid>" for
// OnChanged, answers OnRequestEdit with `answer`, and runs `hook` inside each call (on
// the setter's thread).
class PropertySink : public platform::testing::counted<IPropertyNotifySink> {
public:
    STDMETHODIMP OnRequestEdit(DISPID dispID) override
    {
        record('R', dispID);
        return answer;
    }
    STDMETHODIMP OnChanged(DISPID dispID) override
    {
        record('C', dispID);
        return S_OK;
    }

    // The calls so far, "R25 C25", and forgets them.
    std::string take()
    {
        std::lock_guard lock(mutex_);
        std::string out;
        for (const std::string& call : calls_)
            out += (out.empty() ? "" : " ") + call;
        calls_.clear();
        return out;
    }

    HRESULT answer = S_OK;
    std::function<void(char, DISPID)> hook;

private:
    void record(char kind, DISPID dispID)
    {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(kind + std::to_string(dispID));
        }
        if (hook)
            hook(kind, dispID);
    }

    std::mutex mutex_;
    std::vector<std::string> calls_;
};

// Advises a sink on one of a client object's connection points; the cookie, or 0.
inline DWORD Advise(ISerialPort* pPort, REFIID iid, IUnknown* pSink)
{
    Ptr<IConnectionPointContainer> container;
    if (FAILED(pPort->QueryInterface(IID_IConnectionPointContainer,
                                     reinterpret_cast<void**>(container.put()))))
        return 0;
    Ptr<IConnectionPoint> point;
    if (FAILED(container->FindConnectionPoint(iid, point.put())))
        return 0;
    DWORD dwCookie = 0;
    point->Advise(pSink, &dwCookie);
    return dwCookie;
}

inline HRESULT Unadvise(ISerialPort* pPort, REFIID iid, DWORD dwCookie)
{
    Ptr<IConnectionPointContainer> container;
    pPort->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put()));
    Ptr<IConnectionPoint> point;
    HRESULT hr = container->FindConnectionPoint(iid, point.put());
    return FAILED(hr) ? hr : point->Unadvise(dwCookie);
}

// A VARIANT holding a new VT_UI1 safe array of the bytes; the caller clears it.
inline VARIANT ByteArray(const std::string& bytes)
{
    VARIANT v;
    VariantInit(&v);
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (psa && !bytes.empty())
        std::copy(bytes.begin(), bytes.end(), static_cast<char*>(psa->pvData));
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = psa;
    return v;
}

// A registry store of the test's own and a port registry to open its ports with. Every
// test ends with every object given back: the server's lock count is where it started.
class PortRegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(registry_.ready());
        lock_count_ = _Module.GetLockCount();
    }

    void TearDown() override
    {
        EXPECT_TRUE(tethra_.m_mapPorts.empty());
        EXPECT_EQ(_Module.GetLockCount(), lock_count_);
    }

    // A new client object of COM<number>, with pSink advised on its events when given;
    // fails the test when there is none.
    ISerialPort* OpenNumber(LONG number, IUnknown* pSink)
    {
        ISerialPort* pPort = nullptr;
        EXPECT_EQ(tethra_.CreatePort(number, &pPort), S_OK);
        if (pPort && pSink) {
            EXPECT_NE(Advise(pPort, DIID__ISerialPortEvents, pSink), 0U);
        }
        return pPort;
    }

    platform::testing::temp_registry registry_;
    CTethra tethra_;
    LONG lock_count_ = 0;
};

// A simulated UART mapped to COM<kPort>.
class SimPortTest : public PortRegistryTest {
protected:
    static constexpr LONG kPort = 7;

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(PortRegistryTest::SetUp());
        static std::atomic<int> serial{0};
        uart_ = platform::sim_uart::create("port-test-" + std::to_string(++serial));
        ASSERT_TRUE(uart_);
        ASSERT_EQ(registry_.map_port(uart_->path(), kPort), ERROR_SUCCESS);
    }

    ISerialPort* Open(IUnknown* pSink = nullptr) { return OpenNumber(kPort, pSink); }

    std::shared_ptr<platform::sim_uart> uart_;
};

// A pseudo-terminal mapped to COM<kPort>; the test is the far end on the master.
class PtyPortTest : public PortRegistryTest {
protected:
    static constexpr LONG kPort = 9;

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(PortRegistryTest::SetUp());
        ASSERT_TRUE(peer_.ready());
        ASSERT_EQ(registry_.map_port(peer_.path(), kPort), ERROR_SUCCESS);
    }

    ISerialPort* Open(IUnknown* pSink = nullptr) { return OpenNumber(kPort, pSink); }

    platform::testing::pty_peer peer_;
};
