#include "platform/base/module.h"

#include "platform/base/handle.h"

#include <unistd.h>

#include <climits>
#include <cstring>

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    if (hModule || !lpFilename || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof path)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    const DWORD dwLength = static_cast<DWORD>(length);
    if (dwLength >= nSize) {
        std::memcpy(lpFilename, path, nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path, dwLength);
    lpFilename[dwLength] = '\0';
    return dwLength;
}
