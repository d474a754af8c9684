// Message-text modules: the message compiler's source format (.mc) loaded as a module.
//
// On Windows a message file is a DLL whose message-table resource the message compiler
// built from a .mc source. We have no resource compiler and no PE loader, so the source
// itself is the module: LoadLibraryEx(..., LOAD_LIBRARY_AS_DATAFILE) parses it into a
// MessageTable and hands out an HMODULE for it, FormatMessage(FROM_HMODULE) finds its
// texts through the error family's lookup hook, FreeLibrary drops it. The texts come out
// exactly as the compiler would have stored them (each line ends in CR LF), so the
// FormatMessage expansion sees the same bytes as on Windows.
//
// The accepted subset of the format and the lookup rules are in docs/messages.md.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pal/types.h"

#ifndef ERROR_RESOURCE_TYPE_NOT_FOUND
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#endif
#ifndef ERROR_RESOURCE_LANG_NOT_FOUND
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L
#endif

namespace pal::module {

// Language ids FormatMessage treats as "pick one for me".
constexpr WORD kLangNeutral = 0x0000;
constexpr WORD kLangUserDefault = 0x0400;
constexpr WORD kLangSystemDefault = 0x0800;
// The machine's user interface language, preferred when the caller does not name one.
constexpr WORD kLangEnglishUs = 0x0409;

struct MessageEntry {
    DWORD id = 0;  // severity << 30 | customer << 29 | facility << 16 | code
    std::string symbolicName;
    std::vector<std::pair<WORD, std::string>> texts;  // language id -> text, in file order
};

struct ParseOptions {
    bool customerBit = false;  // the compiler's -c switch: set bit 29 in every id
};

class MessageTable {
public:
    // Parses a .mc source. On failure returns false, leaves the table empty and, when
    // error is given, says why and where ("line 7: unknown severity name 'Fatal'").
    bool Parse(std::string_view source, std::string* error = nullptr, const ParseOptions& options = {});

    // The text of a full message id. language 0, 0x400 and 0x800 pick the neutral text,
    // else US English, else the first language the message has; any other language must
    // match exactly. Returns 0, ERROR_MR_MID_NOT_FOUND or ERROR_RESOURCE_LANG_NOT_FOUND.
    DWORD Find(DWORD id, DWORD language, std::string& text) const;

    // Sorted by id.
    const std::vector<MessageEntry>& Messages() const { return messages_; }

private:
    std::vector<MessageEntry> messages_;
};

// Builds a full message id the way the message compiler does.
constexpr DWORD MakeMessageId(DWORD severity, bool customer, DWORD facility, DWORD code) {
    return (severity & 3u) << 30 | (customer ? 1u << 29 : 0u) | (facility & 0xFFFu) << 16 | (code & 0xFFFFu);
}

// Loads the message module at a Linux path (already found by the module search). Returns
// 0 and the module's handle, ERROR_BAD_EXE_FORMAT when the file is no message module, or
// the error of reading it.
DWORD LoadMessageModule(const std::string& path, HMODULE& out);

// True when h is a loaded message module.
bool IsMessageModule(HMODULE h);

// Releases a message module; false (and nothing done) when h is none.
bool FreeMessageModule(HMODULE h);

}  // namespace pal::module
