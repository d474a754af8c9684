// How the journal shows one job record on one line: names, flags, command words, the
// result of an answer and the parameter text with control characters escaped.
#pragma once

#include <cstddef>
#include <string>

#include "framework/jobpipedata.h"

namespace taskctrl {

// The parameter text as one line: "\n", "\r", "\t", "\\", "\"" and "\xNN" for other
// control bytes; cut after maxChars characters of the text, marked with "...".
std::string EscapeText(const char* text, size_t maxChars);

// "src NET/PC/PROC | dst NET/PC/PROC | excl 04 ans 0 serial 7 | W1 W2 W3 | result 0 |
// param(N) "TEXT"": an empty name shows as "-"; the result only for answers.
std::string DescribeRecord(const CJobPipeData& record);

// Trailing blanks (and what else atob strips) off a field text.
std::string TrimRight(std::string text);

inline constexpr size_t kParamShown = 200;

}  // namespace taskctrl
