// CSerialNoRcv: the process-wide mailbox keyed by 16-bit serial numbers. A thread registers
// a number and gets an event; whoever has the answer for that number queues a copy and
// signals the event; the owner waits on its numbers (and the process stop signal) and
// takes the data out. CSerialNoTbl is one entry of the table.
#pragma once

#include <vector>

#include "framework/binlinklist.h"
#include "pal/windows.h"

class CSerialNoTbl {
public:
    CSerialNoTbl();
    CSerialNoTbl(const CSerialNoTbl& other) = default;  // the queue duplicates its pieces
    CSerialNoTbl& operator=(const CSerialNoTbl& other) = default;
    virtual ~CSerialNoTbl();

    int m_nIndex;          // position in the table when looked up; -1 = not found
    DWORD m_dwThreadId;    // the thread that owns the serial number
    WORD m_wSerialNo;      // 1 to 4095; 0 in a fresh entry
    HANDLE m_hEvent;       // manual reset, signalled while data is queued
    CBinLinkList m_Queue;  // received pieces, oldest first
};

class CSerialNoRcv {
public:
    static int Open();
    static void Close();

    CSerialNoRcv();
    CSerialNoRcv(const CSerialNoRcv&) = delete;
    CSerialNoRcv& operator=(const CSerialNoRcv&) = delete;
    virtual ~CSerialNoRcv();

    int Regist();
    int Regist(HANDLE* event);
    void Unregist();
    void Unregist(WORD serialNo);

    static int NotifyReceive(WORD serialNo, const void* data, long size);

    // Results: the serial number whose data was taken (the copy in *data is released with
    // delete[]), -1 time-out, -2 error, -3 more than the system's wait limit, 0 when the
    // common wait gets fewer than two handles. A stop signal throws "EPS_StopRequest".
    int Receive(char** data, DWORD timeout, long* size = nullptr);
    int Receive(char** data, WORD serialNo, DWORD timeout, long* size = nullptr);
    int Receive(char** data, const WORD* serialNos, int count, DWORD timeout, long* size = nullptr);
    int Receive(char** data, int handleCount, const HANDLE* handles, DWORD timeout, long* size = nullptr);

    int Enable(WORD serialNo, long value);

    DWORD GetOwnerThreadId() const { return m_dwThreadId; }

    static std::vector<CSerialNoTbl> m_SerialNoTbl;
    static CRITICAL_SECTION m_CriticalSectionForMine;
    static int m_OpenCriticalSection;
    static WORD m_CurrentSerialNo;

protected:
    static CSerialNoTbl GetSerialNoTbl(WORD serialNo, DWORD threadId = 0xFFFFFFFFu);
    CSerialNoTbl GetMySerialNoTbl(WORD serialNo) const;

private:
    static constexpr size_t kGrowBy = 20;
    static constexpr WORD kMaxSerialNo = 4095;

    static int FindIndex(WORD serialNo, DWORD threadId);

    DWORD m_dwThreadId;
};
