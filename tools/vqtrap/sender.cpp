#include "tools/vqtrap/sender.h"

#include "pal/windows.h"

namespace vqtrap {

namespace {

using FnText = DWORD (*)(LPCSTR);
using FnLong = DWORD (*)(LONG);
using FnVoid = DWORD (*)();
using FnNameLong = DWORD (*)(LPCSTR, LONG);
using FnNameDword = DWORD (*)(LPCSTR, DWORD);
using FnNameText = DWORD (*)(LPCSTR, LPCSTR);
using FnName = DWORD (*)(LPCSTR);
using FnNameIp = DWORD (*)(LPCSTR, DWORD, DWORD, DWORD, DWORD);
using FnNameTwo = DWORD (*)(LPCSTR, DWORD, DWORD);

template <class T>
T Bind(HMODULE lib, const char* name, std::string& missing) {
    FARPROC p = GetProcAddress(lib, name);
    if (p == nullptr && missing.empty()) missing = name;
    return reinterpret_cast<T>(p);
}

}  // namespace

std::string Explain(long code) {
    switch (code) {
        case 0:
            return "the trap was handed to the SNMP service host";
        case 2:
            return "no SNMP service host is running (the trap objects do not exist)";
        case 13:
            return "an OID or text is missing, empty or too long (OIDs at most 255 characters, OID values 2047)";
        case 14:
            return "too many bindings (a trap carries at most 50)";
        case 87:
            return "not a dotted numeric OID";
        case 128:
            return "handed over; a previous requester had died holding the trap lock";
        case 258:
            return "the SNMP service host did not take the trap in time (it has 5 s to finish a trap; "
                   "another requester may also have held the trap lock for 30 s)";
        case -1:
            return "a fault during the hand-over";
        default: {
            char text[256] = {};
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
            std::string s = text;
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
            return s.empty() ? "system error " + std::to_string(code) : s;
        }
    }
}

SendResult SendTrap(const Request& request) {
    SendResult result;
    HMODULE lib = LoadLibraryA("norvik.dll");
    if (lib == nullptr) {
        result.code = static_cast<long>(GetLastError());
        result.failed = "LoadLibrary(norvik.dll)";
        result.message = "cannot load the extension agent library: " + Explain(result.code);
        return result;
    }
    std::string missing;
    auto setEnterprise = Bind<FnText>(lib, "SetEnterpriseOid", missing);
    auto setGeneric = Bind<FnLong>(lib, "SetGenericTrapId", missing);
    auto setSpecific = Bind<FnLong>(lib, "SetSpecificTrapId", missing);
    auto clear = Bind<FnVoid>(lib, "ClearParameter", missing);
    auto send = Bind<FnVoid>(lib, "Send", missing);
    auto addInteger = Bind<FnNameLong>(lib, "AddParamInteger32", missing);
    auto addBits = Bind<FnNameText>(lib, "AddParamBits", missing);
    auto addString = Bind<FnNameText>(lib, "AddParamString", missing);
    auto addNull = Bind<FnName>(lib, "AddParamNull", missing);
    auto addOid = Bind<FnNameText>(lib, "AddParamObjectId", missing);
    auto addIp = Bind<FnNameIp>(lib, "AddParamIpAddress", missing);
    auto addCounter = Bind<FnNameDword>(lib, "AddParamCounter32", missing);
    auto addGauge = Bind<FnNameDword>(lib, "AddParamGauge32", missing);
    auto addTicks = Bind<FnNameDword>(lib, "AddParamTimeticks", missing);
    auto addOpaque = Bind<FnNameText>(lib, "AddParamOpaque", missing);
    auto addCounter64 = Bind<FnNameTwo>(lib, "AddParamCounter64", missing);
    auto addUnsigned = Bind<FnNameDword>(lib, "AddParamUnsigned32", missing);
    if (!missing.empty()) {
        result.code = ERROR_PROC_NOT_FOUND;
        result.failed = "GetProcAddress(" + missing + ")";
        result.message = "the extension agent library lacks " + missing;
        FreeLibrary(lib);
        return result;
    }

    auto fail = [&](long code, const std::string& call, const std::string& subject) {
        result.code = code;
        result.failed = call;
        result.message = subject + ": " + Explain(code);
    };
    clear();
    if (long rc = static_cast<LONG>(setEnterprise(request.enterprise.c_str()))) {
        fail(rc, "SetEnterpriseOid", "enterprise OID \"" + request.enterprise + "\"");
    } else {
        setGeneric(request.generic);
        setSpecific(request.specific);
        for (size_t i = 0; i < request.bindings.size() && result.failed.empty(); ++i) {
            const Binding& b = request.bindings[i];
            const char* name = b.oid.c_str();
            const char* text = b.text.c_str();
            DWORD rc = 0;
            switch (b.type) {
                case 'i': rc = addInteger(name, b.integer); break;
                case 'u': rc = addGauge(name, b.number); break;
                case 'c': rc = addCounter(name, b.number); break;
                case 't': rc = addTicks(name, b.number); break;
                case 'w': rc = addUnsigned(name, b.number); break;
                case 's':
                case 'x':
                case 'd': rc = addString(name, text); break;
                case 'b': rc = addBits(name, text); break;
                case 'O': rc = addOpaque(name, text); break;
                case 'n': rc = addNull(name); break;
                case 'o': rc = addOid(name, text); break;
                case 'a': rc = addIp(name, b.ip[0], b.ip[1], b.ip[2], b.ip[3]); break;
                case 'C':
                    rc = addCounter64(name, static_cast<DWORD>(b.number64), static_cast<DWORD>(b.number64 >> 32));
                    break;
            }
            if (rc != 0) {
                std::string subject = "binding " + std::to_string(i + 1) + " (" + b.oid + ")";
                if (b.type == 'o' && rc != 14) subject += " or its value \"" + b.text + "\"";
                fail(static_cast<LONG>(rc), "AddParam", subject);
            }
        }
        if (result.failed.empty()) {
            long rc = static_cast<LONG>(send());
            result.code = rc;
            if (rc != 0 && rc != 128) fail(rc, "Send", "Send");
            else result.message = Explain(rc);
        }
    }
    clear();
    FreeLibrary(lib);
    return result;
}

}  // namespace vqtrap
