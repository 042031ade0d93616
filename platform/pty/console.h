// Console control events: SetConsoleCtrlHandler over POSIX signals.
//
// SIGINT arrives as CTRL_C_EVENT, SIGQUIT as CTRL_BREAK_EVENT, SIGHUP as
// CTRL_CLOSE_EVENT and SIGTERM as CTRL_SHUTDOWN_EVENT. As documented for the call, a
// handler runs on a thread of its own (one thread serves every event, one at a time),
// handlers are called last-added first until one returns TRUE, and when none does the
// default action ends the process (exit code 128 + the signal's number, as a shell
// reports a process ended by it).
//
// The first registration blocks the four signals in the calling thread and starts the
// thread that waits for them, so a program calls it before it starts any other thread
// (threads inherit the blocked set; a thread started earlier would still take the
// signal's default action). HandlerRoutine null with Add TRUE (ignore CTRL_C_EVENT) is
// not offered: ERROR_INVALID_PARAMETER.
#pragma once

#include "platform/base/types.h"

#define CTRL_C_EVENT 0U
#define CTRL_BREAK_EVENT 1U
#define CTRL_CLOSE_EVENT 2U
#define CTRL_LOGOFF_EVENT 5U
#define CTRL_SHUTDOWN_EVENT 6U

using PHANDLER_ROUTINE = BOOL (*)(DWORD dwCtrlType);

// Adds (Add TRUE) or removes a handler. TRUE on success; FALSE with GetLastError
// ERROR_INVALID_PARAMETER for a null routine or one that is not registered.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
