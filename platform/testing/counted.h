// An object of one interface that lives on a test's stack: QueryInterface answers IUnknown
// and Interface, and refs counts the references the code under test takes and gives back.
// Base is what the object derives from (Interface itself, or an implementation of it).
//
// For tests only, header-only: the programs that include it link the COM layer already.
#pragma once

#include "platform/com/interfaces.h"

#include <atomic>

namespace platform::testing {

template <class Interface, class Base = Interface>
class counted : public Base {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = riid == IID_IUnknown || riid == interface_traits<Interface>::iid
                   ? static_cast<Interface*>(this)
                   : nullptr;
        if (!*ppv)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }

    std::atomic<ULONG> refs{0};
};

}  // namespace platform::testing
