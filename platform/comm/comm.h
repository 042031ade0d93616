// The serial driver: files, overlapped I/O and the communications calls, with the
// documented behaviour of the calls of the same names for serial devices.
//
// CreateFileA("\\.\COM<n>") finds the Linux device through the port map in the registry
// store (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM: value name = device path,
// value data = "COM<n>"), else by the default rule COM1..32 = /dev/ttyS0..31,
// COM33..64 = /dev/ttyUSB0..31, COM65..96 = /dev/ttyACM0..31. CreateFileA also takes an
// absolute device path ("/dev/pts/3") and a simulated UART's "sim:<name>"
// (platform/comm/sim_uart.h, for tests). One driver thread per open device carries out
// the overlapped operations; see comm.cpp for what is emulated and what Linux cannot give.
#pragma once

#include "platform/base/types.h"

// ---- files -----------------------------------------------------------------------
#define GENERIC_READ 0x80000000U
#define GENERIC_WRITE 0x40000000U
#define FILE_SHARE_READ 0x00000001U
#define FILE_SHARE_WRITE 0x00000002U
#define CREATE_NEW 1U
#define CREATE_ALWAYS 2U
#define OPEN_EXISTING 3U
#define OPEN_ALWAYS 4U
#define TRUNCATE_EXISTING 5U
#define FILE_ATTRIBUTE_NORMAL 0x00000080U
#define FILE_FLAG_OVERLAPPED 0x40000000U
#define FILE_FLAG_RANDOM_ACCESS 0x10000000U

struct OVERLAPPED {
    ULONG_PTR Internal;      // status of the operation: STATUS_PENDING while it runs
    ULONG_PTR InternalHigh;  // bytes transferred
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

#define STATUS_PENDING 0x00000103U

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
BOOL CancelIo(HANDLE hFile);
// Cancels the one pending operation that runs on lpOverlapped, whichever thread started
// it, or every pending operation of the handle when lpOverlapped is null (CancelIo). The
// operation completes with ERROR_OPERATION_ABORTED and the bytes it had moved (a write's
// bytes already handed to the device stay written); the driver has let go of its block
// and buffer on return. The operations queued behind a cancelled read or write keep
// their order and move up, the next one starting at once. FALSE with ERROR_NOT_FOUND
// when no pending operation of the handle runs on that block (it has completed).
BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);

// ---- device control block ----------------------------------------------------------
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
using LPDCB = DCB*;

#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define CBR_110 110
#define CBR_300 300
#define CBR_600 600
#define CBR_1200 1200
#define CBR_2400 2400
#define CBR_4800 4800
#define CBR_9600 9600
#define CBR_14400 14400
#define CBR_19200 19200
#define CBR_38400 38400
#define CBR_57600 57600
#define CBR_115200 115200

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);

// ---- time-outs ---------------------------------------------------------------------
struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);

// ---- events, errors, modem lines -----------------------------------------------------
#define EV_RXCHAR 0x0001U
#define EV_RXFLAG 0x0002U
#define EV_TXEMPTY 0x0004U
#define EV_CTS 0x0008U
#define EV_DSR 0x0010U
#define EV_RLSD 0x0020U
#define EV_BREAK 0x0040U
#define EV_ERR 0x0080U
#define EV_RING 0x0100U
// The provider-specific events. This driver reports through them that the device has
// vanished (EV_EVENT1: a USB adapter pulled out, a pseudo-terminal's far end closed) and
// that it has come back and been reopened with the handle's settings (EV_EVENT2); see
// "Devices that vanish and come back" in comm.cpp.
#define EV_EVENT1 0x0800U
#define EV_EVENT2 0x1000U

#define CE_RXOVER 0x0001U
#define CE_OVERRUN 0x0002U
#define CE_RXPARITY 0x0004U
#define CE_FRAME 0x0008U
#define CE_BREAK 0x0010U

#define MS_CTS_ON 0x0010U
#define MS_DSR_ON 0x0020U
#define MS_RING_ON 0x0040U
#define MS_RLSD_ON 0x0080U

#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define SETBREAK 8
#define CLRBREAK 9

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL SetCommBreak(HANDLE hFile);
BOOL ClearCommBreak(HANDLE hFile);
