// Small real objects for the tests: an IUnknown that counts its references and a
// property sink that records what it is told.
#pragma once

#include "platform/com/interfaces.h"
#include "platform/testing/counted.h"

#include <mutex>
#include <vector>

// Lives on the stack; its count shows what the code under test took and gave back.
using counted_unknown = platform::testing::counted<IUnknown>;

class recording_sink : public platform::testing::counted<IPropertyNotifySink> {
public:
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

    std::mutex mutex;
    std::vector<DISPID> changed;
    std::vector<DISPID> requested;
    HRESULT request_result = S_OK;
};
