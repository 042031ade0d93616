// An in-process client sink for the tests: implements _ISerialPortEvents through the
// type-driven IDispatch and records every call, with the argument as it arrived in
// DISPPARAMS and the calling thread. on_data lets a test act inside OnData (block,
// disconnect); its reference count shows what the code under test took and gave back.
#pragma once

#include "idl/tethra.h"
#include "platform/com/com.h"
#include "platform/testing/counted.h"
#include "platform/sync/sync.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct SinkCall {
    DISPID dispid = 0;           // 1 OnData, 2 OnPortEvent, 3 OnError
    VARTYPE vt = VT_EMPTY;       // the argument's type as it arrived
    std::string bytes;           // OnData's bytes
    SAFEARRAY* array = nullptr;  // OnData's array, to tell arrays apart
    LONG code = 0;               // OnPortEvent's and OnError's code
    DWORD thread = 0;            // the calling thread
};

// The IUnknown of an in-process _ISerialPortEvents sink that lives on a test's or a
// benchmark's stack. It counts the references the code under test takes and gives back.
// A notification already under way when its connection goes keeps its own reference
// until the call returns, so every derived sink's destructor waits for wait_refs(0)
// before anything of it goes away.
class SinkBase : public platform::dispatch_impl<_ISerialPortEvents> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch && riid != DIID__ISerialPortEvents)
            return E_NOINTERFACE;
        *ppv = static_cast<_ISerialPortEvents*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return counted(true); }
    STDMETHODIMP_(ULONG) Release() override { return counted(false); }

    // Waits, with a bound generous enough for any machine, until the count is n.
    bool wait_refs(ULONG n)
    {
        std::unique_lock lock(refs_mutex_);
        return refs_changed_.wait_for(lock, std::chrono::seconds(60),
                                      [&] { return refs.load() == n; });
    }

    std::atomic<ULONG> refs{0};

private:
    ULONG counted(bool up)
    {
        std::lock_guard lock(refs_mutex_);
        const ULONG n = up ? ++refs : --refs;
        refs_changed_.notify_all();
        return n;
    }

    std::mutex refs_mutex_;
    std::condition_variable refs_changed_;
};

class TestSink : public SinkBase {
public:
    ~TestSink() { wait_refs(0); }

    STDMETHODIMP Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep, UINT* argerr) override
    {
        SinkCall call{dispid, VT_EMPTY, {}, nullptr, 0, GetCurrentThreadId()};
        if (params && params->cArgs == 1) {
            const VARIANT& v = params->rgvarg[0];
            call.vt = v.vt;
            if (v.vt == (VT_ARRAY | VT_UI1) && v.parray) {
                call.array = v.parray;
                call.bytes.assign(static_cast<const char*>(v.parray->pvData),
                                  v.parray->rgsabound[0].cElements);
            } else if (v.vt == VT_I4) {
                call.code = v.lVal;
            }
        }
        changed([&] { calls_.push_back(call); });
        return platform::dispatch_impl<_ISerialPortEvents>::Invoke(dispid, riid, lcid, flags,
                                                                   params, result, excep, argerr);
    }
    STDMETHODIMP OnData(VARIANT) override
    {
        if (on_data)
            on_data();
        return result;
    }
    STDMETHODIMP OnPortEvent(EventConstants) override { return result; }
    STDMETHODIMP OnError(ErrorConstants) override { return result; }

    std::vector<SinkCall> calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::size_t count() { return calls().size(); }
    // How many calls of dispid carried the code.
    int count(DISPID dispid, LONG code)
    {
        int n = 0;
        for (const SinkCall& call : calls())
            n += call.dispid == dispid && call.code == code;
        return n;
    }
    // Waits, with a bound generous enough for any machine, until pred holds.
    bool wait(const std::function<bool()>& pred)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] {
            lock.unlock();
            bool done = pred();
            lock.lock();
            return done;
        });
    }
    bool wait_calls(std::size_t n) { return wait([&] { return count() >= n; }); }
    // Every byte OnData brought so far, in order.
    std::string received()
    {
        std::string bytes;
        for (const SinkCall& call : calls())
            bytes += call.dispid == 1 ? call.bytes : "";
        return bytes;
    }
    bool wait_received(const std::string& bytes)
    {
        return wait([&] { return received() == bytes; });
    }
    bool wait_call(DISPID dispid, LONG code)
    {
        return wait([&] { return count(dispid, code) > 0; });
    }

    // A handler that calls wait_open() blocks from block() until unblock().
    void block() { changed([&] { open_ = false; }); }
    void unblock() { changed([&] { open_ = true; }); }
    void wait_open()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return open_; });
    }

    std::function<void()> on_data;  // runs inside OnData, on the notification thread
    HRESULT result = S_OK;          // what every handler returns

private:
    void changed(const std::function<void()>& change = [] {})
    {
        {
            std::lock_guard lock(mutex_);
            change();
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SinkCall> calls_;
    bool open_ = true;
};

// Keeps OnData's bytes in one string and where each OnError came, cheap to wait on for
// a long stream; OnData waits while the sink is blocked. OnPortEvent is not kept.
class StreamSink : public SinkBase {
public:
    ~StreamSink() { wait_refs(0); }

    STDMETHODIMP OnData(VARIANT data) override
    {
        if (data.vt != (VT_ARRAY | VT_UI1) || !data.parray)
            return E_INVALIDARG;
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
        bytes_.append(static_cast<const char*>(data.parray->pvData),
                      data.parray->rgsabound[0].cElements);
        changed_.notify_all();
        return S_OK;
    }
    STDMETHODIMP OnPortEvent(EventConstants) override { return S_OK; }
    STDMETHODIMP OnError(ErrorConstants code) override
    {
        std::lock_guard lock(mutex_);
        codes_.push_back({bytes_.size(), code});
        return S_OK;
    }

    void block() { set_open(false); }
    void unblock() { set_open(true); }
    // Waits, with a generous bound, until pred(bytes) holds; the bytes so far.
    template <class Pred>
    std::string wait_until(Pred pred)
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(120), [&] { return pred(bytes_); });
        return bytes_;
    }
    // Waits, with a generous bound, until at least count bytes have arrived; the bytes.
    std::string wait_bytes(std::size_t count)
    {
        return wait_until([count](const std::string& bytes) { return bytes.size() >= count; });
    }
    // Every OnError: the number of bytes before it, and its code.
    std::vector<std::pair<std::size_t, LONG>> codes()
    {
        std::lock_guard lock(mutex_);
        return codes_;
    }

private:
    void set_open(bool open)
    {
        {
            std::lock_guard lock(mutex_);
            open_ = open;
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string bytes_;
    std::vector<std::pair<std::size_t, LONG>> codes_;
    bool open_ = true;
};

// An object that offers no _ISerialPortEvents.
using PlainUnknown = platform::testing::counted<IUnknown>;

// The calls as "D:<bytes>", "E:<code>" (OnPortEvent) and "X:<code>" (OnError).
inline std::vector<std::string> summary(const std::vector<SinkCall>& calls)
{
    std::vector<std::string> out;
    for (const SinkCall& c : calls)
        out.push_back(c.dispid == 1 ? "D:" + c.bytes
                                    : (c.dispid == 2 ? "E:" : "X:") + std::to_string(c.code));
    return out;
}
