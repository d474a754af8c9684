// Record layouts: a main record is 256 bytes (115-byte head, 139-byte body, CR LF) when
// every field keeps its nominal width; the short-form line of vqrapl.log is free length.
// Each write is: read the header, write the data at its offset, write the new header,
// all under the log mutex, so writers of every process continue one shared ring.
//
// Within a process an in-process lock is taken before the log mutex: it keeps threads
// from interleaving when the mutex wait timed out, and lets Close tear the log down only
// when no Write or Flush is inside.
#include "framework/apllog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "framework/registory.h"
#include "framework/vqbexception.h"
#include "pal/windows.h"

HANDLE CAplLog::m_hAplLog2 = INVALID_HANDLE_VALUE;
HANDLE CAplLog::m_hErrLog = INVALID_HANDLE_VALUE;
HANDLE CAplLog::m_hSerLog = INVALID_HANDLE_VALUE;
HANDLE CAplLog::m_hAplLog = INVALID_HANDLE_VALUE;
int CAplLog::m_bVqraplLog = 0;
std::string CAplLog::m_AplLogDir;
std::string CAplLog::m_ProcessName;
std::string CAplLog::m_PcName;
LONG CAplLog::m_PackageNo = 0;
LONG CAplLog::m_SubNo = 0;
short CAplLog::m_SysId = 0;
LONG CAplLog::m_Level = 3;
LONG CAplLog::m_FileSize = 1200000;
int CAplLog::m_bFlushThread = 1;
int CAplLog::m_bThreadId = 1;
DWORD CAplLog::m_dwMutexTimeout = INFINITE;
int CAplLog::m_bRestrainLogOption = 1;
std::string CAplLog::m_strMutex;
HANDLE CAplLog::m_hLogMutex = nullptr;
HANDLE CAplLog::m_hThreadAplLog = nullptr;
HANDLE CAplLog::m_hEventClose = nullptr;
HANDLE CAplLog::m_hEventRename = nullptr;
APLLOG_WRITE_HANDLER CAplLog::m_WriteHandler = nullptr;
APLLOG_WRITE_HANDLER2 CAplLog::m_WriteHandler2 = nullptr;

namespace {

std::recursive_mutex& StateLock() {
    static std::recursive_mutex* lock = new std::recursive_mutex();  // usable during exit
    return *lock;
}

// Any account may open the log's mutexes: a null access list, inheritable handles.
SECURITY_ATTRIBUTES* OpenToAll() {
    static SECURITY_DESCRIPTOR sd;
    static SECURITY_ATTRIBUTES sa;
    static bool made = false;
    if (!made) {
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
        sa.nLength = sizeof sa;
        sa.lpSecurityDescriptor = &sd;
        sa.bInheritHandle = TRUE;
        made = true;
    }
    return &sa;
}

HANDLE OpenLogFile(const std::string& path, bool& created) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr);
    created = h != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS;
    return h;
}

void CloseFile(HANDLE& h) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<size_t>(n) + 1 : 1, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size(), fmt, ap);
    va_end(ap);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

ULONGLONG FileTimeValue(const FILETIME& ft) {
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

std::string CAplLog::MutexSuffix(const std::string& logDir) {
    // Split into drive ("c:") and folder ("\x\"); keep the drive's first character.
    std::string drive, folder = logDir;
    if (logDir.size() >= 2 && logDir[1] == ':') {
        drive = logDir.substr(0, 1);
        folder = logDir.substr(2);
    }
    std::string suffix = drive + "_" + folder;
    for (auto& c : suffix)
        if (c == '\\') c = '_';
    return suffix;
}

void CAplLog::Open(short sysId, const char* processName, const char* logDir, LONG fileSize, int flushThread) {
    std::lock_guard<std::recursive_mutex> guard(StateLock());
    m_bVqraplLog = 0;  // decided anew at each Open
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM\\APLLOG", 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        m_bVqraplLog = 1;
        RegCloseKey(key);
    }
    {
        CVQRegistory reg;
        if (reg.OpenApl("SYSTEM", KEY_READ | KEY_WRITE)) {
            DWORD timeout = m_dwMutexTimeout;
            if (reg.Read("LOGMUTEX_TIMEOUT", timeout)) m_dwMutexTimeout = timeout;
        }
    }
    m_SysId = sysId;
    m_ProcessName = processName ? processName : "";
    m_FileSize = fileSize > kMaxFileSize ? kMaxFileSize : fileSize;
    m_bFlushThread = flushThread;
    m_AplLogDir = logDir ? logDir : "";
    if (m_AplLogDir.empty() || m_AplLogDir.back() != '\\') m_AplLogDir += '\\';
    m_strMutex = MutexSuffix(m_AplLogDir);

    m_hLogMutex = CreateMutexA(OpenToAll(), TRUE, ("VQLogFileMutex_" + m_strMutex).c_str());
    if (m_hLogMutex && GetLastError() == ERROR_ALREADY_EXISTS) WaitForSingleObject(m_hLogMutex, INFINITE);

    bool created = false;
    if (m_bVqraplLog) {
        m_hAplLog = OpenLogFile(m_AplLogDir + "vqrapl.log", created);
        if (created) PositionedWrite(m_hAplLog, nullptr, 0);
    }
    m_hAplLog2 = OpenLogFile(m_AplLogDir + "vqapl.log", created);
    if (created) PositionedWrite(m_hAplLog2, nullptr, 0);
    m_hErrLog = OpenLogFile(m_AplLogDir + "vqerr.log", created);
    if (created) PositionedWrite(m_hErrLog, nullptr, 0);
    m_hSerLog = OpenLogFile(m_AplLogDir + "vqser.log", created);
    if (created) PositionedWrite(m_hSerLog, nullptr, 0);

    if (m_bFlushThread) {
        m_hEventClose = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_hEventRename = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (m_hEventClose && m_hEventRename)
            m_hThreadAplLog = CreateThread(nullptr, 0, LogFlsuhThread, nullptr, 0, nullptr);
    }
    if (m_hLogMutex) ReleaseMutex(m_hLogMutex);
}

int CAplLog::IsOpen() { return m_hAplLog2 != INVALID_HANDLE_VALUE ? 1 : 0; }

void CAplLog::SetLog2Info(const char* pcName, LONG packageNo, LONG subNo, LONG level, int threadId) {
    std::lock_guard<std::recursive_mutex> guard(StateLock());
    m_PcName = pcName ? pcName : "";
    m_PackageNo = packageNo;
    m_SubNo = subNo;
    m_Level = level;
    m_bThreadId = threadId;
}

void CAplLog::SetLogLevel(LONG level) { m_Level = level; }

void CAplLog::SetWriteHandler(APLLOG_WRITE_HANDLER handler) { m_WriteHandler = handler; }

void CAplLog::SetWriteHandler2(APLLOG_WRITE_HANDLER2 handler) { m_WriteHandler2 = handler; }

void CAplLog::SetRestrainLogOption(int option) { m_bRestrainLogOption = option; }

void CAplLog::RenameClear() {
    if (m_hEventRename) SetEvent(m_hEventRename);
}

bool CAplLog::WaitLogMutex(DWORD timeout) {
    DWORD r = WaitForSingleObject(m_hLogMutex, timeout);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED_0;
}

void CAplLog::PositionedWrite(HANDLE file, const char* data, DWORD size) {
    if (file == INVALID_HANDLE_VALUE) return;
    char head[128] = {};
    DWORD got = 0;
    OVERLAPPED at{};
    ReadFile(file, head, 127, &got, &at);
    head[got < 127 ? got : 127] = '\0';
    head[std::strcspn(head, "\r\n")] = '\0';
    long offset = std::atol(head);
    if (offset > m_FileSize || offset < 10) offset = 10;
    DWORD written = 0;
    if (data && size) {
        // A record that would push the position past eight digits starts the ring again.
        if (static_cast<long long>(offset) + size > 99999999LL) offset = 10;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(offset);
        WriteFile(file, data, size, &written, &where);
    }
    char header[16];
    std::snprintf(header, sizeof header, "%08ld\r\n", offset + static_cast<long>(written));
    OVERLAPPED zero{};
    DWORD done = 0;
    WriteFile(file, header, 10, &done, &zero);
}

void CAplLog::FlushFiles() {
    for (HANDLE h : {m_hAplLog, m_hAplLog2, m_hErrLog, m_hSerLog})
        if (h != INVALID_HANDLE_VALUE) FlushFileBuffers(h);
}

void CAplLog::Write(WORD eventCode, DWORD errorCode, LONG idCode, const char* function, const char* message,
                    LONG level) {
    if (level > m_Level && level > 3) return;
    std::lock_guard<std::recursive_mutex> guard(StateLock());
    if (!m_hLogMutex) return;  // not open, or closed while this thread waited
    bool owned = WaitLogMutex(m_dwMutexTimeout);

    SYSTEMTIME t;
    GetLocalTime(&t);
    std::string copy;
    if (message) {
        copy = message;
        for (auto& c : copy)
            if (c == '\r' || c == '\n') c = 0x7F;
    }

    // Short-form line: built without a fixed limit, so any function name fits.
    std::string shortHead = Format("%02d%02d%02d %02d%02d%02d %-8.8s %10d ", t.wYear % 100, t.wMonth, t.wDay,
                                   t.wHour, t.wMinute, t.wSecond, m_ProcessName.c_str(),
                                   static_cast<int>(GetCurrentThreadId()));
    shortHead += eventCode ? Format("%04d-", eventCode) : std::string("    -");
    shortHead += Format("%08x  ", errorCode);
    if (function) {
        size_t len = std::strlen(function);
        shortHead += function;
        size_t pad = len < 32 ? 32 - len : len % 8;
        shortHead.append(pad, ' ');
    }
    if (level <= 3 && m_bVqraplLog) {
        PositionedWrite(m_hAplLog, shortHead.data(), static_cast<DWORD>(shortHead.size()));
        if (message) PositionedWrite(m_hAplLog, copy.data(), static_cast<DWORD>(copy.size()));
        PositionedWrite(m_hAplLog, "\r\n", 2);
    }
    if (m_WriteHandler) m_WriteHandler(eventCode, errorCode, idCode, function, message ? copy.c_str() : nullptr);

    if (level <= m_Level && !m_PcName.empty()) {
        std::string head = Format("%04d%02d%02d,%02d%02d%02d,%02d,%02d,%-15.15s,%-8.8s,%10u,%09u,%04d-%08x,%-30.30s,%01d,",
                                  t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                                  static_cast<int>(m_PackageNo), static_cast<int>(m_SubNo), m_PcName.c_str(),
                                  m_ProcessName.c_str(), m_bThreadId ? GetCurrentThreadId() : 0u,
                                  static_cast<unsigned>(idCode), static_cast<int>(eventCode), errorCode,
                                  function ? function : "", static_cast<int>(level));
        std::string body = Format("%-139.139s", message ? message : "");
        std::string record = head + body + "\r\n";
        DWORD size = static_cast<DWORD>(record.size());
        PositionedWrite(m_hAplLog2, record.data(), size);
        if (eventCode >= 7000) {
            PositionedWrite(m_hErrLog, record.data(), size);
            if (eventCode >= 9000) PositionedWrite(m_hSerLog, record.data(), size);
            if (eventCode >= 8000) FlushFiles();
        } else if (!m_hEventClose) {
            FlushFiles();
        }
        if (m_WriteHandler2) m_WriteHandler2(eventCode, errorCode, idCode, function, head.c_str(), body.c_str(), level);
    }
    if (owned) ReleaseMutex(m_hLogMutex);
}

void CAplLog::Flush() {
    std::lock_guard<std::recursive_mutex> guard(StateLock());
    if (!m_hLogMutex) return;
    bool owned = WaitLogMutex(m_dwMutexTimeout);
    FlushFiles();
    if (owned) ReleaseMutex(m_hLogMutex);
}

DWORD WINAPI CAplLog::LogFlsuhThread(LPVOID) {
    HANDLE flush = CreateMutexA(OpenToAll(), TRUE, ("VQLogFlushMutex_" + m_strMutex).c_str());
    if (!flush) return 0;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Close ends this wait too, so a process that never got the right can still close.
        HANDLE waits[3] = {flush, CVQBException::GetStopHandle(), m_hEventClose};
        DWORD r = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED_0) {
            CloseHandle(flush);
            return 0;
        }
    }
    ResetEvent(m_hEventRename);
    Write(0, 0, 0, "CAplLog::LogFlsuhThread", "It acquired the right of log rule.", 2);
    for (;;) {
        HANDLE waits[2] = {m_hEventClose, m_hEventRename};
        DWORD r = WaitForMultipleObjects(2, waits, FALSE, 30000);
        if (r == WAIT_OBJECT_0) break;
        Flush();
        if (r == WAIT_OBJECT_0 + 1) {
            Write(0, 0, 0, "CAplLog::LogFlsuhThread", "Rename/clear log", 2);
            _RenameClear();
        }
    }
    ReleaseMutex(flush);
    CloseHandle(flush);
    return 0;
}

void CAplLog::_RenameClear() {
    LONG r = _RenameClearSub(m_hAplLog2, "vqapl");
    if (r < 0)
        Write(8000, static_cast<DWORD>(r), 0, "CAplLog::LogFlsuhThread", "It has not rname and ckear log. (2)", 2);
    if (m_bVqraplLog) {
        // Each file reports its own result; or-ing them would repeat the first failure.
        LONG rr = _RenameClearSub(m_hAplLog, "vqrapl");
        if (rr < 0)
            Write(8000, static_cast<DWORD>(rr), 0, "CAplLog::LogFlsuhThread", "It has not rname and ckear log. (r)",
                  2);
    }
}

LONG CAplLog::_RenameClearSub(HANDLE file, const char* baseName) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::string base = Format("%s%s.%02d%02d", m_AplLogDir.c_str(), baseName, t.wMonth, t.wDay);
    HANDLE backup = INVALID_HANDLE_VALUE;
    for (int k = 0; k < 27 && backup == INVALID_HANDLE_VALUE; ++k) {
        std::string name = k == 0 ? base : base + static_cast<char>('a' + k - 1);
        backup = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             CREATE_NEW, FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_COMPRESSED, nullptr);
    }
    if (backup == INVALID_HANDLE_VALUE) return -1;
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    DWORD returned = 0;
    if (!DeviceIoControl(backup, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned, nullptr)) {
        CloseHandle(backup);
        return -2;
    }
    std::lock_guard<std::recursive_mutex> guard(StateLock());
    if (!m_hLogMutex) {
        CloseHandle(backup);
        return -3;
    }
    WaitLogMutex(INFINITE);
    char block[4096];
    ULONGLONG offset = 0;
    for (;;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(file, block, sizeof block, &got, &at) && GetLastError() != ERROR_HANDLE_EOF) {
            CloseHandle(backup);
            ReleaseMutex(m_hLogMutex);
            return -4;
        }
        if (got == 0) break;
        DWORD put = 0;
        if (!WriteFile(backup, block, got, &put, nullptr) || put != got) {
            CloseHandle(backup);
            ReleaseMutex(m_hLogMutex);
            return -5;
        }
        offset += got;
    }
    CloseHandle(backup);
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    ReleaseMutex(m_hLogMutex);

    // Backups older than 65 whole days go.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG day = 864000000000ull;
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA(Format("%s\\%s.*", m_AplLogDir.c_str(), baseName).c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            ULONGLONG written = FileTimeValue(fd.ftLastWriteTime);
            ULONGLONG current = FileTimeValue(now);
            if (current > written && (current - written) / day > 65)
                DeleteFileA((m_AplLogDir + fd.cFileName).c_str());
        } while (FindNextFileA(find, &fd));
        FindClose(find);
    }
    return 0;
}

void CAplLog::Close() {
    // The housekeeping thread uses the files and the mutex: it ends before they go.
    if (m_hEventClose) {
        SetEvent(m_hEventClose);
        if (m_hThreadAplLog) {
            WaitForSingleObject(m_hThreadAplLog, INFINITE);
            CloseHandle(m_hThreadAplLog);
            m_hThreadAplLog = nullptr;
        }
        CloseHandle(m_hEventClose);
        m_hEventClose = nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(StateLock());
    if (m_hEventRename) {
        CloseHandle(m_hEventRename);
        m_hEventRename = nullptr;
    }
    CloseFile(m_hAplLog);
    CloseFile(m_hAplLog2);
    CloseFile(m_hErrLog);
    CloseFile(m_hSerLog);
    if (m_hLogMutex) {
        CloseHandle(m_hLogMutex);
        m_hLogMutex = nullptr;
    }
}
