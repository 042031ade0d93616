// A client that creates the port registry, says "holding" and then holds its reference
// until it is killed.
#include "platform/rpc/client/client.h"
#include "platform/sync/sync.h"

#include <cstdio>

int main()
{
    ITethra* pTethra = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                        reinterpret_cast<void**>(&pTethra));
    if (FAILED(hr)) {
        std::printf("failed 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    // Never signalled: the process waits here until it is killed.
    WaitForSingleObject(CreateEventA(nullptr, TRUE, FALSE, nullptr), INFINITE);
    return 0;
}
