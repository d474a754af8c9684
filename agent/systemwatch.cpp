#include "agent/systemwatch.h"

#include "outside/vqregdata/regdata.h"

void CSystemWatch::SetThreadParam() {
    CJobThread::SetThreadParam();
    m_pApp = static_cast<CVQBThdMsgApp*>(m_pJobThdTbl ? m_pJobThdTbl->pThreadParam : nullptr);
}

void CSystemWatch::GetTrapSetting(const char* section, long trapTypeDefault) {
    CRegData reg;
    DWORD sendTrap = 1;
    reg.GetVQFRegData(&sendTrap, section, "SEND_TRAP", 0);
    m_bSendTrap = sendTrap != 0 ? 1 : 0;
    DWORD trapType = static_cast<DWORD>(trapTypeDefault);
    reg.GetVQFRegData(&trapType, section, "TRAP_TYPE", 0);
    m_lTrapType = static_cast<long>(static_cast<LONG>(trapType));
}
