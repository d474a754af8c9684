#include "framework/vqbfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "framework/vqbexception.h"
#include "pal/error/error.h"
#include "pal/windows.h"
#include "pal/file/path.h"

namespace {

std::string Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

unsigned Addr(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

// Builds and throws the "EPS_File" exception for an operation of the class.
[[noreturn]] void ThrowFileError(const char* operation, const std::string& params, const std::string& file, int cause,
                                 LONG osError) {
    CVQBException::ThrowStopExceptionIfRequired(0);  // a stop request wins over the file error
    std::string function = Printf("CVQBFile::%s", operation);
    std::string detail = Printf("para=%.100s  file=%.100s,  casuse=%d,  OsError=%d", params.c_str(), file.c_str(),
                                cause, static_cast<int>(osError));
    throw CVQBException("EPS_File", function.c_str(), detail.c_str(), operation, file.c_str(), nullptr);
}

void Poll() { CVQBException::ThrowStopExceptionIfRequired(0); }

LONG LastOsError() { return static_cast<LONG>(GetLastError()); }

}  // namespace

int CFileException::OsErrorToException(LONG osError) {
    switch (osError) {
    case 0: return none;
    case ERROR_FILE_NOT_FOUND: return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE: return badPath;
    case ERROR_TOO_MANY_OPEN_FILES: return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return accessDenied;
    case ERROR_INVALID_HANDLE: return invalidFile;
    case 16: return removeCurrentDir;
    case ERROR_NO_MORE_FILES: return directoryFull;
    case ERROR_SEEK:
    case ERROR_NEGATIVE_SEEK: return badSeek;
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE: return hardIO;
    case ERROR_SHARING_VIOLATION: return sharingViolation;
    case ERROR_LOCK_VIOLATION: return lockViolation;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL: return diskFull;
    case ERROR_HANDLE_EOF: return endOfFile;
    default: return genericException;
    }
}

// ---- CVQBFile -------------------------------------------------------------------------

CVQBFile::CVQBFile() : m_hFile(INVALID_HANDLE_VALUE) { Poll(); }

CVQBFile::CVQBFile(HANDLE file) : m_hFile(file) { Poll(); }

CVQBFile::CVQBFile(const char* fileName, UINT openFlags) : m_hFile(INVALID_HANDLE_VALUE) {
    Poll();
    m_strFileName = fileName ? fileName : "";
    CFileException error;
    if (!Open(fileName, openFlags, &error))
        ThrowFileError("CVQBFile", Printf("%.128s, %d", fileName ? fileName : "", static_cast<int>(openFlags)),
                       m_strFileName, error.m_cause, error.m_lOsError);
}

CVQBFile::~CVQBFile() {
    if (m_hFile != INVALID_HANDLE_VALUE) CloseHandle(m_hFile);
}

void CVQBFile::Fail(const char* operation, const std::string& params, int cause, LONG osError) const {
    ThrowFileError(operation, params, m_strFileName, cause, osError);
}

BOOL CVQBFile::Open(const char* fileName, UINT flags, CFileException* error) {
    Poll();
    m_strFileName = fileName ? fileName : "";
    DWORD access = (flags & 3) == modeRead ? GENERIC_READ
                 : (flags & 3) == modeWrite ? GENERIC_WRITE
                                            : GENERIC_READ | GENERIC_WRITE;
    DWORD share;
    switch (flags & 0x70) {
    case shareExclusive: share = 0; break;
    case shareDenyWrite: share = FILE_SHARE_READ; break;
    case shareDenyRead: share = FILE_SHARE_WRITE; break;
    case shareDenyNone: share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    default: share = 0; break;  // compatibility mode behaves as exclusive
    }
    DWORD disposition = (flags & modeCreate) ? ((flags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS) : OPEN_EXISTING;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (flags & osWriteThrough) attributes |= FILE_FLAG_WRITE_THROUGH;
    if (flags & osSequentialScan) attributes |= FILE_FLAG_SEQUENTIAL_SCAN;
    HANDLE h = CreateFileA(fileName, access, share, nullptr, disposition, attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error) {
            LONG os = LastOsError();
            *error = CFileException(CFileException::OsErrorToException(os), os, fileName);
        }
        return FALSE;
    }
    m_hFile = h;
    return TRUE;
}

ULONGLONG CVQBFile::GetPosition() {
    Poll();
    LARGE_INTEGER zero{}, pos{};
    if (!SetFilePointerEx(m_hFile, zero, &pos, FILE_CURRENT)) {
        LONG os = LastOsError();
        Fail("GetPosition", "", CFileException::OsErrorToException(os), os);
    }
    return static_cast<ULONGLONG>(pos.QuadPart);
}

ULONGLONG CVQBFile::Seek(LONGLONG offset, UINT from) {
    Poll();
    LARGE_INTEGER move{}, pos{};
    move.QuadPart = offset;
    if (!SetFilePointerEx(m_hFile, move, &pos, from)) {
        LONG os = LastOsError();
        Fail("Seek", Printf("%d, %d", static_cast<int>(offset), static_cast<int>(from)),
             CFileException::OsErrorToException(os), os);
    }
    return static_cast<ULONGLONG>(pos.QuadPart);
}

void CVQBFile::SetLength(ULONGLONG newLength) {
    Poll();
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(newLength);
    LARGE_INTEGER zero{}, here{};
    bool ok = SetFilePointerEx(m_hFile, zero, &here, FILE_CURRENT) && SetFilePointerEx(m_hFile, to, nullptr, FILE_BEGIN) &&
              SetEndOfFile(m_hFile);
    if (ok) SetFilePointerEx(m_hFile, here, nullptr, FILE_BEGIN);
    if (!ok) {
        LONG os = LastOsError();
        Fail("SetLength", Printf("%d", static_cast<int>(newLength)), CFileException::OsErrorToException(os), os);
    }
}

ULONGLONG CVQBFile::GetLength() {
    Poll();
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(m_hFile, &size)) {
        LONG os = LastOsError();
        Fail("GetLength", "", CFileException::OsErrorToException(os), os);
    }
    return static_cast<ULONGLONG>(size.QuadPart);
}

UINT CVQBFile::Read(void* buffer, UINT count) {
    Poll();
    DWORD got = 0;
    if (count == 0) return 0;
    if (!ReadFile(m_hFile, buffer, count, &got, nullptr)) {
        LONG os = LastOsError();
        if (os == ERROR_HANDLE_EOF) return 0;
        Fail("Read", Printf("%x, %d", Addr(buffer), static_cast<int>(count)), CFileException::OsErrorToException(os),
             os);
    }
    return got;
}

void CVQBFile::Write(const void* buffer, UINT count) {
    Poll();
    DWORD put = 0;
    if (count == 0) return;
    if (!WriteFile(m_hFile, buffer, count, &put, nullptr) || put != count) {
        LONG os = LastOsError();
        if (os == 0) os = ERROR_DISK_FULL;
        Fail("Write", Printf("%x, %d", Addr(buffer), static_cast<int>(count)), CFileException::OsErrorToException(os),
             os);
    }
}

void CVQBFile::LockRange(ULONGLONG position, ULONGLONG count) {
    Poll();
    if (!LockFile(m_hFile, static_cast<DWORD>(position), static_cast<DWORD>(position >> 32), static_cast<DWORD>(count),
                  static_cast<DWORD>(count >> 32))) {
        LONG os = LastOsError();
        Fail("LockRange", Printf("%d, %d", static_cast<int>(position), static_cast<int>(count)),
             CFileException::OsErrorToException(os), os);
    }
}

void CVQBFile::UnlockRange(ULONGLONG position, ULONGLONG count) {
    Poll();
    if (!UnlockFile(m_hFile, static_cast<DWORD>(position), static_cast<DWORD>(position >> 32),
                    static_cast<DWORD>(count), static_cast<DWORD>(count >> 32))) {
        LONG os = LastOsError();
        Fail("UnlockRange", Printf("%d, %d", static_cast<int>(position), static_cast<int>(count)),
             CFileException::OsErrorToException(os), os);
    }
}

void CVQBFile::Flush() {
    Poll();
    if (m_hFile == INVALID_HANDLE_VALUE) return;
    if (!FlushFileBuffers(m_hFile)) {
        LONG os = LastOsError();
        Fail("Flush", "", CFileException::OsErrorToException(os), os);
    }
}

void CVQBFile::Close() {
    Poll();
    if (m_hFile == INVALID_HANDLE_VALUE) return;
    HANDLE h = m_hFile;
    m_hFile = INVALID_HANDLE_VALUE;
    if (!CloseHandle(h)) {
        LONG os = LastOsError();
        Fail("Close", "", CFileException::OsErrorToException(os), os);
    }
}

CVQBFile* CVQBFile::Duplicate() {
    Poll();
    HANDLE copy = nullptr;
    if (m_hFile == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), m_hFile, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        LONG os = m_hFile == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : LastOsError();
        Fail("Duplicate", "", CFileException::OsErrorToException(os), os);
    }
    auto* dup = new CVQBFile(copy);
    dup->m_strFileName = m_strFileName;
    return dup;
}

void CVQBFile::Rename(const char* oldName, const char* newName) {
    Poll();
    if (!MoveFileA(oldName, newName)) {
        LONG os = LastOsError();
        int cause = CFileException::OsErrorToException(os);
        Poll();
        std::string detail = Printf("%.100s, %.100s  casuse=%d,  OsError=%d", oldName ? oldName : "",
                                    newName ? newName : "", cause, static_cast<int>(os));
        throw CVQBException("EPS_File", "CVQBFile::Rename", detail.c_str(), "Rename", oldName, newName);
    }
}

void CVQBFile::Remove(const char* fileName) {
    Poll();
    if (!DeleteFileA(fileName)) {
        LONG os = LastOsError();
        int cause = CFileException::OsErrorToException(os);
        Poll();
        std::string detail =
            Printf("%.100s casuse=%d,  OsError=%d", fileName ? fileName : "", cause, static_cast<int>(os));
        throw CVQBException("EPS_File", "CVQBFile::Remove", detail.c_str(), "Remove", fileName, nullptr);
    }
}

void CVQBFile::SetStatus(const char* fileName, const CFileStatus& status) {
    Poll();
    // The attributes go in the hexadecimal place of the message.
    auto toFileTime = [](time_t t, FILETIME& ft) {
        ULONGLONG v = (static_cast<ULONGLONG>(t) + 11644473600ull) * 10000000ull;
        ft.dwLowDateTime = static_cast<DWORD>(v);
        ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
    };
    bool ok = SetFileAttributesA(fileName, status.m_attribute ? status.m_attribute : FILE_ATTRIBUTE_NORMAL);
    if (ok && (status.m_mtime || status.m_atime || status.m_ctime)) {
        HANDLE h = CreateFileA(fileName, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        ok = h != INVALID_HANDLE_VALUE;
        if (ok) {
            FILETIME c{}, a{}, m{};
            toFileTime(status.m_ctime, c);
            toFileTime(status.m_atime, a);
            toFileTime(status.m_mtime, m);
            ok = SetFileTime(h, status.m_ctime ? &c : nullptr, status.m_atime ? &a : nullptr,
                             status.m_mtime ? &m : nullptr);
            DWORD keep = GetLastError();
            CloseHandle(h);
            SetLastError(keep);
        }
    }
    if (!ok) {
        LONG os = LastOsError();
        int cause = CFileException::OsErrorToException(os);
        Poll();
        std::string detail = Printf("%.100s  %x casuse=%d,  OsError=%d", fileName ? fileName : "",
                                    static_cast<unsigned>(status.m_attribute), cause, static_cast<int>(os));
        throw CVQBException("EPS_File", "CVQBFile::SetStatus", detail.c_str(), "SetStatus", fileName, nullptr);
    }
}

// ---- CVQBStdioFile ---------------------------------------------------------------------

CVQBStdioFile::CVQBStdioFile() : m_pStream(nullptr) { Poll(); }

CVQBStdioFile::CVQBStdioFile(FILE* stream) : m_pStream(stream) { Poll(); }

CVQBStdioFile::CVQBStdioFile(const char* fileName, UINT openFlags) : m_pStream(nullptr) {
    Poll();
    m_strFileName = fileName ? fileName : "";
    CFileException error;
    if (!Open(fileName, openFlags, &error))
        ThrowFileError("CVQBStdioFile", Printf("%.128s, %d", fileName ? fileName : "", static_cast<int>(openFlags)),
                       m_strFileName, error.m_cause, error.m_lOsError);
}

CVQBStdioFile::~CVQBStdioFile() {
    if (m_pStream) std::fclose(m_pStream);
}

void CVQBStdioFile::Fail(const char* operation, const std::string& params, int cause, LONG osError) const {
    ThrowFileError(operation, params, m_strFileName, cause, osError);
}

BOOL CVQBStdioFile::Open(const char* fileName, UINT flags, CFileException* error) {
    Poll();
    m_strFileName = fileName ? fileName : "";
    m_bText = !(flags & CVQBFile::typeBinary);
    std::string mode;
    if (flags & CVQBFile::modeCreate)
        mode = (flags & CVQBFile::modeNoTruncate) ? "a" : "w";
    else if (flags & CVQBFile::modeWrite)
        mode = "a";
    else
        mode = "r";
    if ((mode == "r" && (flags & CVQBFile::modeReadWrite)) || (mode != "r" && !(flags & CVQBFile::modeWrite)))
        mode += '+';
    std::string path = pal::MapPath(fileName);
    m_pStream = path.empty() ? nullptr : std::fopen(path.c_str(), mode.c_str());
    if (!m_pStream) {
        if (error) {
            LONG os = path.empty() ? ERROR_PATH_NOT_FOUND : static_cast<LONG>(pal::ErrorFromErrno(errno));
            *error = CFileException(CFileException::OsErrorToException(os), os, fileName);
        }
        return FALSE;
    }
    return TRUE;
}

ULONGLONG CVQBStdioFile::GetPosition() {
    Poll();
    long pos = m_pStream ? std::ftell(m_pStream) : -1;
    if (pos < 0) {
        LONG os = m_pStream ? static_cast<LONG>(pal::ErrorFromErrno(errno)) : ERROR_INVALID_HANDLE;
        Fail("GetPosition", "", CFileException::OsErrorToException(os), os);
    }
    return static_cast<ULONGLONG>(pos);
}

ULONGLONG CVQBStdioFile::Seek(LONGLONG offset, UINT from) {
    Poll();
    int whence = from == CVQBFile::begin ? SEEK_SET : from == CVQBFile::current ? SEEK_CUR : SEEK_END;
    if (!m_pStream || std::fseek(m_pStream, static_cast<long>(offset), whence) != 0) {
        LONG os = m_pStream ? ERROR_NEGATIVE_SEEK : ERROR_INVALID_HANDLE;
        Fail("Seek", Printf("%d, %d", static_cast<int>(offset), static_cast<int>(from)),
             CFileException::OsErrorToException(os), os);
    }
    return static_cast<ULONGLONG>(std::ftell(m_pStream));
}

UINT CVQBStdioFile::Read(void* buffer, UINT count) {
    Poll();
    if (!m_pStream) Fail("Read", Printf("%x, %d", Addr(buffer), static_cast<int>(count)), CFileException::invalidFile,
                         ERROR_INVALID_HANDLE);
    size_t got = std::fread(buffer, 1, count, m_pStream);
    if (got < count && std::ferror(m_pStream)) {
        LONG os = static_cast<LONG>(pal::ErrorFromErrno(errno));
        Fail("Read", Printf("%x, %d", Addr(buffer), static_cast<int>(count)), CFileException::OsErrorToException(os),
             os);
    }
    return static_cast<UINT>(got);
}

void CVQBStdioFile::Write(const void* buffer, UINT count) {
    Poll();
    if (!m_pStream || std::fwrite(buffer, 1, count, m_pStream) != count) {
        LONG os = m_pStream ? static_cast<LONG>(pal::ErrorFromErrno(errno)) : ERROR_INVALID_HANDLE;
        Fail("Write", Printf("%x, %d", Addr(buffer), static_cast<int>(count)), CFileException::OsErrorToException(os),
             os);
    }
}

char* CVQBStdioFile::ReadString(char* buffer, UINT maxLength) {
    Poll();
    if (!m_pStream) Fail("ReadString", Printf("%x, %d", Addr(buffer), static_cast<int>(maxLength)),
                         CFileException::invalidFile, ERROR_INVALID_HANDLE);
    if (!std::fgets(buffer, static_cast<int>(maxLength), m_pStream)) {
        if (std::ferror(m_pStream)) {
            LONG os = static_cast<LONG>(pal::ErrorFromErrno(errno));
            Fail("ReadString", Printf("%x, %d", Addr(buffer), static_cast<int>(maxLength)),
                 CFileException::OsErrorToException(os), os);
        }
        return nullptr;
    }
    if (m_bText) {
        size_t n = std::strlen(buffer);
        if (n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n') {
            buffer[n - 2] = '\n';
            buffer[n - 1] = '\0';
        }
    }
    return buffer;
}

void CVQBStdioFile::WriteString(const char* text) {
    Poll();
    bool ok = m_pStream != nullptr;
    for (const char* p = text; ok && p && *p; ++p) {
        if (m_bText && *p == '\n' && std::fputc('\r', m_pStream) == EOF) ok = false;
        if (ok && std::fputc(*p, m_pStream) == EOF) ok = false;
    }
    if (!ok) {
        LONG os = m_pStream ? static_cast<LONG>(pal::ErrorFromErrno(errno)) : ERROR_INVALID_HANDLE;
        Fail("WriteString", Printf("%x", Addr(text)), CFileException::OsErrorToException(os), os);
    }
}

void CVQBStdioFile::LockRange(ULONGLONG position, ULONGLONG count) {
    Poll();
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(position);
    fl.l_len = static_cast<off_t>(count);
    if (!m_pStream || fcntl(fileno(m_pStream), F_OFD_SETLK, &fl) != 0) {
        LONG os = m_pStream ? ERROR_LOCK_VIOLATION : ERROR_INVALID_HANDLE;
        Fail("LockRange", Printf("%d, %d", static_cast<int>(position), static_cast<int>(count)),
             CFileException::OsErrorToException(os), os);
    }
}

void CVQBStdioFile::UnlockRange(ULONGLONG position, ULONGLONG count) {
    Poll();
    struct flock fl{};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(position);
    fl.l_len = static_cast<off_t>(count);
    if (!m_pStream || fcntl(fileno(m_pStream), F_OFD_SETLK, &fl) != 0) {
        LONG os = m_pStream ? ERROR_NOT_LOCKED : ERROR_INVALID_HANDLE;
        Fail("UnlockRange", Printf("%d, %d", static_cast<int>(position), static_cast<int>(count)),
             CFileException::OsErrorToException(os), os);
    }
}

void CVQBStdioFile::Flush() {
    Poll();
    if (m_pStream && std::fflush(m_pStream) != 0) {
        LONG os = static_cast<LONG>(pal::ErrorFromErrno(errno));
        Fail("Flush", "", CFileException::OsErrorToException(os), os);
    }
}

void CVQBStdioFile::Close() {
    Poll();
    if (!m_pStream) return;
    FILE* f = m_pStream;
    m_pStream = nullptr;
    if (std::fclose(f) != 0) {
        LONG os = static_cast<LONG>(pal::ErrorFromErrno(errno));
        Fail("Close", "", CFileException::OsErrorToException(os), os);
    }
}

CVQBStdioFile* CVQBStdioFile::Duplicate() {
    Poll();
    int fd = m_pStream ? dup(fileno(m_pStream)) : -1;
    FILE* copy = fd >= 0 ? fdopen(fd, "r+") : nullptr;
    if (!copy) {
        if (fd >= 0) close(fd);
        LONG os = m_pStream ? static_cast<LONG>(pal::ErrorFromErrno(errno)) : ERROR_INVALID_HANDLE;
        Fail("Duplicate", "", CFileException::OsErrorToException(os), os);
    }
    auto* dupFile = new CVQBStdioFile(copy);
    dupFile->m_strFileName = m_strFileName;
    dupFile->m_bText = m_bText;
    return dupFile;
}
