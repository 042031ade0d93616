// The class object of Tethra: a singleton that holds the process's one port registry.
// It is not counted (it lives as long as the process); the registry's references and the
// clients' locks are the server module's.
#pragma once

#include "server/Tethra.h"

class CTethraClassObject : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // The registry itself, for IID_IUnknown, IID_IDispatch and IID_ITethra, with one
    // reference (a Lock); CLASS_E_NOAGGREGATION for an outer object.
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    // Lock or Unlock of the server module.
    STDMETHODIMP LockServer(BOOL fLock) override;

    // The process's class object, made on first use.
    static IClassFactory* GetClassObject();

private:
    CTethra m_tethra;
};
