// The server side of the client library's end-to-end tests: the port registry behind the
// class object of Tethra, served on the bus by the runtime, in a process of its own. It
// prints "ready" once it owns "Ostra.Tethra"; on SIGUSR1 it lets the name go (printing
// "suspended") and goes on serving; it ends on SIGTERM, giving everything back.
#include "platform/rpc/rpc.h"
#include "server/Module.h"
#include "server/Tethra.h"

#include <signal.h>

#include <cstdio>

namespace {

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
        return pUnkOuter ? CLASS_E_NOAGGREGATION : m_tethra.QueryInterface(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL fLock) override
    {
        fLock ? _Module.Lock() : _Module.Unlock();
        return S_OK;
    }

private:
    CTethra m_tethra;
};

}  // namespace

int main()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before the runtime starts its threads

    static TethraFactory s_factory;
    DWORD dwCookie = 0;
    if (FAILED(CoRegisterClassObject(CLSID_Tethra, &s_factory, CLSCTX_LOCAL_SERVER,
                                     REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &dwCookie)) ||
        FAILED(CoResumeClassObjects()))
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);

    int signal = 0;
    while (sigwait(&set, &signal) == 0 && signal == SIGUSR1) {
        CoSuspendClassObjects();
        std::printf("suspended\n");
        std::fflush(stdout);
    }
    CoRevokeClassObject(dwCookie);
    platform::rpc::stop_server();
    return 0;
}
