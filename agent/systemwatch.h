// CSystemWatch: the base of the agent's watch jobs. It ties a job thread to the agent's
// process object, holds the two trap settings (SEND_TRAP, TRAP_TYPE) and reaches the
// object's trap functions under the job's own handle of the trap lock.
#pragma once

#include "agent/thdmsgapp.h"
#include "framework/jobthread.h"

class CSystemWatch : public CJobThread {
public:
    explicit CSystemWatch(JOB_THREAD_TBL* slot) : CJobThread(slot, 1) {}

    void SetThreadParam() override;
    void GetTrapSetting(const char* section, long trapTypeDefault);

    long WaitForSnmpStart() { return m_pApp ? m_pApp->WaitForSnmpStart() : -1; }
    long SetEnterpriseOid(const char* oid) { return m_pApp->SetEnterpriseOid(oid); }
    long SetGenericTrapId(long id) { return m_pApp->SetGenericTrapId(id); }
    long SetSpecificTrapId(long id) { return m_pApp->SetSpecificTrapId(id); }
    long ClearParameter() { return m_pApp->ClearParameter(); }
    long Send() { return m_pApp->Send(); }
    long AddParamInteger32(const char* oid, long value) { return m_pApp->AddParamInteger32(oid, value); }
    long AddParamBits(const char* oid, const char* value) { return m_pApp->AddParamBits(oid, value); }
    long AddParamString(const char* oid, const char* value) { return m_pApp->AddParamString(oid, value); }
    long AddParamNull(const char* oid) { return m_pApp->AddParamNull(oid); }
    long AddParamObjectId(const char* oid, const char* value) { return m_pApp->AddParamObjectId(oid, value); }
    long AddParamIpAddress(const char* oid, DWORD a, DWORD b, DWORD c, DWORD d) {
        return m_pApp->AddParamIpAddress(oid, a, b, c, d);
    }
    long AddParamCounter32(const char* oid, DWORD value) { return m_pApp->AddParamCounter32(oid, value); }
    long AddParamGauge32(const char* oid, DWORD value) { return m_pApp->AddParamGauge32(oid, value); }
    long AddParamTimeticks(const char* oid, DWORD value) { return m_pApp->AddParamTimeticks(oid, value); }
    long AddParamOpaque(const char* oid, const char* value) { return m_pApp->AddParamOpaque(oid, value); }
    long AddParamCounter64(const char* oid, DWORD low, DWORD high) {
        return m_pApp->AddParamCounter64(oid, low, high);
    }
    long AddParamUnsigned32(const char* oid, DWORD value) { return m_pApp->AddParamUnsigned32(oid, value); }
    DWORD TrapSendLock() { return m_pApp->TrapSendLock(&m_hTrapLock); }
    long TrapSendUnlock() {
        const long r = m_pApp->TrapSendUnlock(m_hTrapLock);
        m_hTrapLock = nullptr;
        return r;
    }

protected:
    CVQBThdMsgApp* m_pApp = nullptr;
    int m_bSendTrap = 1;
    long m_lTrapType = 1;
    HANDLE m_hTrapLock = nullptr;
};
