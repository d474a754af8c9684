// The application's request map (which command words start which job thread) and its
// job-queue table. Both are arrays the application defines; the process core reads them.
#pragma once

#include <string>
#include <vector>

#include "pal/thread/thread.h"
#include "pal/types.h"

// A job's thread routine: takes its slot of the job-thread table.
typedef LPTHREAD_START_ROUTINE JOBTHREAD_ROUTINE;

// Routine markers of a map entry. They sit at the very top of the 64-bit address space,
// where no code is ever mapped, so no real routine can be taken for one of them.
inline JOBTHREAD_ROUTINE SjobRoutineIgnore() { return reinterpret_cast<JOBTHREAD_ROUTINE>(~UINT_PTR{1}); }
inline JOBTHREAD_ROUTINE SjobRoutineNone() { return reinterpret_cast<JOBTHREAD_ROUTINE>(~UINT_PTR{0} << 28); }
// True when the entry names a real routine (neither marker nor null).
inline bool SjobHasRoutine(JOBTHREAD_ROUTINE routine) {
    const UINT_PTR value = reinterpret_cast<UINT_PTR>(routine);
    return value != 0 && value < reinterpret_cast<UINT_PTR>(SjobRoutineNone());
}

constexpr WORD SJOB_FLAG_QUEUE = 1;     // requests go through the entry's queue
constexpr WORD SJOB_FLAG_RESIDENT = 2;  // resident job thread

typedef struct _SJOB_MAP_TBL {
    WORD wEnd;  // 0 for a valid entry; anything else ends the map
    WORD wFlags;
    SHORT sSJob1;
    SHORT sSJob2;
    SHORT sSJob3;
    JOBTHREAD_ROUTINE pRoutine;
    const JOBTHREAD_ROUTINE* pExclusive;  // null-terminated list, or null
    const char* pszQueName;
} SJOB_MAP_TBL;

constexpr DWORD QUE_FLAG_FILE = 1;       // the queue is kept in its queue file
constexpr DWORD QUE_FLAG_STOPSAVE = 2;   // the queue file is written at stop
constexpr DWORD QUE_FLAG_NOANSWER = 4;   // the requester is answered by the job, not at queueing

typedef struct _QUE_MAP_TBL {
    const char* pszName;  // null ends the table
    LONG lCapacity;
    DWORD dwFlags;
    std::vector<std::string>* pRecords;  // oldest first; made at start, deleted at close
} QUE_MAP_TBL;
