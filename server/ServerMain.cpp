// tethra-server: the server executable.
//
// Started by the bus on a client's first call (with "-Embedding") or by hand. It serves
// the Tethra class until no object has been in use for 5 seconds. "-RegServer" and
// "-UnregServer" write or remove its registration and end at once; the exit code is 0 on
// success, else the failed HRESULT's low byte (1 when that is 0), and the HRESULT is
// written to standard error.
#include "idl/tethra.h"
#include "platform/rpc/rpc.h"
#include "platform/ui/event_loop.h"
#include "server/CommandLine.h"
#include "server/DebugWindow.h"
#include "server/Module.h"
#include "server/Registration.h"
#include "server/TethraClassObject.h"
#include "trace/trace.h"

#include <cstdio>
#include <string>

namespace {

_ServerClassEntry g_ClassTable[] = {
    {&CLSID_Tethra, &CTethraClassObject::GetClassObject, &UpdateTethraRegistry, 0},
    // SerialPort and SerialPortManager objects are made only by the port registry.
    {&CLSID_SerialPort, nullptr, nullptr, 0},
    {&CLSID_SerialPortManager, nullptr, nullptr, 0},
    {nullptr, nullptr, nullptr, 0},
};

int ExitCodeOf(HRESULT hr)
{
    if (SUCCEEDED(hr))
        return 0;
    std::fprintf(stderr, "tethra-server: failed with 0x%08X\n", static_cast<unsigned>(hr));
    const int nCode = static_cast<int>(static_cast<DWORD>(hr) & 0xFF);
    return nCode ? nCode : 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    // 1. The trace globals.
    atlTraceLevel = 0;
    atlTraceCat = 0;
    g_hDebugWnd = nullptr;
    // 2. The multithreaded apartment; its result does not matter.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // 3. The module.
    _Module.Init(g_ClassTable, &LIBID_TETHRALIBRARYLib);

    // 4. The command line: the arguments as one line.
    std::string strCmdLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            strCmdLine += ' ';
        strCmdLine += argv[i];
    }
    BOOL bDebug = FALSE;
    const ServerAction action = ScanCommandLine(strCmdLine.c_str(), &bDebug);
    if (action != ServerAction::Run) {
        const HRESULT hr = action == ServerAction::RegServer ? _Module.RegisterServer(TRUE)
                                                             : _Module.UnregisterServer();
        _Module.Term();
        CoUninitialize();
        return ExitCodeOf(hr);
    }

    // The main thread's loop is Qt's; its application object, the process's only one,
    // comes before the window and before the runtime, which then serves the bus on a
    // thread of that application. With "-Debug" it is a widgets application when there
    // is a display.
    platform::StartApplication(bDebug);

    // 5. The shutdown monitor.
    const BOOL bMonitorStarted = _Module.StartMonitor();
    // 6. The debug window object reads its settings even when no window is shown.
    IServerDebugWindow* pDebugWindow =
        CreateDebugWindowObject(_Module.m_hShutdownEvent.load(std::memory_order_acquire));
    // 7. With "-Debug", the window.
    if (bDebug && pDebugWindow)
        pDebugWindow->CreateDebugWindow();
    // 8. The class objects, registered suspended, then resumed: from here on creation
    // requests arrive. A failure is not reported; the server then runs until the window
    // is closed or it is ended from outside.
    _Module.RegisterClassObjects(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
    CoResumeClassObjects();
    // 9. The message loop, until the monitor posts WM_QUIT: the process's one loop, which
    // serves the window and the trace records posted to it as well.
    platform::RunMessageLoop();
    // 10. Revoke; 11. let calls still running on other threads finish.
    _Module.RevokeClassObjects();
    Sleep(1000);
    // 12. The monitor.
    if (bMonitorStarted)
        _Module.WaitForMonitor();
    // 13., 14. The window, then its object.
    if (bDebug && pDebugWindow)
        pDebugWindow->DestroyDebugWindow();
    delete pDebugWindow;
    // 15. The module, the runtime, the application, the apartment.
    _Module.Term();
    platform::rpc::stop_server();
    platform::EndApplication();
    CoUninitialize();
    return 0;
}
