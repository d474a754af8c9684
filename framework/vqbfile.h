// CVQBFile (binary file) and CVQBStdioFile (buffered text file): every operation first
// polls the process stop signal, and a failed operation throws a CVQBException of place
// "EPS_File" naming the operation, its parameters, the file, the cause and the system
// error. CVQBFile rests on the platform's file handles; CVQBStdioFile on a C stream,
// reading CR LF as LF and writing LF as CR LF, the platform's text-file convention.
#pragma once

#include <cstdio>
#include <string>

#include "pal/types.h"

// Why a file operation failed, in the platform's file-error categories.
class CFileException {
public:
    enum {
        none = 0,
        genericException = 1,
        fileNotFound = 2,
        badPath = 3,
        tooManyOpenFiles = 4,
        accessDenied = 5,
        invalidFile = 6,
        removeCurrentDir = 7,
        directoryFull = 8,
        badSeek = 9,
        hardIO = 10,
        sharingViolation = 11,
        lockViolation = 12,
        diskFull = 13,
        endOfFile = 14,
    };
    CFileException(int cause = none, LONG osError = -1, const char* fileName = nullptr)
        : m_cause(cause), m_lOsError(osError), m_strFileName(fileName ? fileName : "") {}
    static int OsErrorToException(LONG osError);

    int m_cause;
    LONG m_lOsError;
    std::string m_strFileName;
};

// What SetStatus applies to a file: times (seconds since 1970, 0 = keep) and attributes.
struct CFileStatus {
    time_t m_ctime = 0;
    time_t m_mtime = 0;
    time_t m_atime = 0;
    LONG m_size = 0;
    BYTE m_attribute = 0;
    char m_szFullName[MAX_PATH] = {};
};

class CVQBFile {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = 0x8000,
        osWriteThrough = 0x20000,
        osSequentialScan = 0x80000,
    };
    enum SeekPosition : UINT { begin = 0, current = 1, end = 2 };

    CVQBFile();
    explicit CVQBFile(HANDLE file);
    CVQBFile(const char* fileName, UINT openFlags);
    CVQBFile(const CVQBFile&) = delete;
    CVQBFile& operator=(const CVQBFile&) = delete;
    virtual ~CVQBFile();

    BOOL Open(const char* fileName, UINT openFlags, CFileException* error = nullptr);
    ULONGLONG GetPosition();
    ULONGLONG Seek(LONGLONG offset, UINT from);
    void SetLength(ULONGLONG newLength);
    ULONGLONG GetLength();
    UINT Read(void* buffer, UINT count);
    void Write(const void* buffer, UINT count);
    void LockRange(ULONGLONG position, ULONGLONG count);
    void UnlockRange(ULONGLONG position, ULONGLONG count);
    void Flush();
    void Close();
    CVQBFile* Duplicate();

    static void Rename(const char* oldName, const char* newName);
    static void Remove(const char* fileName);
    static void SetStatus(const char* fileName, const CFileStatus& status);

    HANDLE m_hFile;
    const char* GetFileName() const { return m_strFileName.c_str(); }

protected:
    [[noreturn]] void Fail(const char* operation, const std::string& params, int cause, LONG osError) const;
    std::string m_strFileName;
};

class CVQBStdioFile {
public:
    CVQBStdioFile();
    explicit CVQBStdioFile(FILE* stream);
    CVQBStdioFile(const char* fileName, UINT openFlags);
    CVQBStdioFile(const CVQBStdioFile&) = delete;
    CVQBStdioFile& operator=(const CVQBStdioFile&) = delete;
    virtual ~CVQBStdioFile();

    BOOL Open(const char* fileName, UINT openFlags, CFileException* error = nullptr);
    ULONGLONG GetPosition();
    ULONGLONG Seek(LONGLONG offset, UINT from);
    UINT Read(void* buffer, UINT count);
    void Write(const void* buffer, UINT count);
    // Reads one line (with its LF) of at most maxLength - 1 characters; null at the end.
    char* ReadString(char* buffer, UINT maxLength);
    void WriteString(const char* text);
    void LockRange(ULONGLONG position, ULONGLONG count);
    void UnlockRange(ULONGLONG position, ULONGLONG count);
    void Flush();
    void Close();
    CVQBStdioFile* Duplicate();

    FILE* m_pStream;
    const char* GetFileName() const { return m_strFileName.c_str(); }

protected:
    [[noreturn]] void Fail(const char* operation, const std::string& params, int cause, LONG osError) const;
    std::string m_strFileName;
    bool m_bText = true;
};
