// Small real objects for the tests: an IUnknown that counts its references and a
// property sink that records what it is told.
#pragma once

#include "platform/com/interfaces.h"

#include <atomic>
#include <mutex>
#include <vector>

// Lives on the stack; its count shows what the code under test took and gave back.
class counted_unknown : public IUnknown {
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

class recording_sink : public IPropertyNotifySink {
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
    STDMETHODIMP OnChanged(DISPID dispID) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        changed.push_back(dispID);
        return S_OK;
    }
    STDMETHODIMP OnRequestEdit(DISPID dispID) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        requested.push_back(dispID);
        return request_result;
    }

    std::atomic<ULONG> refs{0};
    std::mutex mutex;
    std::vector<DISPID> changed;
    std::vector<DISPID> requested;
    HRESULT request_result = S_OK;
};
