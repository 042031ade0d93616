// The console: standard handles, the input mode, blocking keyboard reads and control
// handlers, for the command-line programs of the system.
//
// Emulated on a Linux terminal:
// - GetStdHandle gives one handle per standard stream (descriptors 0, 1, 2), made on first
//   use and the same every time; it is not closed by its users.
// - GetConsoleMode and SetConsoleMode work on an input handle whose stream is a terminal;
//   on anything else (a pipe, a file) they fail with ERROR_INVALID_HANDLE, as for a
//   redirected handle. Three input flags are kept: ENABLE_LINE_INPUT (canonical input),
//   ENABLE_ECHO_INPUT (echo) and ENABLE_PROCESSED_INPUT (Ctrl+C and the other control keys
//   raise signals, and the terminal translates carriage return to newline). A mode
//   without them is the raw keyboard: every key arrives as it is typed, Ctrl+C included.
//   Output processing is left alone. The mode found at the first SetConsoleMode is put
//   back when the process exits normally, so a program that ends early never leaves the
//   terminal raw.
// - ReadConsoleA reads what is there, at least one byte, and blocks until then (no
//   time-out, no polling); 0 bytes read means the end of the input. It reads any input
//   stream, redirected or not.
// - SetConsoleCtrlHandler: SIGINT arrives as CTRL_C_EVENT, SIGQUIT as CTRL_BREAK_EVENT,
//   SIGHUP as CTRL_CLOSE_EVENT and SIGTERM as CTRL_SHUTDOWN_EVENT. Handlers run on a
//   thread of their own (one thread serves every event, one at a time), the most recently
//   added first, until one returns TRUE; when none does, the terminal's mode is put back
//   and the process ends as the signal would have ended it. So a handler that takes the
//   first interrupt and declines the next lets a second Ctrl+C end the program at once.
//   The signals are caught, not blocked, so threads started before the first
//   registration are served too. A null routine with Add TRUE ignores Ctrl+C.
//   The command-line programs of the system (tethra and its pty subcommand) share this one.
#pragma once

#include "platform/base/types.h"

#define STD_INPUT_HANDLE (static_cast<DWORD>(-10))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define STD_ERROR_HANDLE (static_cast<DWORD>(-12))

#define ENABLE_PROCESSED_INPUT 0x0001U
#define ENABLE_LINE_INPUT 0x0002U
#define ENABLE_ECHO_INPUT 0x0004U

#define CTRL_C_EVENT 0U
#define CTRL_BREAK_EVENT 1U
#define CTRL_CLOSE_EVENT 2U
#define CTRL_LOGOFF_EVENT 5U
#define CTRL_SHUTDOWN_EVENT 6U

using PHANDLER_ROUTINE = BOOL (*)(DWORD dwCtrlType);

struct COORD {
    SHORT X;
    SHORT Y;
};
struct SMALL_RECT {
    SHORT Left;
    SHORT Top;
    SHORT Right;
    SHORT Bottom;
};
// Only the sizes are filled in: dwSize and srWindow are the terminal's columns and rows
// (srWindow from 0,0); the cursor position and attributes are 0.
struct CONSOLE_SCREEN_BUFFER_INFO {
    COORD dwSize;
    COORD dwCursorPosition;
    WORD wAttributes;
    SMALL_RECT srWindow;
    COORD dwMaximumWindowSize;
};

// The handle of a standard stream; INVALID_HANDLE_VALUE with ERROR_INVALID_PARAMETER for
// another nStdHandle.
HANDLE GetStdHandle(DWORD nStdHandle);
BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode);
BOOL SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode);
// Up to nNumberOfCharsToRead bytes into lpBuffer; *lpNumberOfCharsRead gets the count.
// pInputControl must be null. FALSE with the error for a failed read.
BOOL ReadConsoleA(HANDLE hConsoleInput, LPVOID lpBuffer, DWORD nNumberOfCharsToRead,
                  LPDWORD lpNumberOfCharsRead, LPVOID pInputControl);
// The size of the terminal behind an output handle; FALSE with ERROR_INVALID_HANDLE when
// the stream is not a terminal or the terminal does not know its size.
BOOL GetConsoleScreenBufferInfo(HANDLE hConsoleOutput,
                                CONSOLE_SCREEN_BUFFER_INFO* lpConsoleScreenBufferInfo);
// Adds or removes a handler; FALSE with ERROR_INVALID_PARAMETER when removing a routine
// that was not added.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
