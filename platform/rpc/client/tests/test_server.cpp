// The server side of the client library's end-to-end tests: the port registry behind the
// class object of Tethra, served on the bus by the runtime, in a process of its own. It
// prints "ready" once it owns "Ostra.Tethra"; on SIGUSR1 it lets the name go (printing
// "suspended") and goes on serving; it ends on SIGTERM, giving everything back.
#include "platform/rpc/rpc.h"
#include "platform/rpc/tests/tethra_factory.h"

#include <signal.h>

#include <cstdio>

int main()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before the runtime starts its threads

    static TethraFactory s_factory;  // the registry lives inside it
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
