#include "outside/vqregdata/regdata.h"

#include <cstring>
#include <string>
#include <vector>

const char* const CRegData::kRootKey = "SOFTWARE\\QIR\\VQ FRAMEWORK";

namespace {

// The section's key path below HKLM. Leading backslashes are dropped so "\CORVANE" and
// "CORVANE" name the same key rather than failing as a bad path.
std::string KeyPath(const char* section) {
    std::string path = CRegData::kRootKey;
    if (section) {
        while (*section == '\\') ++section;
        if (*section) {
            path += '\\';
            path += section;
        }
    }
    return path;
}

}  // namespace

CRegData::CRegData() : m_lLastError(ERROR_SUCCESS) {}

CRegData::~CRegData() = default;

LONG CRegData::ReadValue(const char* section, const char* valueName, DWORD& type, std::vector<BYTE>& data) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(section).c_str(), 0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    // Another process may grow the value between the size query and the read: retry then.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        rc = RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS) break;
        data.assign(size, 0);
        rc = RegQueryValueExA(key, valueName, nullptr, &type, data.empty() ? nullptr : data.data(), &size);
        if (rc == ERROR_SUCCESS) {
            data.resize(size);
            break;
        }
        if (rc != ERROR_MORE_DATA) break;
    }
    RegCloseKey(key);
    return rc;
}

int CRegData::GetVQFRegData(DWORD* value, const char* section, const char* valueName, int /*flag*/) {
    if (!value) {
        m_lLastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    m_lLastError = ReadValue(section, valueName, type, data);
    if (m_lLastError != ERROR_SUCCESS) return 0;
    if (type != REG_DWORD || data.size() != sizeof(DWORD)) {
        m_lLastError = ERROR_INVALID_DATA;
        return 0;
    }
    std::memcpy(value, data.data(), sizeof(DWORD));
    return 1;
}

int CRegData::GetVQFRegData(char* buffer, size_t capacity, const char* section, const char* valueName,
                            int /*flag*/) {
    if (!buffer || capacity == 0) {
        m_lLastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    m_lLastError = ReadValue(section, valueName, type, data);
    if (m_lLastError != ERROR_SUCCESS) return 0;
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        m_lLastError = ERROR_INVALID_DATA;
        return 0;
    }
    // Stored strings may lack their terminator; the text ends at the first NUL or the data.
    const void* nul = data.empty() ? nullptr : std::memchr(data.data(), 0, data.size());
    size_t length = nul ? static_cast<size_t>(static_cast<const BYTE*>(nul) - data.data()) : data.size();
    if (length >= capacity) {
        m_lLastError = ERROR_MORE_DATA;
        return 0;
    }
    if (length) std::memcpy(buffer, data.data(), length);
    buffer[length] = '\0';
    return 1;
}

int CRegData::SetVQFRegData(DWORD value, const char* section, const char* valueName) {
    HKEY key = nullptr;
    m_lLastError = RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath(section).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
    if (m_lLastError != ERROR_SUCCESS) return 0;
    m_lLastError =
        RegSetValueExA(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
    return m_lLastError == ERROR_SUCCESS ? 1 : 0;
}
