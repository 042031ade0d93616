// The serial driver's calls, with the documented behaviour of the calls of the same
// names for serial devices. Each call finds the device behind its handle and hands over
// to comm_device (comm_device.h), whose comments say how each part is carried out.
//
// Emulated: exclusive open by name through the port map; overlapped ReadFile, WriteFile
// and WaitCommEvent (one of each pending per handle), completing into their OVERLAPPED
// block and its event; GetOverlappedResult waiting or not; COMMTIMEOUTS with their
// MAXDWORD forms; the DCB, with its software parts applied by the driver; comm events,
// line errors, modem status and the escape functions.
// Not given on Linux: DTR handshake and DSR flow control (kept and read back, not
// honoured); a second pending read or write on one handle (ERROR_INVALID_PARAMETER
// instead of queueing); regular files, and pipes (ERROR_FILE_NOT_FOUND).
// Decisions of our own: CancelIo cancels every pending operation of the handle, not
// only the calling thread's, and returns after the driver has let go of their blocks and
// buffers.
//
// Devices that vanish and come back. A handle outlives its device: when the device
// vanishes, pending reads and writes end with ERROR_DEVICE_NOT_CONNECTED, EV_EVENT1 is
// reported, and later calls on the device fail with that error at once, while the
// handle's mask, waits and receive queue stay usable. The driver waits, without polling,
// for the same path to open again (comm_device.h, arrival_watch.h), writes the handle's
// settings back to the device and reports EV_EVENT2; the handle then works as before.
#include "platform/comm/comm.h"

#include "platform/base/handle.h"
#include "platform/comm/comm_device.h"
#include "platform/comm/port_name.h"

#include <atomic>

namespace {

std::shared_ptr<platform::comm_device> device_of(HANDLE handle)
{
    auto device = platform::lookup_handle_as<platform::comm_device>(handle);
    if (!device)
        SetLastError(ERROR_INVALID_HANDLE);
    return device;
}

// Nothing throws out of these calls: an allocation that fails inside the driver is
// reported as ERROR_NOT_ENOUGH_MEMORY.
template <class Call>
BOOL guarded(HANDLE handle, Call call)
{
    try {
        auto device = device_of(handle);
        return device ? call(*device) : FALSE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL invalid_parameter()
{
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

}  // namespace

// Opens "\\.\COM<n>" (through the port map), "COM<n>", an absolute device path or a
// simulated UART's "sim:<name>", always exclusively (the share mode is ignored: a serial
// device cannot be shared) and only with OPEN_EXISTING. FILE_FLAG_OVERLAPPED decides
// nothing here: an operation without an OVERLAPPED block runs synchronously either way.
// Errors: ERROR_FILE_NOT_FOUND (no such device), ERROR_ACCESS_DENIED (held by another
// open, in this process or another), ERROR_INVALID_NAME, ERROR_INVALID_PARAMETER (a
// creation disposition other than OPEN_EXISTING).
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path;
    std::shared_ptr<platform::comm_device> device;
    try {
        if (DWORD error = platform::resolve_port_name(lpFileName, path); error != ERROR_SUCCESS) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        if (DWORD error = platform::comm_device::open(path, device); error != ERROR_SUCCESS) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = platform::insert_handle(device);
    if (handle == nullptr) {
        device->on_last_handle_closed();
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

// TRUE when the read completes at once (the event is set too); FALSE with
// ERROR_IO_PENDING when it completes later into lpOverlapped.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    return guarded(hFile, [&](platform::comm_device& d) {
        return d.read_file(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    });
}

// TRUE when the device took every byte at once (a 0-byte write always); FALSE with
// ERROR_IO_PENDING otherwise.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    return guarded(hFile, [&](platform::comm_device& d) {
        return d.write_file(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                            lpOverlapped);
    });
}

// bWait TRUE waits on the block's event (or, without one, for the completion itself);
// bWait FALSE on a pending operation fails with ERROR_IO_INCOMPLETE. A finished
// operation gives its byte count and TRUE, or FALSE with its error.
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    if (lpOverlapped == nullptr)
        return invalid_parameter();
    auto device = platform::lookup_handle_as<platform::comm_device>(hFile);
    if (device) {
        return guarded(hFile, [&](platform::comm_device& d) {
            return d.get_overlapped_result(lpOverlapped, lpNumberOfBytesTransferred, bWait);
        });
    }
    // The handle is closed: every operation on it has ended, so the block holds its result.
    std::atomic_ref<ULONG_PTR> status(lpOverlapped->Internal);
    ULONG_PTR value = status.load(std::memory_order_acquire);
    if (value == STATUS_PENDING) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpNumberOfBytesTransferred)
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (value == 0)
        return TRUE;
    SetLastError(static_cast<DWORD>(value));
    return FALSE;
}

BOOL CancelIo(HANDLE hFile)
{
    return guarded(hFile, [&](platform::comm_device& d) { return d.cancel_io(); });
}

BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    return guarded(hFile, [&](platform::comm_device& d) {
        return lpOverlapped ? d.cancel_one(lpOverlapped) : d.cancel_io();
    });
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (lpDCB == nullptr)
        return invalid_parameter();
    return guarded(hFile, [&](platform::comm_device& d) { return d.get_state(*lpDCB); });
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (lpDCB == nullptr)
        return invalid_parameter();
    return guarded(hFile, [&](platform::comm_device& d) { return d.set_state(*lpDCB); });
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpCommTimeouts == nullptr)
        return invalid_parameter();
    return guarded(hFile,
                   [&](platform::comm_device& d) { return d.get_timeouts(*lpCommTimeouts); });
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpCommTimeouts == nullptr)
        return invalid_parameter();
    return guarded(hFile,
                   [&](platform::comm_device& d) { return d.set_timeouts(*lpCommTimeouts); });
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    if (lpEvtMask == nullptr)
        return invalid_parameter();
    return guarded(hFile, [&](platform::comm_device& d) { return d.get_mask(*lpEvtMask); });
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return guarded(hFile, [&](platform::comm_device& d) { return d.set_mask(dwEvtMask); });
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    return guarded(hFile,
                   [&](platform::comm_device& d) { return d.wait_comm_event(lpEvtMask, lpOverlapped); });
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    return guarded(hFile,
                   [&](platform::comm_device& d) { return d.clear_error(lpErrors, lpStat); });
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    if (lpModemStat == nullptr)
        return invalid_parameter();
    return guarded(hFile,
                   [&](platform::comm_device& d) { return d.get_modem_status(*lpModemStat); });
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    return guarded(hFile, [&](platform::comm_device& d) { return d.escape(dwFunc); });
}

BOOL SetCommBreak(HANDLE hFile)
{
    return EscapeCommFunction(hFile, SETBREAK);
}

BOOL ClearCommBreak(HANDLE hFile)
{
    return EscapeCommFunction(hFile, CLRBREAK);
}
