// The process core's job queues: queueing a request, handing the head of a queue to a
// job thread, and keeping queues in their queue files.
#include <cstdio>
#include <cstring>

#include "framework/apllog.h"
#include "framework/vqbthdmsg.h"

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
    QueRealFlush(q);
    return (q->dwFlags & QUE_FLAG_NOANSWER) ? -1 : 0;
}

short CVQBThdMsg::GetJobReqQue(QUE_MAP_TBL* entry) {
    static const char* kFunc = "CVQBThdMsg::GetJobReqQue";
    if (!entry) {
        CAplLog::Write(8000, 0, 0, kFunc, "parameter (pQueMapTbl) is null.", 1);
        return 8000;
    }
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
        return 8000;
    }
    return ReqJobThread(record, e, (entry->dwFlags & QUE_FLAG_NOANSWER) ? 2 : 1);
}

short CVQBThdMsg::GetJobReqQue(const char* queName) {
    if (!queName) {
        CAplLog::Write(8000, 0, 0, "CVQBThdMsg::GetJobReqQue", "parameter (queName) is null.", 1);
        return 8000;
    }
    return GetJobReqQue(GetQueTbl(queName));
}

short CVQBThdMsg::GetJobReqQue() {
    short combined = 1;
    if (!m_pQueMapTbl) return combined;
    for (QUE_MAP_TBL* q = m_pQueMapTbl; q->pszName; ++q) {
        short r = GetJobReqQue(q);
        if (combined == 0)
            combined = r;
        else if (r > 1)
            combined = r;
        else if (r == 0 && combined == 1)
            combined = 0;
    }
    return combined;
}

short CVQBThdMsg::QueRealFlush(QUE_MAP_TBL* entry) {
    return entry && (entry->dwFlags & QUE_FLAG_FILE) ? QueFlush(entry) : 0;
}

short CVQBThdMsg::QueFlush(QUE_MAP_TBL*) { return 0; }

short CVQBThdMsg::QueFlush() {
    if (!m_pQueMapTbl) return 0;
    for (QUE_MAP_TBL* q = m_pQueMapTbl; q->pszName; ++q) {
        short r = QueFlush(q);
        if (r != 0) return r;
    }
    return 0;
}

short CVQBThdMsg::InsertReq2QueFile(CJobPipeData&, const char*, int) { return 0; }

void CVQBThdMsg::LoadQueues() {
    if (!m_pQueMapTbl) return;
    for (QUE_MAP_TBL* q = m_pQueMapTbl; q->pszName; ++q)
        if (!q->pRecords) q->pRecords = new std::vector<std::string>();
}
