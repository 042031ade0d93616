// The server host's hook for the debug window.
//
// The host constructs the debug window object at start-up whether or not the window is
// shown (it reads its stored settings), creates the window only with "-Debug", and at the
// end destroys the window, then the object. The diagnostics library is to provide
// CreateDebugWindowObject; until it does, the server links NoDebugWindow.cpp, whose
// answer is "no object", and runs without a window, as it does when the window cannot
// be created (no display).
#pragma once

#include "platform/base/types.h"

class IServerDebugWindow {
public:
    // Its destructor closes what the object holds (the log file, its registry key).
    virtual ~IServerDebugWindow() = default;
    // Creates and shows the window (minimised); FALSE when it cannot be created.
    virtual BOOL CreateDebugWindow() = 0;
    // Destroys the window if it still exists.
    virtual void DestroyDebugWindow() = 0;
};

// Constructs the debug window object; it pulses hShutdownEvent when its window is
// closed, so that an idle server ends 5 seconds later. Null when there is none.
IServerDebugWindow* CreateDebugWindowObject(HANDLE hShutdownEvent);
