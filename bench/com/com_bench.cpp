// Costs of the object-model calls on the notification and property paths: reference
// counts, connection changes and walks, and Invoke as the notification tasks make it.
// Prints figures; asserts nothing.
#include "idl/tethra.h"
#include "platform/com/com.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

using clock_type = std::chrono::steady_clock;

template <class F>
void measure(const char* what, long iterations, F&& body)
{
    const auto start = clock_type::now();
    body(iterations);
    const std::chrono::duration<double, std::nano> elapsed = clock_type::now() - start;
    std::printf("%-58s %10.0f ns\n", what, elapsed.count() / static_cast<double>(iterations));
}

// A client's event sink that does nothing with what it is told.
class quiet_sink : public platform::dispatch_impl<_ISerialPortEvents>,
                   public IPropertyNotifySink {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == DIID__ISerialPortEvents || riid == IID_IDispatch) {
            *ppv = static_cast<_ISerialPortEvents*>(this);
        } else if (riid == IID_IPropertyNotifySink) {
            *ppv = static_cast<IPropertyNotifySink*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnData(VARIANT) override { return S_OK; }
    STDMETHODIMP OnPortEvent(EventConstants) override { return S_OK; }
    STDMETHODIMP OnError(ErrorConstants) override { return S_OK; }
    STDMETHODIMP OnChanged(DISPID) override { return S_OK; }
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }
};

class host : public IConnectionPointContainer, public platform::ref_counted_object {
public:
    host() : cp(this, object_lock(), IID_IPropertyNotifySink) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        static constexpr platform::interface_entry table[] = {
            platform::interface_entry_of<host, IUnknown, IConnectionPointContainer>(),
            platform::interface_entry_of<host, IConnectionPointContainer>(),
        };
        return platform::query_interface(this, table, riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return internal_add_ref(); }
    STDMETHODIMP_(ULONG) Release() override { return release_object(); }
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID, IConnectionPoint**) override { return E_NOTIMPL; }

    platform::connection_point cp;
};

}  // namespace

int main()
{
    std::printf("per operation:\n");
    auto* object = new host;
    object->AddRef();
    measure("AddRef + Release", 5000000, [&](long n) {
        for (long i = 0; i < n; ++i) {
            object->AddRef();
            object->Release();
        }
    });
    IUnknown* unk = nullptr;
    measure("QueryInterface (second row) + Release", 2000000, [&](long n) {
        for (long i = 0; i < n; ++i) {
            object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&unk));
            unk->Release();
        }
    });

    quiet_sink sinks[8];
    measure("Advise + Unadvise (IPropertyNotifySink)", 500000, [&](long n) {
        for (long i = 0; i < n; ++i) {
            DWORD cookie = 0;
            object->cp.Advise(static_cast<_ISerialPortEvents*>(&sinks[0]), &cookie);
            object->cp.Unadvise(cookie);
        }
    });
    for (quiet_sink& sink : sinks) {
        DWORD cookie = 0;
        object->cp.Advise(static_cast<_ISerialPortEvents*>(&sink), &cookie);
    }
    measure("EnumConnections + walk of 8 connections (a change pass)", 200000, [&](long n) {
        for (long i = 0; i < n; ++i) {
            IEnumConnections* e = nullptr;
            object->cp.EnumConnections(&e);
            CONNECTDATA cd;
            while (e->Next(1, &cd, nullptr) == S_OK) {
                IPropertyNotifySink* sink = nullptr;
                cd.pUnk->QueryInterface(IID_IPropertyNotifySink, reinterpret_cast<void**>(&sink));
                sink->OnChanged(25);
                sink->Release();
                cd.pUnk->Release();
            }
            e->Release();
        }
    });

    IDispatch* disp = static_cast<_ISerialPortEvents*>(&sinks[0]);
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_I4;
    arg.lVal = spoDSREvent;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    measure("Invoke OnPortEvent (VT_I4)", 2000000, [&](long n) {
        for (long i = 0; i < n; ++i)
            disp->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    });
    unsigned char bytes[512] = {};
    measure("OnData of 512 bytes: safe array, copy, Invoke, destroy", 1000000, [&](long n) {
        for (long i = 0; i < n; ++i) {
            VARIANT data;
            VariantInit(&data);
            data.vt = VT_ARRAY | VT_UI1;
            data.parray = SafeArrayCreateVector(VT_UI1, 0, sizeof bytes);
            void* block = nullptr;
            SafeArrayAccessData(data.parray, &block);
            std::memcpy(block, bytes, sizeof bytes);
            SafeArrayUnaccessData(data.parray);
            DISPPARAMS one{&data, nullptr, 1, 0};
            disp->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr);
            SafeArrayDestroy(data.parray);
        }
    });
    VARIANT from, to;
    VariantInit(&from);
    VariantInit(&to);
    from.vt = VT_I2;
    from.iVal = 25;
    measure("VariantChangeType VT_I2 -> VT_UI4", 5000000, [&](long n) {
        for (long i = 0; i < n; ++i)
            VariantChangeType(&to, &from, 0, VT_UI4);
    });
    object->Release();
    return 0;
}
