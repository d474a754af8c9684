// CVQBThdMsgApp: the agent's process object ("norvik", service "FW NORVIK"). It registers
// the agent's command words, job map and queues; at start it reads its configuration,
// loads the trap-request library (registry Pathname) and the provider library, binds the
// 17 trap functions by name, waits for the SNMP service and sends itself the request that
// starts the event-log watch. It owns what the watch job shares: the watch stop event, the
// trap lock and the one-time wait for the SNMP service.
#pragma once

#include <mutex>
#include <string>

#include "framework/vqbthdmsg.h"
#include "pal/windows.h"
#include "snmpext/norvik.h"

class CVQBThdMsgApp : public CVQBThdMsg {
public:
    CVQBThdMsgApp();
    ~CVQBThdMsgApp() override;

    // Overrides of the process core.
    long ComSendRequest(const char* record) override;
    long ComOpen() override;
    long ComClose() override;
    const char* ComGetErrorMsg() override;
    long InitProc() override;
    void CloseProcSub() override;
    long OnCreate(WPARAM wParam, LPARAM lParam) override;
    long OnProcessStop(WPARAM wParam, LPARAM lParam) override;
    long JobPipeOpen(long retryDelay) override;
    void* GetThreadParam() override;
    long GetJobThdKey(CJobPipeData& record, const SJOB_MAP_TBL* entry) override;
    const char* GetVqblibVer() override;
    void MakeSjobTbl() override;
    void MakeQueTbl() override;

    int GetRegData();
    // Start-up steps after the configuration: the trap lock, the two libraries, the 17
    // bindings and the SNMP wait lock. -1 (logged) when one fails.
    long LoadLibraries();
    long WaitForSnmpStart();
    DWORD TrapSendLock(HANDLE* lock);
    long TrapSendUnlock(HANDLE lock);

    // Wrappers of the bound trap functions.
    long SetEnterpriseOid(const char* oid);
    long SetGenericTrapId(long id);
    long SetSpecificTrapId(long id);
    long ClearParameter();
    long Send();
    long AddParamInteger32(const char* oid, long value);
    long AddParamBits(const char* oid, const char* value);
    long AddParamString(const char* oid, const char* value);
    long AddParamNull(const char* oid);
    long AddParamObjectId(const char* oid, const char* value);
    long AddParamIpAddress(const char* oid, DWORD a, DWORD b, DWORD c, DWORD d);
    long AddParamCounter32(const char* oid, DWORD value);
    long AddParamGauge32(const char* oid, DWORD value);
    long AddParamTimeticks(const char* oid, DWORD value);
    long AddParamOpaque(const char* oid, const char* value);
    long AddParamCounter64(const char* oid, DWORD low, DWORD high);
    long AddParamUnsigned32(const char* oid, DWORD value);

    const char* GetTrapTypeOid() const { return m_strTrapTypeOid.c_str(); }

    // The watch stop event. Creating, setting and closing it are guarded by one lock, so a
    // stop request, the process stop and the watch's own end never race each other.
    // CreateWatchEvent: 1 created, 0 one exists already (a watch runs), -1 creation failed.
    int CreateWatchEvent();
    bool SetWatchEvent();  // false when no watch runs
    void CloseWatchEvent();
    HANDLE GetWatchEvent();

    static constexpr LONG kOwnIdCode = 0;

private:
    long Report(const char* name, long result, const char* oid = nullptr);

    std::string m_strAgentPath;
    HANDLE m_hWatchEvent;
    std::string m_strTrapTypeOid;
    HMODULE m_hAgentDll;
    HANDLE m_hTrapSendMutex;
    PFNNORVIKSETOID m_pfnSetEnterpriseOid;
    PFNNORVIKSETID m_pfnSetGenericTrapId;
    PFNNORVIKSETID m_pfnSetSpecificTrapId;
    PFNNORVIKVOID m_pfnClearParameter;
    PFNNORVIKVOID m_pfnSend;
    PFNNORVIKADDINT m_pfnAddParamInteger32;
    PFNNORVIKADDTEXT m_pfnAddParamBits;
    PFNNORVIKADDTEXT m_pfnAddParamString;
    PFNNORVIKADDNULL m_pfnAddParamNull;
    PFNNORVIKADDTEXT m_pfnAddParamObjectId;
    PFNNORVIKADDIP m_pfnAddParamIpAddress;
    PFNNORVIKADDUINT m_pfnAddParamCounter32;
    PFNNORVIKADDUINT m_pfnAddParamGauge32;
    PFNNORVIKADDUINT m_pfnAddParamTimeticks;
    PFNNORVIKADDTEXT m_pfnAddParamOpaque;
    PFNNORVIKADDCOUNTER64 m_pfnAddParamCounter64;
    PFNNORVIKADDUINT m_pfnAddParamUnsigned32;
    volatile int m_bSnmpStarted;
    HANDLE m_hSnmpWaitMutex;
    std::mutex m_csWatchEvent;
    bool m_bComInitialized;
};

// The provider library, loaded at start from its fixed path.
extern HMODULE g_hProvider;
