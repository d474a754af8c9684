// CAplLog: the process's application log. Every framework process logging into the same
// directory writes the same four ring files; a named mutex derived from the directory
// serialises them, and a position header at the start of each file lets every writer go
// on where the last one (of any process) stopped. One process per directory holds the
// "right of log rule" and runs the housekeeping thread (periodic flush, rename/clear).
#pragma once

#include <string>

#include "pal/types.h"

typedef void (*APLLOG_WRITE_HANDLER)(WORD eventCode, DWORD errorCode, LONG idCode, const char* function,
                                     const char* message);
typedef void (*APLLOG_WRITE_HANDLER2)(WORD eventCode, DWORD errorCode, LONG idCode, const char* function,
                                      const char* head, const char* body, LONG level);

class CAplLog {
public:
    CAplLog() = default;

    static void Open(short sysId, const char* processName, const char* logDir, LONG fileSize, int flushThread);
    static int IsOpen();
    static void SetLog2Info(const char* pcName, LONG packageNo, LONG subNo, LONG level, int threadId);
    static void SetLogLevel(LONG level);
    static void Write(WORD eventCode, DWORD errorCode, LONG idCode, const char* function, const char* message,
                      LONG level);
    static void Flush();
    static void SetWriteHandler(APLLOG_WRITE_HANDLER handler);
    static void SetWriteHandler2(APLLOG_WRITE_HANDLER2 handler);
    static void RenameClear();
    static void SetRestrainLogOption(int option);
    static void Close();

    // The two mutex-name suffix rules, exposed for tools and tests.
    static std::string MutexSuffix(const std::string& logDir);

    // Positions above this would need a ninth header digit; larger sizes are cut to it.
    static constexpr LONG kMaxFileSize = 99000000;

    static HANDLE m_hAplLog2;  // vqapl.log
    static HANDLE m_hErrLog;   // vqerr.log
    static HANDLE m_hSerLog;   // vqser.log
    static HANDLE m_hAplLog;   // vqrapl.log
    static int m_bVqraplLog;
    static std::string m_AplLogDir;
    static std::string m_ProcessName;
    static std::string m_PcName;
    static LONG m_PackageNo;
    static LONG m_SubNo;
    static short m_SysId;
    static LONG m_Level;
    static LONG m_FileSize;
    static int m_bFlushThread;
    static int m_bThreadId;
    static DWORD m_dwMutexTimeout;
    static int m_bRestrainLogOption;
    static std::string m_strMutex;
    static HANDLE m_hLogMutex;
    static HANDLE m_hThreadAplLog;
    static HANDLE m_hEventClose;
    static HANDLE m_hEventRename;
    static APLLOG_WRITE_HANDLER m_WriteHandler;
    static APLLOG_WRITE_HANDLER2 m_WriteHandler2;

private:
    static DWORD WINAPI LogFlsuhThread(LPVOID param);
    static void PositionedWrite(HANDLE file, const char* data, DWORD size);
    static void FlushFiles();
    static void _RenameClear();
    static LONG _RenameClearSub(HANDLE file, const char* baseName);
    static bool WaitLogMutex(DWORD timeout);
};
