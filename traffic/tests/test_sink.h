// An in-process client sink for the tests: implements _ISerialPortEvents through
// IDispatch and records every call it receives, with the argument as it arrived in
// DISPPARAMS and the thread it arrived on. A hook lets a test act inside OnData (block,
// disconnect). Lives on the stack or the heap; its reference count shows what the code
// under test took and gave back.
#pragma once

#include "idl/tethra.h"
#include "platform/com/com.h"
#include "platform/sync/sync.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct SinkCall {
    DISPID dispid = 0;          // 1 OnData, 2 OnPortEvent, 3 OnError
    VARTYPE vt = VT_EMPTY;      // the argument's type as it arrived
    std::string bytes;          // OnData's bytes
    SAFEARRAY* array = nullptr; // OnData's array (for telling arrays apart)
    LONG code = 0;              // OnPortEvent's and OnError's code
    DWORD thread = 0;           // GetCurrentThreadId of the calling thread
};

class TestSink : public platform::dispatch_impl<_ISerialPortEvents> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__ISerialPortEvents) {
            *ppv = static_cast<_ISerialPortEvents*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG n = --refs;
        notify();
        return n;
    }

    // Records the raw argument, then lets the type-driven IDispatch call the method.
    STDMETHODIMP Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep, UINT* argerr) override
    {
        SinkCall call;
        call.dispid = dispid;
        call.thread = GetCurrentThreadId();
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
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(call);
        }
        notify();
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
    std::size_t count()
    {
        std::lock_guard lock(mutex_);
        return calls_.size();
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
    bool wait_refs(ULONG n) { return wait([&] { return refs.load() == n; }); }

    // Lets a handler block until the test opens it.
    void block()
    {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void unblock()
    {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void wait_open()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return open_; });
    }

    std::atomic<ULONG> refs{0};
    std::function<void()> on_data;  // runs inside OnData, on the notification thread
    HRESULT result = S_OK;          // what every handler returns

private:
    void notify()
    {
        { std::lock_guard lock(mutex_); }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SinkCall> calls_;
    bool open_ = true;
};

// An object that offers no _ISerialPortEvents.
class PlainUnknown : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    std::atomic<ULONG> refs{0};
};

// The calls as "D:<bytes>", "E:<code>" (OnPortEvent) and "X:<code>" (OnError).
inline std::vector<std::string> summary(const std::vector<SinkCall>& calls)
{
    std::vector<std::string> out;
    for (const SinkCall& c : calls) {
        if (c.dispid == 1)
            out.push_back("D:" + c.bytes);
        else
            out.push_back((c.dispid == 2 ? "E:" : "X:") + std::to_string(c.code));
    }
    return out;
}
