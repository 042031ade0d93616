// A second client process for the tests: it opens the port given as its argument through
// the client library, advises a property sink that refuses every change (S_FALSE from
// OnRequestEdit), prints "ready" and holds everything until it is killed.
#include "platform/com/tests/test_objects.h"
#include "platform/rpc/client/client.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    ITethra* pTethra = nullptr;
    ISerialPort* pPort = nullptr;
    IConnectionPointContainer* pContainer = nullptr;
    IConnectionPoint* pPoint = nullptr;
    static recording_sink s_sink;
    s_sink.request_result = S_FALSE;
    DWORD dwCookie = 0;
    if (FAILED(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                reinterpret_cast<void**>(&pTethra))) ||
        FAILED(pTethra->CreatePort(std::atoi(argv[1]), &pPort)) ||
        FAILED(pPort->QueryInterface(IID_IConnectionPointContainer,
                                     reinterpret_cast<void**>(&pContainer))) ||
        FAILED(pContainer->FindConnectionPoint(IID_IPropertyNotifySink, &pPoint)) ||
        FAILED(pPoint->Advise(&s_sink, &dwCookie)))
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
