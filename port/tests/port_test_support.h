// Shared pieces of the port and registry tests: a recording property sink, a counted
// pointer, and a fixture that maps a simulated UART to a COM number in a registry store
// of its own and opens it through a real port registry.
#pragma once

#include "idl/tethra.h"
#include "platform/com/com.h"
#include "platform/comm/comm.h"
#include "platform/comm/sim_uart.h"
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
// through a message-only window served by a thread of its own, as the debug window
// receives them. Every other traced thread must be done before it finishes.
class TraceLines {
public:
    TraceLines(DWORD dwCategory, DWORD dwLevel)
    {
        HANDLE hReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, hReady] {
            HWND hWnd = CreateMessageWindow(&Receive);
            thread_id_ = GetCurrentThreadId();
            window_ = hWnd;
            SetEvent(hReady);
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0)
                DispatchMessageA(&msg);
            DestroyWindow(hWnd);
        });
        WaitForSingleObject(hReady, INFINITE);
        CloseHandle(hReady);
        current() = this;
        atlTraceLevel = dwLevel;
        atlTraceCat = dwCategory;
        g_hDebugWnd = window_;
    }
    ~TraceLines() { finish(); }
    // Stops collecting; every record posted before is in lines() afterwards.
    void finish()
    {
        if (!thread_.joinable())
            return;
        atlTraceCat = 0;
        atlTraceLevel = 0;
        g_hDebugWnd = nullptr;
        PostThreadMessageA(thread_id_, WM_QUIT, 0, 0);
        thread_.join();
        current() = nullptr;
    }
    std::vector<std::string> lines()
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    static TraceLines*& current()
    {
        static TraceLines* instance = nullptr;
        return instance;
    }
    static LRESULT Receive(HWND, UINT uMsg, WPARAM, LPARAM lParam)
    {
        if (uMsg == WM_DEBUG_MESSAGE) {
            auto* record = reinterpret_cast<CTraceMessage*>(lParam);
            {
                std::lock_guard lock(current()->mutex_);
                current()->lines_.push_back(record->m_pszText);
            }
            delete record;
        }
        return 0;
    }

    std::thread thread_;
    DWORD thread_id_ = 0;
    HWND window_ = nullptr;
    std::mutex mutex_;
    std::vector<std::string> lines_;
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
class PropertySink : public IPropertyNotifySink {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPropertyNotifySink) {
            *ppv = static_cast<IPropertyNotifySink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
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

    std::atomic<ULONG> refs{0};
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

// Every byte the sink received through OnData, in order.
inline std::string Received(TestSink& sink)
{
    std::string bytes;
    for (const SinkCall& call : sink.calls())
        if (call.dispid == 1)
            bytes += call.bytes;
    return bytes;
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

// A simulated UART mapped to COM<kPort> in a registry store of the test's own, and a
// port registry to open it with. Every test ends with every object given back: the
// server's lock count is where it started.
class SimPortTest : public ::testing::Test {
protected:
    static constexpr LONG kPort = 7;

    void SetUp() override
    {
        ASSERT_TRUE(registry_.ready());
        static std::atomic<int> serial{0};
        uart_ = platform::sim_uart::create("port-test-" + std::to_string(++serial));
        ASSERT_TRUE(uart_);
        ASSERT_EQ(registry_.map_port(uart_->path(), kPort), ERROR_SUCCESS);
        lock_count_ = _Module.GetLockCount();
    }

    void TearDown() override
    {
        EXPECT_TRUE(tethra_.m_mapPorts.empty());
        EXPECT_EQ(_Module.GetLockCount(), lock_count_);
    }

    // A new client object of COM<kPort>; fails the test when there is none.
    ISerialPort* Open()
    {
        ISerialPort* pPort = nullptr;
        EXPECT_EQ(tethra_.CreatePort(kPort, &pPort), S_OK);
        return pPort;
    }

    platform::testing::temp_registry registry_;
    std::shared_ptr<platform::sim_uart> uart_;
    CTethra tethra_;
    LONG lock_count_ = 0;
};
