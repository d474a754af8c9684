// Small helpers of the framework: BCD and hexadecimal digit converters, the quoting
// tokenizer of request texts, and the computer name written into the application log.
#pragma once

#include <string>

#include "pal/types.h"

// Packs count characters of src into right-aligned BCD at dest ((count + 1) / 2 bytes).
// Leading blanks count as zeros; only each character's low four bits are used. A text
// shorter than count is read as if zeros followed it.
void atobcd(BYTE* dest, const char* src, int count);

// The text read as hexadecimal, without any check; wraps at 32 bits.
DWORD a2h(const char* text);

// Cuts one token off text (see vqbutil.cpp); returns the characters to skip to pass it and
// its delimiter.
int GetToken(std::string& token, const char* text, const char* delimiters);

// Writes the name the application log uses for this computer (at least 25 bytes); returns
// the terminal-server mode used (0, 1, 2) or a negative value on failure.
int VQBGetTsePcName(char* dest);
