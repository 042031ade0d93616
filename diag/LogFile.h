// The log file: a ring of fixed-length text records on disk.
//
// Each record is m_nRecordSize characters of text, cut or padded with blanks, followed
// by "\r\n". The file holds at most GetCapacity() = m_nMaxSizeKB * 1024 /
// (m_nRecordSize + 2) records; record n starts at byte (n - 1) * (m_nRecordSize + 2).
// Writes go to records 1, 2, ... up to the capacity and then start again at 1, so the
// file never grows beyond its limit and always holds the latest lines. Nothing marks the
// newest record: the debug window's lines start with their tick count.
//
// The file is written with the C++ standard library's unbuffered streams: every
// WriteLine is one write of one whole record at its place. Other programs may read the
// file while it is open; Linux has no way to forbid them to write it, so that part of
// the share mode is not enforced.
//
// Used by one thread only (the debug window's); no lock.
#pragma once

#include "platform/base/types.h"

#include <cstdio>

class CLogFile {
public:
    CLogFile() = default;
    // Closes the file if it is still open, without flushing it first.
    virtual ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // Creates or empties the file at lpszPath and starts at record 1, not paused.
    // Refused (FALSE, nothing changed, an open file stays open) unless nMaxSizeKB >= 1,
    // nRecordSize >= 1 and nRecordSize + 2 <= nMaxSizeKB * 1024. Otherwise a file that
    // is open is closed first; when the new one cannot be created the object stays
    // closed and m_dwLastError holds the error (ERROR_PATH_NOT_FOUND,
    // ERROR_ACCESS_DENIED, ...).
    BOOL Open(LPCSTR lpszPath, int nMaxSizeKB, int nRecordSize);
    // Writes one record and returns its number (from 1). -1 when the file is closed or
    // the write failed (m_dwLastError; the next write tries the same record again).
    // While paused nothing is written and the current record's number comes back.
    int WriteLine(LPCSTR lpszText);
    // Makes record n (1 to the capacity) the next one; FALSE for any other n.
    BOOL SeekRecord(int n);
    int GetCapacity() const;
    void SetPaused(BOOL bPaused) { m_bPaused = bPaused; }
    BOOL IsPaused() const { return m_bPaused; }
    BOOL IsOpen() const { return m_bOpen; }
    DWORD GetLastError() const { return m_dwLastError; }
    // Flushes and closes; leaves the object closed and paused. Harmless when closed.
    void Close();

protected:
    BOOL m_bOpen = FALSE;
    BOOL m_bPaused = FALSE;
    int m_nCurrentRecord = 0;  // the record the next write goes to; 0 when closed
    int m_nRecordSize = 0;     // characters per record, without "\r\n"
    int m_nMaxSizeKB = 0;
    std::FILE* m_hFile = nullptr;  // null when closed
    DWORD m_dwLastError = 0;
};
