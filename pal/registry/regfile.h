// The .reg text format, read and written the way the system's registry editor does.
//
// The store keeps names and strings in the suite's code page, CP932. A file is read as
//   - UTF-16LE when it starts with FF FE: names and strings are converted to CP932, and
//     under the 5.00 header hex(2)/hex(7) data are UTF-16LE strings, converted too;
//   - UTF-8 when it starts with EF BB BF, or when it has no mark, holds bytes above 7F
//     and is well-formed UTF-8 throughout: names and strings converted, hex data raw;
//   - else 8-bit: the file's bytes are the store's bytes, hex data raw.
// A character CP932 cannot hold exactly, an unpaired surrogate or malformed UTF-8 (in a
// file marked as UTF-8) is an error naming the line. UTF-16BE files are refused.
// Writing gives the 8-bit form, or with RegFileEncoding::kUtf16 what the registry editor
// writes: UTF-16LE with its mark, CR LF line ends, hex(2)/hex(7) as UTF-16LE.
//
//   Windows Registry Editor Version 5.00        (or REGEDIT4)
//   ; comment
//   [HKEY_LOCAL_MACHINE\SOFTWARE\X]             (HKLM, HKCU, HKCR, HKU also accepted)
//   @="default value"                            REG_SZ, stored with its terminator
//   "name"="a \"quoted\" \\ text"
//   "n"=dword:0000002a                           REG_DWORD
//   "b"=hex:01,02,ff                             REG_BINARY
//   "e"=hex(2):25,54,4d,50,25,00                 any type by number: hex(0), hex(7), hex(b) ...
//   "long"=hex:01,02,\                           a trailing '\' continues the line
//     03,04
//   "gone"=-                                     deletes a value
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\Old]           deletes a key and its tree
//
// Reading is all-or-nothing: the whole text is parsed before anything is applied, the
// first malformed line is reported with its number and text, and the edits are applied
// in one store transaction.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "pal/registry/registry.h"
#include "pal/registry/store.h"
#include "pal/registry/tree.h"

namespace pal::reg {

struct RegEdit {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
    Kind kind = kCreateKey;
    KeyId root = 0;
    std::vector<std::string> path;  // names below the root
    Value value;                    // kSetValue; kDeleteValue uses the name only
    int line = 0;
};

struct RegFileError {
    int line = 0;
    std::string message;
    std::string text;  // the offending line (shortened when long)
    // "line N: message: text"
    std::string ToString() const;
};

enum class RegFileEncoding { kEightBit, kUtf16 };

bool ParseRegFile(std::string_view text, std::vector<RegEdit>& edits, RegFileError& error);

// Applies edits in one transaction. On failure nothing is applied and *failedLine (when
// given) names the line of the edit that failed.
LONG ApplyRegEdits(const std::vector<RegEdit>& edits, int* failedLine = nullptr);

// The .reg text of a tree whose top key is keyPath ("HKEY_LOCAL_MACHINE\SOFTWARE\X"),
// header included. False (with why) when a name cannot be written (CR or LF in it), and
// in UTF-16 when a name, string or hex(2)/hex(7) value is not CP932 text. An 8-bit text
// that would read as UTF-8 gets a comment in CP932 after the header that keeps it 8-bit.
bool FormatRegFile(const std::string& keyPath, const Tree& tree, std::string& out, std::string& why,
                   RegFileEncoding encoding = RegFileEncoding::kEightBit);

// Reads root\subKey from the store and formats it (ERROR_INVALID_DATA, with why, when it
// cannot be written).
LONG ExportRegFile(HKEY root, const char* subKey, std::string& out, std::string* why = nullptr,
                   RegFileEncoding encoding = RegFileEncoding::kEightBit);

// One level of an open key, read in one transaction: its values and the names of its
// sub-keys (with empty contents), in enumeration order. What RegEnumValue and
// RegEnumKeyEx give index by index, at the cost of one call.
LONG ReadKeyLevel(HKEY key, Tree& out);

// Root keys by name: "HKEY_LOCAL_MACHINE" or "HKLM", any case. 0 when unknown.
KeyId RootFromName(std::string_view name);
// "HKEY_LOCAL_MACHINE" ... for a root row.
const char* RootName(KeyId root);
HKEY RootHandle(KeyId root);
// "HKLM\A\B" as a root and names below it; false with why for an unknown root, an empty
// name or a name over 255 characters.
bool ParseKeyPath(std::string_view full, KeyId& root, std::vector<std::string>& names, std::string& why);

}  // namespace pal::reg
