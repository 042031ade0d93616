// The main thread's message loop on Qt's event loop.
//
// The process's Qt application object lives on the main thread. Its event loop serves
// the Qt events of that thread (the debug window, timers) and, through the queue's
// wake-up hook (message.h), every message posted to the thread or to its windows, so a
// poster never waits and an idle loop costs no processor time.
//
// Emulated: GetMessageA/DispatchMessageA until WM_QUIT, as the main thread of a server
// runs it. Without a display the application object is a plain core application and
// windows are not available; the loop works the same.
#pragma once

#include "platform/base/types.h"

#include <functional>
#include <string>

namespace platform {

// Whether the environment names a display: DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM
// set and not empty.
BOOL IsDisplayNamed();

// Makes the application object on the calling thread, which becomes the thread the loop
// runs on. With bWindows TRUE it is a widgets application when the environment names a
// display (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM), else a core application. A named
// display that cannot be reached gives Qt's offscreen platform (unless QT_QPA_PLATFORM
// says otherwise): windows then exist but nobody sees them.
// Returns TRUE when windows can be shown. Does nothing but answer when an application
// object exists already.
BOOL StartApplication(BOOL bWindows);

// Runs the calling thread's message loop: dispatches each posted message with
// DispatchMessageA, without key translation, until WM_QUIT arrives; returns its wParam.
// -1 when there is no application object on this thread. Messages posted after WM_QUIT
// stay queued.
int RunMessageLoop();

// Destroys the application object made by StartApplication (call it last, after every
// user of Qt in the process has stopped). Stops WatchInputLines.
void EndApplication();

// Hands each line that arrives on the process's standard input (without its newline) to
// onLine, on the application's thread, from its event loop; nothing is read while no
// line is waiting, and the end of the input ends the watch. A line longer than 4096
// characters is handed over in pieces. An empty function stops the watch; do not call
// this from onLine. FALSE when there is no application object.
BOOL WatchInputLines(std::function<void(const std::string&)> onLine);

}  // namespace platform
