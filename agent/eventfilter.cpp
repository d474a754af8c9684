// The filters: loaded once per start from the registry list, tried in load order for
// every new record; the first that matches decides what is done with it.
#include <cstdio>
#include <cstring>

#include "agent/eventlogwatch.h"
#include "outside/dbgtrace/dbgtrace.h"
#include "outside/vqregdata/regdata.h"

namespace {

constexpr char kListKey[] =
    "SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE\\EVENTLOG_FILTER_INF\\MATCH\\FILTER_LIST\\EVENT_LOG_FILTER_LIST";
constexpr char kListSection[] = "CORVANE\\EVENTLOG_FILTER_INF\\MATCH\\FILTER_LIST\\EVENT_LOG_FILTER_LIST";
constexpr char kFilterSection[] = "CORVANE\\EVENTLOG_FILTER_INF\\MATCH\\FILTER_LIST";
constexpr size_t kLogLineMax = 138;

const char* LogLabel(const char* logName) {
    if (strcasecmp(logName, "System") == 0) return "SYSTEM";
    if (strcasecmp(logName, "Application") == 0) return "APL";
    if (strcasecmp(logName, "Security") == 0) return "SECURITY";
    if (strcasecmp(logName, "Mordane") == 0) return "Mordane";
    return "";
}

}  // namespace

int CFwsystemFweventlogFwwatch::GetMatchFilterList() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kListKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return 0;
    CRegData reg;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameLength = sizeof name;
        const LONG r = RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) break;
        char filter[256] = {};
        if (r != ERROR_SUCCESS || !reg.GetVQFRegData(filter, kListSection, name, 0)) {
            RegCloseKey(key);
            return 0;
        }
        GetMatchFilterInf(filter);
    }
    RegCloseKey(key);
    return 1;
}

void CFwsystemFweventlogFwwatch::GetMatchFilterInf(const char* name) {
    char section[512];
    std::snprintf(section, sizeof section, "%s\\%s", kFilterSection, name);
    CRegData reg;
    EVENT_FILTER f{};
    f.EVENT_ID = 0;
    f.EVENT_TYPE = 0;
    reg.GetVQFRegData(&f.EVENT_ID, section, "EVENT_ID", 0);
    reg.GetVQFRegData(&f.EVENT_TYPE, section, "EVENT_TYPE", 0);
    if (f.EVENT_TYPE == 0) return;
    std::memset(f.LOG_TYPE, 0, sizeof f.LOG_TYPE);
    if (!reg.GetVQFRegData(f.LOG_TYPE, section, "LOG_TYPE", 0) || f.LOG_TYPE[0] == '\0') return;
    char text[256] = {};
    if (reg.GetVQFRegData(text, section, "SOURCE_NAME", 0)) f.SOURCE_NAME = text;
    char sendType[12] = {};
    if (reg.GetVQFRegData(sendType, section, "SENDTYPE", 0)) f.SENDTYPE = sendType;
    if (f.SENDTYPE == "DataTrap") {
        std::memset(text, 0, sizeof text);
        if (reg.GetVQFRegData(text, section, "DATAOID", 0)) f.DATAOID = text;
    }
    f.SPECIFIC_TRAP_ID = 1;
    if (f.SENDTYPE == "ElogTrap" || f.SENDTYPE == "DataTrap") {
        std::memset(text, 0, sizeof text);
        reg.GetVQFRegData(text, section, "ENTERPRISE_OID", 0);
        if (text[0] == '\0') {
            WriteLogf(7000, 0, "CFwsystemFweventlogFwwatch::GetMatchFilterInf", 2,
                      "ENTERPRISE_OID is not set. FilterName=%s", name);
            return;
        }
        f.ENTERPRISE_OID = text;
        DWORD id = 1;
        if (!reg.GetVQFRegData(&id, section, "SPECIFIC_TRAP_ID", 0)) id = 1;
        f.SPECIFIC_TRAP_ID = static_cast<LONG>(id);
    }
    // Read whole, then cut: a longer text would not fit the 256-byte field and be lost.
    std::vector<char> message(4096, '\0');
    if (reg.GetVQFRegData(message.data(), message.size(), section, "MESSAGE_STRING", 0))
        f.MESSAGE_STRING.assign(message.data(), strnlen(message.data(), 255));
    m_MatchFilter.push_back(std::move(f));
}

void CFwsystemFweventlogFwwatch::DoFilter(const char* logName, const BYTE* data, size_t length) {
    static const char* kFunc = "CFwsystemFweventlogFwwatch::DoFilter";
    if (m_MatchFilter.empty()) return;
    CEventRecordView record(data, length);
    if (!record.Valid()) return;
    const EVENTLOGRECORD& h = record.Header();
    const std::string& source = record.SourceName();
    const DWORD eventId = h.EventID;
    const DWORD eventNumber = eventId & 0xFFFF;
    const WORD eventType = h.EventType;

    const EVENT_FILTER* match = nullptr;
    for (const EVENT_FILTER& f : m_MatchFilter) {
        if (strcasecmp(f.LOG_TYPE, "ALL") != 0 && strcasecmp(f.LOG_TYPE, logName) != 0) continue;
        if (f.EVENT_TYPE != 0xFFFFFFFFu && f.EVENT_TYPE != eventType) continue;
        if (strcasecmp(f.SOURCE_NAME.c_str(), "ALL") != 0 && !f.SOURCE_NAME.empty() && f.SOURCE_NAME != source)
            continue;
        if (f.EVENT_ID != 0xFFFFFFFFu && (f.EVENT_ID == 0 || f.EVENT_ID != eventNumber)) continue;
        match = &f;
        break;
    }
    if (!match) return;

    // Only a matched record is worth the account look-up.
    std::string user;
    if (record.Sid()) {
        std::vector<BYTE> sid(record.Sid(), record.Sid() + record.SidLength());
        char name[64] = {}, domain[64] = {};
        DWORD nameLength = sizeof name, domainLength = sizeof domain;
        SID_NAME_USE use;
        if (IsValidSid(sid.data()) && GetLengthSid(sid.data()) <= sid.size() &&
            LookupAccountSidA(record.ComputerName().c_str(), sid.data(), name, &nameLength, domain, &domainLength,
                              &use))
            user.assign(name, strnlen(name, sizeof name));
    }
    std::string insertList, category;
    const std::string message = GetEventMessage(logName, record, insertList, category);
    const char* typeName = GetEventTypeName(eventType);
    std::string date, time;
    const std::string dateTime = FormatEventTime(h.TimeGenerated, date, time);
    const char* label = LogLabel(logName);

    if (m_bWriteAplLog) {
        char line[1024];
        std::snprintf(line, sizeof line, "[%s EVENTLOG] (%s)%s", label, typeName, message.c_str());
        WriteLog(8000, eventId, kFunc, std::string(line, strnlen(line, kLogLineMax)).c_str(), 1);
        std::snprintf(line, sizeof line, "[%s EVENTLOG INFO] (SourceName)%s (EventID)%d(%u) %s %s", label,
                      source.c_str(), static_cast<int>(eventNumber), static_cast<unsigned>(eventId), dateTime.c_str(),
                      insertList.c_str());
        WriteLog(8000, eventId, kFunc, std::string(line, strnlen(line, kLogLineMax)).c_str(), 1);
    }
    if (match->SENDTYPE == "ElogTrap") {
        SendMsg(match->ENTERPRISE_OID.c_str(), match->SPECIFIC_TRAP_ID, date.c_str(), time.c_str(), user.c_str(),
                record.ComputerName().c_str(), eventId, eventNumber, source.c_str(), typeName, category.c_str(),
                message.c_str());
        DebugLogData(g_hTrace, 1, "Send Trap Info", "(SourceName)%s (EventID)%d (EnterpriseOid)%s (TrapId)%d %s",
                     source.c_str(), static_cast<int>(eventNumber), match->ENTERPRISE_OID.c_str(),
                     static_cast<int>(match->SPECIFIC_TRAP_ID), message.c_str());
    } else if (match->SENDTYPE == "DataTrap") {
        BYTE bytes[4] = {};
        GetEventData(&record, bytes, sizeof bytes);
        const DWORD value = static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
                            static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
        SendMsg(match->ENTERPRISE_OID.c_str(), match->SPECIFIC_TRAP_ID, match->DATAOID.c_str(), value);
        DebugLogData(g_hTrace, 1, "Send Trap Info", "(SourceName)%s (EventID)%d (EnterpriseOid)%s (TrapId)%d %s %d",
                     source.c_str(), static_cast<int>(eventNumber), match->ENTERPRISE_OID.c_str(),
                     static_cast<int>(match->SPECIFIC_TRAP_ID), match->MESSAGE_STRING.c_str(),
                     static_cast<int>(value));
    } else if (match->SENDTYPE == "SMS") {
        SetSMSMsg(eventId, record);
    }
}
