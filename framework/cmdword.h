// Command words of job requests: blank-padded 10-character words and their 16-bit codes.
// Each word position has a built-in table, searched first, and may have one table that
// the application registers; a word both tables hold keeps its built-in code.
#pragma once

#include <string>

#include "pal/types.h"

#pragma pack(push, 1)
// One table row. Words are exactly 10 characters, upper case, blank-padded, and a table is
// sorted in ascending byte order of its words, because lookups are binary searches.
typedef struct _TBL_S_JOB {
    SHORT code;
    const char* word;
} TBL_S_JOB;
#pragma pack(pop)
static_assert(sizeof(TBL_S_JOB) == sizeof(SHORT) + sizeof(const char*), "TBL_S_JOB is packed");

namespace vqcmdword {

constexpr int kWordLen = 10;

// The built-in table of word position 1, 2 or 3, and its row count.
const TBL_S_JOB* BuiltinTable(int position, int* rows);

// Binary search of one sorted table for a 10-character word field as it stands (blanks
// included); -1 when absent. A null table or fewer than one row is never searched.
int SearchTable(const TBL_S_JOB* table, int rows, const char* field);

// Code to word: the first row with the code, built-in table first; empty when none.
// The word comes back padded (or cut) to 10 characters.
std::string WordOfCode(int position, int code, const TBL_S_JOB* appTable, int appRows);

}  // namespace vqcmdword

// Built-in codes of the words the framework itself sends and serves.
enum : SHORT {
    CMD1_FWSYSTEM = 1,
    CMD1_FWMESSAGE = 2,
    CMD1_FWAPLLOG = 4,

    CMD2_FWSERVICE = 1,
    CMD2_FWNOTIFY = 5,
    CMD2_FWEXITAPL = 6,
    CMD2_FWQUERY = 8,
    CMD2_FWLOG = 11,
    CMD2_FWLANGUAGE = 29,

    CMD3_FWSTART = 4,
    CMD3_FWCONNECT = 6,
    CMD3_FWDISCONNE = 7,
    CMD3_FWSDOWN = 10,
    CMD3_FWTASKSTAR = 13,
    CMD3_FWTASKSTOP = 14,
    CMD3_FWREQUEST = 18,
    CMD3_FWSERVICE = 26,
    CMD3_FWNEW = 27,
    CMD3_FWPAUSE = 29,
    CMD3_FWCONTINUE = 30,
    CMD3_FWCHANGED = 52,
};
