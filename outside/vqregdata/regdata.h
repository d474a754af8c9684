// CRegData: DWORD and text values under HKEY_LOCAL_MACHINE "SOFTWARE\QIR\VQ FRAMEWORK",
// addressed by a section (a key path relative to that root, "" for the root itself) and a
// value name. Objects hold no state between calls beyond the last registry error.
//
// - Reads return 1 when the value was read, 0 otherwise; on 0 the caller's output is left
//   exactly as it was, because callers preset their defaults there.
// - A DWORD read takes only REG_DWORD data; a text read takes REG_SZ or REG_EXPAND_SZ
//   (unexpanded) and stores it NUL-terminated, only when it fits the caller's capacity
//   including the terminator.
// - SetVQFRegData writes a REG_DWORD, creating the section's key when missing.
// - The flag argument is reserved: callers pass 0 and it is ignored.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "pal/windows.h"

class CRegData {
public:
    static const char* const kRootKey;  // "SOFTWARE\QIR\VQ FRAMEWORK"

    CRegData();
    ~CRegData();
    CRegData(const CRegData&) = delete;
    CRegData& operator=(const CRegData&) = delete;

    int GetVQFRegData(DWORD* value, const char* section, const char* valueName, int flag);

    // The text read always takes the buffer's capacity: a size-less form would let a long
    // value run over a small caller buffer.
    int GetVQFRegData(char* buffer, size_t capacity, const char* section, const char* valueName, int flag);
    int GetVQFRegData(BYTE* buffer, size_t capacity, const char* section, const char* valueName, int flag) {
        return GetVQFRegData(reinterpret_cast<char*>(buffer), capacity, section, valueName, flag);
    }
    // Array buffers keep the short call form; the capacity comes from the array type.
    template <size_t N>
    int GetVQFRegData(char (&buffer)[N], const char* section, const char* valueName, int flag) {
        return GetVQFRegData(buffer, N, section, valueName, flag);
    }
    template <size_t N>
    int GetVQFRegData(BYTE (&buffer)[N], const char* section, const char* valueName, int flag) {
        return GetVQFRegData(buffer, N, section, valueName, flag);
    }

    int SetVQFRegData(DWORD value, const char* section, const char* valueName);

    // Win32 error of the last call (ERROR_SUCCESS after a success); ERROR_MORE_DATA when a
    // text did not fit, ERROR_INVALID_DATA for a value of the wrong type.
    LONG GetLastRegError() const { return m_lLastError; }

private:
    LONG ReadValue(const char* section, const char* valueName, DWORD& type, std::vector<BYTE>& data);

    LONG m_lLastError;
};
