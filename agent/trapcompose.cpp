// What a matched record becomes: its texts (message from the source's message files,
// insertion strings, category, type name, time), the event-log trap with eleven bindings,
// the data trap with one number, or calls of the provider library's setters.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "agent/eventlogwatch.h"
#include "outside/dbgtrace/dbgtrace.h"
#include "outside/telvane/telvane.h"
#include "outside/vqregdata/regdata.h"

namespace {

constexpr char kOidSection[] = "CORVANE\\EVENTLOG_FILTER_INF\\OID_LIST";
constexpr int kMaxInserts = 99;  // the highest insert a message text can cite
constexpr size_t kSetterTextMax = 255;

struct OidRow {
    const char* value;
    const char* error;
};
const OidRow kOidRows[CFwsystemFweventlogFwwatch::kTrapOids] = {
    {"DATE", "DATE_OID get error"},
    {"TIME", "TIME_OID get error"},
    {"USER", "USER_OID get error"},
    {"COMPUTER", "COMPUTER_OID get error"},
    {"EVENT_ID", "EVENTID_OID get error"},
    {"SHORT_EVENT_ID", "SHORTEVENTID_OID get error"},
    {"SOURCE", "SOURCE_OID get error"},
    {"EVENT_TYPE", "TYPE_OID get error"},
    {"EVENT_CATEGORY", "CATEGORY_OID get error"},
    {"DESCRIPT", "DESCRIPT_OID get error"},
};
enum { kDate, kTime, kUser, kComputer, kEventId, kShortEventId, kSource, kEventType, kCategory, kDescript };

DWORD Le32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

// A text setter's argument: the data up to its first NUL, never more than the setters take.
std::string DataText(const BYTE* buffer, size_t size) {
    const char* text = reinterpret_cast<const char*>(buffer);
    return std::string(text, strnlen(text, std::min(size, kSetterTextMax)));
}

int PackedDecimal(BYTE b) { return (b >> 4) * 10 + (b & 0x0F); }

}  // namespace

int CFwsystemFweventlogFwwatch::GetTrapOid() {
    CRegData reg;
    for (int i = 0; i < kTrapOids; ++i) {
        std::memset(m_szTrapOid[i], 0, sizeof m_szTrapOid[i]);
        if (!reg.GetVQFRegData(m_szTrapOid[i], kOidSection, kOidRows[i].value, 0)) {
            WriteLog(2500, 0, "CFwsystemFweventlogFwwatch::GetTrapOid", kOidRows[i].error, 2);
            return 0;
        }
    }
    return 1;
}

std::string CFwsystemFweventlogFwwatch::GetEventMessage(const char* logName, const CEventRecordView& record,
                                                        std::string& insertList, std::string& category) {
    insertList.clear();
    category.clear();
    std::vector<std::string> messageFiles, parameterFiles;
    GetFilePath(logName, record.SourceName().c_str(), "EventMessageFile", messageFiles);
    GetFilePath(logName, record.SourceName().c_str(), "ParameterMessageFile", parameterFiles);
    const std::string parameterFile = parameterFiles.empty() ? std::string() : parameterFiles.front();

    std::vector<std::string> inserts;
    std::string fallback;
    for (size_t i = 0; i < record.Strings().size(); ++i) {
        std::string s;
        GetInsertString(record, parameterFile, i, s);
        char item[32];
        std::snprintf(item, sizeof item, "%%%d=\"", static_cast<int>(i + 1));
        insertList += item;
        insertList += s;
        insertList += "\" ";
        fallback += s;
        fallback += ";";
        inserts.push_back(std::move(s));
    }
    std::string message;
    for (const std::string& file : messageFiles)
        if (FormatMessage(file, record.Header().EventID, &inserts, message)) break;
    for (const std::string& file : messageFiles)
        if (FormatMessage(file, record.Header().EventCategory, nullptr, category)) break;
    if (message.empty()) message = fallback;
    while (ReplaceString(message, "\n", " ") >= 0) {
    }
    while (ReplaceString(message, "\r", " ") >= 0) {
    }
    return message;
}

void CFwsystemFweventlogFwwatch::GetFilePath(const char* logName, const char* source, const char* valueName,
                                             std::vector<std::string>& list) {
    const std::string cacheKey = std::string(logName) + '\\' + source + '\\' + valueName;
    auto cached = m_FilePaths.find(cacheKey);
    if (cached == m_FilePaths.end()) {
        FILE_PATHS entry{ERROR_SUCCESS, {}};
        char path[600];
        std::snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\%s\\%s", logName, source);
        HKEY key = nullptr;
        entry.lOpenError = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
        if (entry.lOpenError == ERROR_SUCCESS) {
            char value[513] = {};
            DWORD size = 512;
            const LONG q = RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
            RegCloseKey(key);
            if (q == ERROR_SUCCESS) {
                value[size < 512 ? size : 512] = '\0';  // the stored text need not carry its terminator
                const std::string text(value);
                size_t start = 0;
                for (;;) {
                    const size_t end = text.find(';', start);
                    const std::string part =
                        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
                    const std::string expanded = ExpandEnvParam(part);
                    if (!expanded.empty()) entry.Paths.push_back(expanded);
                    if (end == std::string::npos) break;
                    start = end + 1;
                }
            }
        }
        cached = m_FilePaths.emplace(cacheKey, std::move(entry)).first;
    }
    if (cached->second.lOpenError != ERROR_SUCCESS) {
        WriteLogf(2500, static_cast<DWORD>(cached->second.lOpenError), "CFwsystemFweventlogFwwatch::GetFilePath", 2,
                  "Registry open error. (%s\\%s)", logName, source);
        return;
    }
    list.insert(list.end(), cached->second.Paths.begin(), cached->second.Paths.end());
}

std::string CFwsystemFweventlogFwwatch::ExpandEnvParam(const std::string& path) {
    char buffer[256];
    const DWORD n = ExpandEnvironmentStringsA(path.c_str(), buffer, sizeof buffer);
    if (n == 0 || n > sizeof buffer) {
        WriteLogf(8000, GetLastError(), "CFwsystemFweventlogFwwatch::ExpandEnvParam", 2,
                  "ExpandEnvironmentStrings error. (%s)", path.c_str());
        return {};
    }
    return buffer;
}

int CFwsystemFweventlogFwwatch::GetInsertString(const CEventRecordView& record, const std::string& parameterFile,
                                                size_t index, std::string& out) {
    out.clear();
    if (index >= record.Strings().size()) return 1;
    const std::string& s = record.Strings()[index];
    if (s.compare(0, 2, "%%") != 0) {
        out = s;
        return 1;
    }
    const std::string tail = s.substr(2);
    if (!tail.empty() && !std::strchr("0123456789", tail[0])) {
        out = tail;
        return 1;
    }
    DWORD number = 0;
    for (size_t i = 0; i < tail.size() && tail[i] >= '0' && tail[i] <= '9'; ++i)
        number = number * 10 + static_cast<DWORD>(tail[i] - '0');
    std::string text;
    out = FormatMessage(parameterFile, number, nullptr, text) ? text : s;
    return 1;
}

int CFwsystemFweventlogFwwatch::FormatMessage(const std::string& file, DWORD id,
                                              const std::vector<std::string>* inserts, std::string& out) {
    out.clear();
    HMODULE module = nullptr;
    if (auto loaded = m_Modules.find(file); loaded != m_Modules.end()) {
        module = loaded->second;
    } else {
        module = LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!module) {
            WriteLogf(8000, GetLastError(), "CFwsystemFweventlogFwwatch::FormatMessage", 2,
                      "LoadLibraryEx error. (%s)", file.c_str());
            return 0;
        }
        m_Modules.emplace(file, module);
    }
    // Every insert a text can cite has an argument: the record's strings, then "%n" itself,
    // so a text citing more strings than the record holds shows the citation, and the
    // formatter never reads past the array.
    std::vector<std::string> padding;
    std::vector<DWORD_PTR> args;
    if (inserts) {
        padding.reserve(kMaxInserts);
        for (int i = 0; i < kMaxInserts; ++i) {
            if (static_cast<size_t>(i) < inserts->size()) {
                args.push_back(reinterpret_cast<DWORD_PTR>((*inserts)[i].c_str()));
            } else {
                padding.push_back("%" + std::to_string(i + 1));
                args.push_back(reinterpret_cast<DWORD_PTR>(padding.back().c_str()));
            }
        }
    }
    char* buffer = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_FROM_HMODULE |
                        FORMAT_MESSAGE_MAX_WIDTH_MASK;
    const DWORD n = ::FormatMessageA(flags, module, id, 0x400, reinterpret_cast<LPSTR>(&buffer), 0,
                                     inserts ? reinterpret_cast<va_list*>(args.data()) : nullptr);
    if (n == 0 || !buffer) {
        if (buffer) LocalFree(buffer);
        return 0;
    }
    out.assign(buffer, n);
    LocalFree(buffer);
    return 1;
}

long CFwsystemFweventlogFwwatch::ReplaceString(std::string& text, const char* search, const char* replacement) {
    const size_t at = text.find(search);
    if (at == std::string::npos) return -1;
    text.replace(at, std::strlen(search), replacement);
    return static_cast<long>(at);
}

const char* CFwsystemFweventlogFwwatch::GetEventTypeName(WORD type) {
    switch (type) {
    case 1: return "Error";
    case 2: return "Warning";
    case 4: return "Information";
    case 8: return "Success";
    case 16: return "Failure";
    default: return "Other";
    }
}

std::string CFwsystemFweventlogFwwatch::FormatEventTime(DWORD timeGenerated, std::string& date, std::string& time) {
    TIME_ZONE_INFORMATION tz{};
    GetTimeZoneInformation(&tz);
    const time_t local = static_cast<time_t>(timeGenerated) - 60 * static_cast<time_t>(tz.Bias);
    struct tm tm{};
    gmtime_r(&local, &tm);
    char both[21], d[11], t[9];
    if (!std::strftime(both, sizeof both, "%Y/%m/%d %H:%M:%S", &tm)) both[0] = '\0';
    if (!std::strftime(d, sizeof d, "%Y/%m/%d", &tm)) d[0] = '\0';
    if (!std::strftime(t, sizeof t, "%H:%M:%S", &tm)) t[0] = '\0';
    date = d;
    time = t;
    return both;
}

long CFwsystemFweventlogFwwatch::GetEventData(const CEventRecordView* record, BYTE* destination, size_t capacity) {
    if (!record || !destination) return -1;
    const size_t n = std::min<size_t>(record->DataLength(), capacity);
    if (n) std::memcpy(destination, record->Data(), n);
    return 0;
}

long CFwsystemFweventlogFwwatch::FailSend(long result, bool locked) {
    if (locked) TrapSendUnlock();
    WriteLog(8000, static_cast<DWORD>(result), "CFwsystemFweventlogFwwatch::SendMsg", "Faild in send SNMP trap.", 1);
    return result;
}

long CFwsystemFweventlogFwwatch::BeginTrap(const char* enterpriseOid, long specificId, bool& locked) {
    locked = false;
    long r = WaitForSnmpStart();
    if (r != 0) {
        m_bDeliveryFailed = true;
        return r;
    }
    const DWORD lock = TrapSendLock();
    // Without the lock another sender may be building: build nothing.
    if (lock != WAIT_OBJECT_0 && lock != WAIT_ABANDONED_0) return static_cast<long>(lock);
    locked = true;
    if ((r = ClearParameter()) != 0 || (r = SetEnterpriseOid(enterpriseOid)) != 0 ||
        (r = SetGenericTrapId(6)) != 0 || (r = SetSpecificTrapId(specificId)) != 0)
        return r;
    return 0;
}

long CFwsystemFweventlogFwwatch::EndTrap() {
    const long r = Send();
    if (r != 0) {
        // 128: the request mutex was left by a requester that died holding it; the trap
        // was still handed over, and sending it again would repeat it.
        if (r != static_cast<long>(WAIT_ABANDONED)) m_bDeliveryFailed = true;
        return FailSend(r, true);
    }
    TrapSendUnlock();
    return 0;
}

long CFwsystemFweventlogFwwatch::SendMsg(const char* enterpriseOid, long specificId, const char* date,
                                         const char* time, const char* user, const char* computer, DWORD eventId,
                                         DWORD eventNumber, const char* source, const char* typeName,
                                         const char* category, const char* message) {
    bool locked = false;
    long r = BeginTrap(enterpriseOid, specificId, locked);
    if (r != 0) return FailSend(r, locked);
    char shortId[16], fullId[16];
    std::snprintf(shortId, sizeof shortId, "%d", static_cast<int>(eventNumber));
    std::snprintf(fullId, sizeof fullId, "0x%08x", static_cast<unsigned>(eventId));
    if ((r = AddParamInteger32(m_pApp->GetTrapTypeOid(), m_lTrapType)) != 0 ||
        (r = AddParamString(m_szTrapOid[kDate], date)) != 0 || (r = AddParamString(m_szTrapOid[kTime], time)) != 0 ||
        (r = AddParamString(m_szTrapOid[kUser], user)) != 0 ||
        (r = AddParamString(m_szTrapOid[kComputer], computer)) != 0 ||
        (r = AddParamString(m_szTrapOid[kShortEventId], shortId)) != 0 ||
        (r = AddParamString(m_szTrapOid[kEventId], fullId)) != 0 ||
        (r = AddParamString(m_szTrapOid[kSource], source)) != 0 ||
        (r = AddParamString(m_szTrapOid[kEventType], typeName)) != 0 ||
        (r = AddParamString(m_szTrapOid[kCategory], category)) != 0 ||
        (r = AddParamString(m_szTrapOid[kDescript], message)) != 0)
        return FailSend(r, true);
    return EndTrap();
}

long CFwsystemFweventlogFwwatch::SendMsg(const char* enterpriseOid, long specificId, const char* dataOid,
                                         DWORD value) {
    bool locked = false;
    long r = BeginTrap(enterpriseOid, specificId, locked);
    if (r != 0) return FailSend(r, locked);
    if (dataOid && dataOid[0] && (r = AddParamInteger32(dataOid, static_cast<LONG>(value))) != 0)
        return FailSend(r, true);
    return EndTrap();
}

long CFwsystemFweventlogFwwatch::SetSMSMsg(DWORD eventId, const CEventRecordView& record) {
    const DWORD number = eventId & 0xFFFF;
    auto text = [&](const char* name, const std::string& value) {
        auto fn = reinterpret_cast<PFNTELVANETEXT>(g_hProvider ? GetProcAddress(g_hProvider, name) : nullptr);
        if (fn) fn(value.c_str());
    };
    auto num = [&](const char* name, DWORD value) {
        auto fn = reinterpret_cast<PFNTELVANENUMBER>(g_hProvider ? GetProcAddress(g_hProvider, name) : nullptr);
        if (fn) fn(value);
    };
    auto byte = [&](const char* name, LONG value) {
        auto fn = reinterpret_cast<PFNTELVANEBYTE>(g_hProvider ? GetProcAddress(g_hProvider, name) : nullptr);
        if (fn) fn(value);
    };
    const char* numberSetter = nullptr;
    switch (number) {
    case 9: numberSetter = "SetEccErrorCounts"; break;
    case 12: numberSetter = "SetExcessiveCaseTemperature"; break;
    case 13: numberSetter = "SetMemoryErrorCounts"; break;
    case 14: numberSetter = "SetDeviceDisconnectedUSB"; break;
    case 16: numberSetter = "SetBattery_SysCapacity1"; break;
    case 17: numberSetter = "SetBattery_SysCapacity2"; break;
    case 18: numberSetter = "SetBattery_PrinterCapacity1"; break;
    case 19: numberSetter = "SetBattery_PrinterCapacity2"; break;
    case 20: numberSetter = "SetBattery_Temperature"; break;
    default: break;
    }
    if (numberSetter) {
        BYTE buffer[40] = {};
        GetEventData(&record, buffer, sizeof buffer);
        num(numberSetter, Le32(buffer));
        return 0;
    }
    if (number == 8 || number == 11) {
        BYTE buffer[256] = {};
        GetEventData(&record, buffer, sizeof buffer);
        text(number == 8 ? "SetBIOSVersion" : "SetSerialNumber", DataText(buffer, sizeof buffer));
        return 0;
    }
    if (number == 10) {
        BYTE buffer[50] = {};
        GetEventData(&record, buffer, sizeof buffer);
        char time[16];
        std::snprintf(time, sizeof time, "%d:%d:%d", PackedDecimal(buffer[1]), PackedDecimal(buffer[2]),
                      PackedDecimal(buffer[3]));
        byte("SetHDDBootErrorCounts", static_cast<signed char>(buffer[0]));
        text("SetHDDBootErrorTime", time);
        byte("SetHDDBootErrorTemporary", static_cast<signed char>(buffer[4]));
        return 0;
    }
    if (number == 15) {
        size_t watched = 6;  // the gatherer's default list "1 5 9 196 197 198"
        HKEY key = nullptr;
        bool read = false;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Mordane\\SMART", 0, KEY_READ,
                          &key) == ERROR_SUCCESS) {
            DWORD size = 0;
            if (RegQueryValueExA(key, "WATCH_AttributeIDs", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
                std::vector<char> ids(size + 2, '\0');
                if (RegQueryValueExA(key, "WATCH_AttributeIDs", nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(ids.data()), &size) == ERROR_SUCCESS) {
                    watched = 0;
                    for (size_t at = 0; at < size && ids[at] != '\0'; at += std::strlen(&ids[at]) + 1) ++watched;
                    read = true;
                }
            }
            RegCloseKey(key);
        }
        if (!read)
            DebugLogData(g_hTrace, 1, "CSamart::Initialize",
                         "RegQueryValueEx\x82\xcd\x8e\xb8\x94\x73\x82\xc5\x82\xb5\x82\xbd\x81\x42");
        BYTE buffer[800] = {};
        GetEventData(&record, buffer, sizeof buffer);
        const size_t length = std::min<size_t>(record.DataLength(), sizeof buffer);
        const size_t entries = length / 13;
        auto entry = [&](size_t i) {
            std::string hex;
            if (i >= entries) return hex;
            char two[3];
            for (size_t b = 0; b < 13; ++b) {
                std::snprintf(two, sizeof two, "%02x", buffer[i * 13 + b]);
                hex += two;
            }
            return hex;
        };
        static const char* const kHdd1[6] = {"SetHDD1_SMART1", "SetHDD1_SMART2", "SetHDD1_SMART3",
                                             "SetHDD1_SMART4", "SetHDD1_SMART5", "SetHDD1_SMART6"};
        static const char* const kHdd2[6] = {"SetHDD2_SMART1", "SetHDD2_SMART2", "SetHDD2_SMART3",
                                             "SetHDD2_SMART4", "SetHDD2_SMART5", "SetHDD2_SMART6"};
        for (size_t i = 0; i < 6; ++i) text(kHdd1[i], entry(i));
        if (length > 13 * watched)
            for (size_t i = 0; i < 6; ++i) text(kHdd2[i], entry(6 + i));
        return 0;
    }
    DebugLogData(g_hTrace, 1, "CFwsystemFweventlogFwwatch::SetSMSMsg", "EventID not found.");
    return 0;
}
