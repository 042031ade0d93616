#include "diag/LogFile.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace {

// The errors a file can meet, as GetLastError codes.
DWORD error_from_errno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EFBIG:
    case EIO:
        return ERROR_WRITE_FAULT;
    default:
        return ERROR_GEN_FAILURE;
    }
}

}  // namespace

CLogFile::~CLogFile()
{
    if (m_hFile)
        std::fclose(m_hFile);
}

BOOL CLogFile::Open(LPCSTR lpszPath, int nMaxSizeKB, int nRecordSize)
{
    // In 64 bits: a size in KB near INT_MAX must not overflow into acceptance.
    if (nMaxSizeKB < 1 || nRecordSize < 1 ||
        static_cast<long long>(nRecordSize) + 2 > static_cast<long long>(nMaxSizeKB) * 1024)
        return FALSE;
    Close();
    if (!lpszPath) {
        m_dwLastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    errno = 0;
    std::FILE* file = std::fopen(lpszPath, "wb");
    if (!file) {
        m_dwLastError = error_from_errno(errno);
        return FALSE;
    }
    // Unbuffered: each record reaches the file with its own write, as it is written.
    std::setvbuf(file, nullptr, _IONBF, 0);
    m_hFile = file;
    m_nCurrentRecord = 1;
    m_nMaxSizeKB = nMaxSizeKB;
    m_nRecordSize = nRecordSize;
    m_bOpen = TRUE;
    m_bPaused = FALSE;
    m_dwLastError = 0;
    return TRUE;
}

int CLogFile::WriteLine(LPCSTR lpszText)
{
    if (!m_bOpen)
        return -1;
    if (m_bPaused)
        return m_nCurrentRecord;
    const std::size_t size = static_cast<std::size_t>(m_nRecordSize);
    char* buffer = new (std::nothrow) char[size + 3]();
    if (!buffer)
        return m_nCurrentRecord;
    std::size_t length = 0;
    if (lpszText) {
        const void* end = std::memchr(lpszText, '\0', size);
        length = end ? static_cast<std::size_t>(static_cast<const char*>(end) - lpszText) : size;
        std::memcpy(buffer, lpszText, length);
    }
    std::memset(buffer + length, ' ', size - length);
    buffer[size] = '\r';
    buffer[size + 1] = '\n';

    int written = -1;
    errno = 0;
    if (std::fwrite(buffer, 1, size + 2, m_hFile) == size + 2) {
        written = m_nCurrentRecord++;
        if (m_nCurrentRecord > GetCapacity())
            SeekRecord(1);
    } else {
        m_dwLastError = error_from_errno(errno);
        std::clearerr(m_hFile);
        SeekRecord(m_nCurrentRecord);  // a part of the record may have gone out
    }
    delete[] buffer;
    return written;
}

BOOL CLogFile::SeekRecord(int n)
{
    if (!m_bOpen || n < 1 || n > GetCapacity())
        return FALSE;
    const long offset = static_cast<long>(m_nRecordSize + 2) * (n - 1);
    if (std::fseek(m_hFile, offset, SEEK_SET) != 0) {
        m_dwLastError = error_from_errno(errno);
        return FALSE;
    }
    m_nCurrentRecord = n;
    return TRUE;
}

int CLogFile::GetCapacity() const
{
    if (m_nRecordSize < 1)
        return 0;
    return static_cast<int>(static_cast<long long>(m_nMaxSizeKB) * 1024 / (m_nRecordSize + 2));
}

void CLogFile::Close()
{
    if (!m_bOpen)
        return;
    std::fflush(m_hFile);
    std::fclose(m_hFile);
    m_hFile = nullptr;
    m_bOpen = FALSE;
    m_nCurrentRecord = 0;
    m_dwLastError = 0;
    m_nMaxSizeKB = 0;
    m_nRecordSize = 0;
    m_bPaused = TRUE;
}
