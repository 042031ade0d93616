// The class object of the port registry as the server host registers it, for the bus
// tests and benchmarks: a registry that lives inside the class object, whose locks are
// the server module's.
#pragma once

#include "idl/tethra.h"
#include "server/Module.h"
#include "server/Tethra.h"

class TethraFactory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory)
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        return pUnkOuter ? CLASS_E_NOAGGREGATION : tethra.QueryInterface(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL fLock) override
    {
        fLock ? _Module.Lock() : _Module.Unlock();
        return S_OK;
    }
    CTethra tethra;
};

