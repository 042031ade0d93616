// Kernel handles: the one table behind every HANDLE the platform layer gives out.
//
// Events, threads and open devices are kernel objects. A HANDLE is a small number that
// names a slot of the process-wide handle table (like the handles of the system the code
// was written for, never a raw pointer), so a stale or made-up handle is detected and
// answered with ERROR_INVALID_HANDLE instead of touching freed memory.
#pragma once

#include "platform/base/types.h"

#include <memory>

namespace platform {

class kernel_object {
public:
    virtual ~kernel_object();
    // Called once, when the last handle to the object is closed. Objects that other
    // parts of the platform still reference (a thread that is still running, a device
    // with a driver thread) stay alive through their shared_ptr until those let go.
    virtual void on_last_handle_closed() {}
};

// Enters the object in the table and returns its new handle; null when the table is full.
HANDLE insert_handle(std::shared_ptr<kernel_object> object);

// The object behind a handle, or null for a closed or invalid handle.
std::shared_ptr<kernel_object> lookup_handle(HANDLE handle);

// The object behind a handle when it is of type T, else null.
template <class T>
std::shared_ptr<T> lookup_handle_as(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(lookup_handle(handle));
}

}  // namespace platform

// Closes a handle of any kernel object. FALSE with ERROR_INVALID_HANDLE for a handle
// that is not open (INVALID_HANDLE_VALUE and null included).
BOOL CloseHandle(HANDLE hObject);

// The calling thread's last error.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
