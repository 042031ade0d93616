#include "platform/comm/comm_errors.h"

#include <cerrno>

namespace platform {

DWORD comm_error_from_errno(int error)
{
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case ERANGE:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    case EIO:
    case EPIPE:
    case ESHUTDOWN:
        return ERROR_DEVICE_NOT_CONNECTED;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    case ENAMETOOLONG:
        return ERROR_INVALID_NAME;
    default:
        return ERROR_GEN_FAILURE;
    }
}

}  // namespace platform
