// The server host's hook for the debug window.
//
// The host constructs the debug window object at start-up whether or not the window is
// shown (it reads its stored settings), creates the window only with "-Debug", and at the
// end destroys the window, then the object. The object comes from the diagnostics
// library (diag/ServerDebugWindow.cpp); its window lives on the server's one application
// object (platform::StartApplication) and is served by the server's one message loop
// (platform::RunMessageLoop) on the main thread.
//
// The server always links the diagnostics library: Qt Widgets is a requirement of the
// build as a whole, so there is no build without a window to provide a stand-in for. A
// server without a display runs without the window, as it does when the window cannot be
// created, and says so once on standard error.
#pragma once

#include "platform/base/types.h"

class IServerDebugWindow {
public:
    // Its destructor closes what the object holds (the log file, its registry key).
    virtual ~IServerDebugWindow() = default;
    // Creates and shows the window (minimised); FALSE when it cannot be created. Call it
    // on the main thread, after platform::StartApplication.
    virtual BOOL CreateDebugWindow() = 0;
    // Destroys the window if it still exists, without pulsing the shutdown event.
    virtual void DestroyDebugWindow() = 0;
};

// Constructs the debug window object; it pulses hShutdownEvent when its window is
// closed, so that an idle server ends 5 seconds later. Null when it cannot be made.
IServerDebugWindow* CreateDebugWindowObject(HANDLE hShutdownEvent);
