// The process core's job queues: queueing a request, handing the head of a queue to a
// job thread, and keeping queues in their queue files (framework/quefile.h).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "framework/apllog.h"
#include "framework/quefile.h"
#include "framework/vqbthdmsg.h"
#include "pal/windows.h"

namespace {

std::string CommandWordsOf(const std::string& text) {
    const size_t at = offsetof(ASCII_REQUEST, SJob1);
    return text.size() > at ? text.substr(at, 30) : std::string();
}

}  // namespace

short CVQBThdMsg::QueJobReq(CJobPipeData& record, const char* queName) {
    static const char* kFunc = "CVQBThdMsg::QueJobReq";
    const LONG idCode = static_cast<LONG>(record.GetIdCode());
    QUE_MAP_TBL* q = GetQueTbl(queName);
    if (!q) {
        CAplLog::Write(8000, 0, idCode, kFunc,
                       "QUE which it specified on an ON_SJOBQ? macro view is not defined by the THREAD_QUE macro.", 1);
        return 8000;
    }
    if (!q->pRecords) q->pRecords = new std::vector<std::string>();
    if (static_cast<LONG>(q->pRecords->size()) > q->lCapacity) {
        CAplLog::Write(7003, 0, idCode, kFunc,
                       "It exceeded the capacity it can carry out whose cue Inge.  Therefore, it carries out a busy "
                       "response.",
                       2);
        return 7003;
    }
    const ASCII_REQUEST* ascii = record;
    q->pRecords->emplace_back(reinterpret_cast<const char*>(ascii), strnlen(reinterpret_cast<const char*>(ascii), 4095));
    // A request the queue file could not keep is refused rather than accepted on a
    // promise the file cannot hold; the file still matches the queue.
    if (QueRealFlush(q) != 0) {
        q->pRecords->pop_back();
        return 8000;
    }
    return (q->dwFlags & QUE_FLAG_NOANSWER) ? -1 : 0;
}

void CVQBThdMsg::SetAsideQueueHead(QUE_MAP_TBL* entry, const char* why) {
    const std::string head = entry->pRecords->front();
    const std::string path = CQueFile::PathOf(m_strQueDir, m_strProcessName, entry->pszName) + ".rejected";
    std::string problem;
    const bool kept = CQueFile::Append(path, head, &problem) == CQueFile::kOk;
    char text[1024];
    if (kept)
        std::snprintf(text, sizeof text, "The head of queue %s was set aside in %s (%s).  \"%.*s\"", entry->pszName,
                      path.c_str(), why, 30, CommandWordsOf(head).c_str());
    else
        std::snprintf(text, sizeof text, "The head of queue %s was removed (%s); it could not be kept: %s.  \"%.*s\"",
                      entry->pszName, why, problem.c_str(), 30, CommandWordsOf(head).c_str());
    CAplLog::Write(8000, 0, 0, "CVQBThdMsg::GetJobReqQue", text, 1);
    if (!kept) {
        // The record text itself goes to the log, so it is not lost.
        std::snprintf(text, sizeof text, "Removed record: %.900s", head.c_str());
        CAplLog::Write(8000, 0, 0, "CVQBThdMsg::GetJobReqQue", text, 1);
    }
    entry->pRecords->erase(entry->pRecords->begin());
    QueRealFlush(entry);
}

short CVQBThdMsg::GetJobReqQue(QUE_MAP_TBL* entry) {
    static const char* kFunc = "CVQBThdMsg::GetJobReqQue";
    if (!entry) {
        CAplLog::Write(8000, 0, 0, kFunc, "parameter (pQueMapTbl) is null.", 1);
        return 8000;
    }
    // A head that can never be started is set aside, and the next one tried.
    for (;;) {
        if (!entry->pRecords || entry->pRecords->empty()) return 1;
        if (m_sStopFlag || m_sQuietPauseFlag) return 1;
        ASCII_REQUEST head{};
        const std::string& text = entry->pRecords->front();
        std::memcpy(&head, text.data(), std::min<size_t>(text.size(), sizeof head - 1));
        CJobPipeData record(&head);
        if (m_pSjobMapTbl) {
            for (const SJOB_MAP_TBL* e = m_pSjobMapTbl; e->wEnd == 0; ++e) {
                if (!e->pszQueName || std::strcmp(e->pszQueName, entry->pszName) != 0) continue;
                if (e->wFlags & SJOB_FLAG_RESIDENT) {
                    const SHORT busy = SjobHasRoutine(e->pRoutine)
                                           ? m_JobThdCtrl.IsActive(e->pRoutine)
                                           : m_JobThdCtrl.IsActive(static_cast<LONG>(GetJobThdKey(record, e)));
                    if (busy) return 1;
                } else if (SjobHasRoutine(e->pRoutine) && m_JobThdCtrl.GetJobThdNum(e->pRoutine) > 0) {
                    return 1;
                }
            }
        }
        const SJOB_MAP_TBL* e = GetSjobMapTbl(record.GetSJob1(), record.GetSJob2(), record.GetSJob3());
        if (!e) {
            CAplLog::Write(8000, 0, 0, kFunc,
                           "It has not searched SJOB map from the demand command which acted as cue Inge.", 1);
            SetAsideQueueHead(entry, "no SJOB map entry");
            continue;
        }
        // A non-resident entry without a routine fails the same way at every try.
        if (!(e->wFlags & SJOB_FLAG_RESIDENT) && !SjobHasRoutine(e->pRoutine)) {
            SetAsideQueueHead(entry, "its SJOB map entry names no JobThread");
            continue;
        }
        return ReqJobThread(record, e, (entry->dwFlags & QUE_FLAG_NOANSWER) ? 2 : 1);
    }
}

short CVQBThdMsg::GetJobReqQue(const char* queName) {
    if (!queName) {
        CAplLog::Write(8000, 0, 0, "CVQBThdMsg::GetJobReqQue", "parameter (queName) is null.", 1);
        return 8000;
    }
    return GetJobReqQue(GetQueTbl(queName));
}

short CVQBThdMsg::GetJobReqQue() {
    // 1 when no queue started work, 0 when one did and none failed, else a failure code.
    // (An idle queue after a started one must not turn the 0 back into 1.)
    short combined = 1;
    if (!m_pQueMapTbl) return combined;
    for (QUE_MAP_TBL* q = m_pQueMapTbl; q->pszName; ++q) {
        short r = GetJobReqQue(q);
        if (r > 1 || r < 0)
            combined = r;
        else if (r == 0 && combined == 1)
            combined = 0;
    }
    return combined;
}

short CVQBThdMsg::QueRealFlush(QUE_MAP_TBL* entry) {
    return entry && (entry->dwFlags & QUE_FLAG_FILE) ? QueFlush(entry) : 0;
}

short CVQBThdMsg::QueFlush(QUE_MAP_TBL* entry) {
    static const char* kFunc = "CVQBThdMsg::QueFlush";
    if (!entry || !entry->pszName) return 0;
    try {
        static const std::vector<std::string> kEmpty;
        const std::string path = CQueFile::PathOf(m_strQueDir, m_strProcessName, entry->pszName);
        std::string why;
        if (CQueFile::Write(path, entry->pRecords ? *entry->pRecords : kEmpty, &why) != CQueFile::kOk) {
            char text[1024];
            std::snprintf(text, sizeof text, "The queue file could not be written. %s", why.c_str());
            CAplLog::Write(8000, GetLastError(), 0, kFunc, text, 1);
            return -1;
        }
        return 0;
    } catch (...) {
        CAplLog::Write(8000, 0, 0, kFunc, "exception", 1);
        return -1;
    }
}

short CVQBThdMsg::QueFlush() {
    if (!m_pQueMapTbl) return 0;
    for (QUE_MAP_TBL* q = m_pQueMapTbl; q->pszName; ++q) {
        short r = QueFlush(q);
        if (r != 0) return r;
    }
    return 0;
}

short CVQBThdMsg::InsertReq2QueFile(CJobPipeData& record, const char* queName, int offset) {
    static const char* kFunc = "CVQBThdMsg::InsertReq2QueFile";
    if (!queName) return -1;
    const std::string path = CQueFile::PathOf(m_strQueDir, m_strProcessName, queName);
    std::vector<std::string> records;
    CQueFile::Damage damage;
    std::string why;
    char text[1024];
    // A missing file is an empty queue; a damaged one is left as it is, so rewriting
    // it does not throw away what could not be read.
    switch (CQueFile::Read(path, records, &damage, &why)) {
        case CQueFile::kOk:
        case CQueFile::kMissing:
            break;
        case CQueFile::kDamaged:
            std::snprintf(text, sizeof text, "The queue file %s is damaged at %s; nothing was inserted.",
                          path.c_str(), damage.Describe().c_str());
            CAplLog::Write(8000, 0, 0, kFunc, text, 1);
            return -1;
        default:
            std::snprintf(text, sizeof text, "The queue file could not be read. %s", why.c_str());
            CAplLog::Write(8000, GetLastError(), 0, kFunc, text, 1);
            return -1;
    }
    const int count = static_cast<int>(records.size());
    // Offsets below -1 would insert before the first record's place: refused like too large ones.
    if (offset > count || offset < -1) {
        std::snprintf(text, sizeof text, "OueOffset bigger than %s. OueOffset=%d, QueFile=%d", path.c_str(), offset,
                      count);
        CAplLog::Write(8000, 0, 0, kFunc, text, 1);
        return -1;
    }
    const ASCII_REQUEST* ascii = record;
    std::string item(reinterpret_cast<const char*>(ascii), strnlen(reinterpret_cast<const char*>(ascii), 4095));
    if (offset == -1 || offset == count)
        records.push_back(std::move(item));
    else
        records.insert(records.begin() + offset, std::move(item));
    if (CQueFile::Write(path, records, &why) != CQueFile::kOk) {
        std::snprintf(text, sizeof text, "The queue file could not be written. %s", why.c_str());
        CAplLog::Write(8000, GetLastError(), 0, kFunc, text, 1);
        return -1;
    }
    return 0;
}

void CVQBThdMsg::LoadQueues() {
    static const char* kFunc = "CVQBThdMsg::LoadQueues";
    if (!m_pQueMapTbl) return;
    for (QUE_MAP_TBL* q = m_pQueMapTbl; q->pszName; ++q) {
        if (!q->pRecords) q->pRecords = new std::vector<std::string>();
        const std::string path = CQueFile::PathOf(m_strQueDir, m_strProcessName, q->pszName);
        CQueFile::Damage damage;
        std::string why;
        char text[1024];
        switch (CQueFile::Read(path, *q->pRecords, &damage, &why)) {
            case CQueFile::kOk:
            case CQueFile::kMissing:
                break;
            case CQueFile::kDamaged: {
                // The next save rewrites the file: keep the damaged one for a person to look at.
                const std::string copy = path + ".damaged";
                const bool kept = CopyFileA(path.c_str(), copy.c_str(), FALSE);
                std::snprintf(text, sizeof text,
                              "The queue file %s is damaged at %s; %zu records were loaded%s%s.", path.c_str(),
                              damage.Describe().c_str(), q->pRecords->size(), kept ? ", the file was kept as " : "",
                              kept ? copy.c_str() : "");
                CAplLog::Write(8000, 0, 0, kFunc, text, 1);
                break;
            }
            default:
                std::snprintf(text, sizeof text, "The queue file could not be read. %s", why.c_str());
                CAplLog::Write(8000, GetLastError(), 0, kFunc, text, 1);
                break;
        }
    }
}
