// Reading the host's configuration from the registry (see config.h).
#include "standins/vqsnmpd/config.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "pal/windows.h"

namespace vqsnmpd {

namespace {

class Key {
public:
    Key(HKEY parent, const std::string& path) {
        if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~Key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    explicit operator bool() const { return key_ != nullptr; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// String data without its terminator(s); false when absent or not a string type.
bool ReadString(HKEY key, const char* name, std::string& out, DWORD* typeOut = nullptr) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::string data(size, '\0');
    if (size > 0 &&
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
        return false;
    data.resize(size);
    while (!data.empty() && data.back() == '\0') data.pop_back();
    out = data;
    if (typeOut != nullptr) *typeOut = type;
    return true;
}

// Every value of a key as (name, string data); non-string values are reported.
struct NamedString {
    std::string name;
    std::string data;
    bool isString;
};
std::vector<NamedString> StringValues(HKEY key) {
    std::vector<NamedString> values;
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD nameLen = sizeof name, type = 0, size = 0;
        LONG rc = RegEnumValueA(key, i, name, &nameLen, nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS) break;
        NamedString v{std::string(name, nameLen), {}, type == REG_SZ || type == REG_EXPAND_SZ};
        if (v.isString) ReadString(key, v.name.c_str(), v.data);
        values.push_back(std::move(v));
    }
    return values;
}

std::vector<std::string> SubKeys(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD len = sizeof name;
        if (RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, len);
    }
    return names;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Label(const Destination& d, const std::string& who) {
    const char* v = d.version == Version::V1 ? "v1" : d.version == Version::V2c ? "v2c" : "v3";
    return std::string(v) + " " + who + " " + d.host + ":" + std::to_string(d.port);
}

void ReadCommunityDestinations(Config& config, const std::string& subKey, Version version) {
    Key root(HKEY_LOCAL_MACHINE, std::string(kParametersKey) + "\\" + subKey);
    if (!root) return;
    for (const std::string& community : SubKeys(root.get())) {
        Key key(root.get(), community);
        if (!key) continue;
        for (const NamedString& v : StringValues(key.get())) {
            Destination d;
            d.version = version;
            d.community = community;
            if (!v.isString || !ParseAddress(v.data, d.host, d.port)) {
                config.problems.push_back(subKey + "\\" + community + "\\" + v.name + ": not a host or host:port");
                continue;
            }
            d.label = Label(d, community);
            config.destinations.push_back(std::move(d));
        }
    }
}

void ReadV3Destinations(Config& config) {
    const std::string subKey = "TrapConfigurationV3";
    Key root(HKEY_LOCAL_MACHINE, std::string(kParametersKey) + "\\" + subKey);
    if (!root) return;
    for (const std::string& name : SubKeys(root.get())) {
        Key key(root.get(), name);
        if (!key) continue;
        Destination d;
        d.version = Version::V3;
        auto bad = [&](const std::string& why) { config.problems.push_back(subKey + "\\" + name + ": " + why); };
        std::string address, level, engine;
        if (!ReadString(key.get(), "Address", address) || !ParseAddress(address, d.host, d.port)) {
            bad("Address is missing or not a host or host:port");
            continue;
        }
        if (!ReadString(key.get(), "UserName", d.user) || d.user.empty()) {
            bad("UserName is missing");
            continue;
        }
        ReadString(key.get(), "AuthProtocol", d.authProtocol);
        ReadString(key.get(), "AuthPassphrase", d.authPassphrase);
        ReadString(key.get(), "PrivProtocol", d.privProtocol);
        ReadString(key.get(), "PrivPassphrase", d.privPassphrase);
        d.authProtocol = Upper(d.authProtocol);
        d.privProtocol = Upper(d.privProtocol);
        if (ReadString(key.get(), "SecurityLevel", level)) {
            std::string l = Upper(level);
            if (l == "AUTHPRIV") d.level = SecurityLevel::AuthPriv;
            else if (l == "AUTHNOPRIV") d.level = SecurityLevel::AuthNoPriv;
            else if (l == "NOAUTHNOPRIV") d.level = SecurityLevel::NoAuthNoPriv;
            else {
                bad("SecurityLevel \"" + level + "\" is not authPriv, authNoPriv or noAuthNoPriv");
                continue;
            }
        }
        if (ReadString(key.get(), "EngineID", engine) && !engine.empty()) {
            if (!ParseEngineId(engine, d.engineId)) {
                bad("EngineID is not 5 to 32 bytes of hex");
                continue;
            }
        } else {
            d.engineId = DefaultEngineId();
        }
        d.label = Label(d, name);
        config.destinations.push_back(std::move(d));
    }
}

}  // namespace

bool ParseAddress(const std::string& text, std::string& host, uint16_t& port) {
    std::string h = text, p;
    if (!h.empty() && h.front() == '[') {
        size_t close = h.find(']');
        if (close == std::string::npos) return false;
        std::string rest = h.substr(close + 1);
        h = h.substr(1, close - 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            p = rest.substr(1);
            if (p.empty()) return false;
        }
        h = "[" + h + "]";
    } else {
        size_t colon = h.rfind(':');
        if (colon != std::string::npos) {
            if (h.find(':') != colon) return false;  // a bare IPv6 literal: needs brackets
            p = h.substr(colon + 1);
            h = h.substr(0, colon);
            if (p.empty()) return false;
        }
    }
    if (h.empty() || h == "[]") return false;
    for (char c : h)
        if (std::isspace(static_cast<unsigned char>(c))) return false;
    port = kDefaultTrapPort;
    if (!p.empty()) {
        unsigned long value = 0;
        for (char c : p) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            value = value * 10 + static_cast<unsigned long>(c - '0');
            if (value > 65535) return false;
        }
        if (value == 0) return false;
        port = static_cast<uint16_t>(value);
    }
    host = h;
    return true;
}

bool ParseEngineId(const std::string& text, std::vector<uint8_t>& id) {
    std::string digits;
    size_t start = (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 2 : 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        if (c == ':' || c == ' ') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits.push_back(c);
    }
    if (digits.size() % 2 != 0) return false;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    if (bytes.size() < 5 || bytes.size() > 32) return false;
    id = std::move(bytes);
    return true;
}

std::vector<uint8_t> DefaultEngineId() {
    std::vector<uint8_t> id = {0x80, 0x00, 0x18, 0x3B, 0x04};
    std::string machine;
    if (FILE* f = std::fopen("/etc/machine-id", "r")) {
        char line[64] = {};
        if (std::fgets(line, sizeof line, f)) machine = line;
        std::fclose(f);
        while (!machine.empty() && std::isspace(static_cast<unsigned char>(machine.back()))) machine.pop_back();
    }
    std::string text;
    if (machine.size() >= 24) {
        text = "vq:" + machine.substr(0, 24);
    } else {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
        text = std::string("vqsnmpd@") + name;
    }
    for (char c : text) {
        if (id.size() == 32) break;
        id.push_back(static_cast<uint8_t>(c));
    }
    return id;
}

uint32_t NextEngineBoots() {
    HKEY key = nullptr;
    DWORD boots = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return 1;
    }
    DWORD type = 0, size = sizeof boots;
    if (RegQueryValueExA(key, "EngineBoots", nullptr, &type, reinterpret_cast<BYTE*>(&boots), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof boots) {
        boots = 0;
    }
    if (boots < 2147483647u) ++boots;
    RegSetValueExA(key, "EngineBoots", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&boots), sizeof boots);
    RegCloseKey(key);
    return boots;
}

std::string HexText(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s = "0x";
    for (uint8_t b : bytes) {
        s.push_back(kDigits[b >> 4]);
        s.push_back(kDigits[b & 15]);
    }
    return s;
}

Config ReadConfig() {
    Config config;
    {
        Key agents(HKEY_LOCAL_MACHINE, std::string(kParametersKey) + "\\ExtensionAgents");
        if (agents) {
            for (const NamedString& v : StringValues(agents.get())) {
                if (!v.isString || v.data.empty()) {
                    config.problems.push_back("ExtensionAgents\\" + v.name + ": not a key path");
                    continue;
                }
                Key agentKey(HKEY_LOCAL_MACHINE, v.data);
                std::string pathname;
                if (!agentKey || !ReadString(agentKey.get(), "Pathname", pathname) || pathname.empty()) {
                    config.problems.push_back("ExtensionAgents\\" + v.name + ": HKLM\\" + v.data +
                                              " has no Pathname");
                    continue;
                }
                config.agents.push_back({v.name, v.data, pal::env::Expand(pathname)});
            }
        }
    }
    ReadCommunityDestinations(config, "TrapConfiguration", Version::V1);
    ReadCommunityDestinations(config, "TrapConfigurationV2c", Version::V2c);
    ReadV3Destinations(config);
    Key params(HKEY_LOCAL_MACHINE, kParametersKey);
    if (params) ReadString(params.get(), "AgentAddress", config.agentAddress);
    return config;
}

}  // namespace vqsnmpd
