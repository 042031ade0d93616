// errno to GetLastError codes, for the serial driver: the one table the driver uses.
#pragma once

#include "platform/base/types.h"

namespace platform {

DWORD comm_error_from_errno(int error);

}  // namespace platform
