#include "server/TethraClassObject.h"

#include "server/Module.h"

STDMETHODIMP CTethraClassObject::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory)
        return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
}

STDMETHODIMP_(ULONG) CTethraClassObject::AddRef()
{
    return 2;
}

STDMETHODIMP_(ULONG) CTethraClassObject::Release()
{
    return 1;
}

STDMETHODIMP CTethraClassObject::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    return pUnkOuter ? CLASS_E_NOAGGREGATION : m_tethra.QueryInterface(riid, ppv);
}

STDMETHODIMP CTethraClassObject::LockServer(BOOL fLock)
{
    fLock ? _Module.Lock() : _Module.Unlock();
    return S_OK;
}

IClassFactory* CTethraClassObject::GetClassObject()
{
    // Destroyed after main returns, when the runtime has let it go.
    static CTethraClassObject s_classObject;
    return &s_classObject;
}
