// The built-in command-word tables and the two lookups over them. The tables are checked
// at compile time to be sorted and padded, since the binary search silently misses words
// of an unsorted table.
#include "framework/cmdword.h"

#include <cstring>
#include <iterator>
#include <string_view>

namespace {

constexpr TBL_S_JOB kSJobTbl1[] = {
    {0, "**********"}, {4, "FWAPLLOG  "}, {3, "FWCOMMON  "}, {2, "FWMESSAGE "}, {1, "FWSYSTEM  "},
};

constexpr TBL_S_JOB kSJobTbl2[] = {
    {0, "**********"},  {23, "FWCHECK   "}, {3, "FWCLEAR   "},  {2, "FWDISPLAY "},  {28, "FWEXECUTE "},
    {6, "FWEXITAPL "},  {4, "FWEXITWIN "},  {19, "FWEXPORT  "}, {9, "FWHCOPY   "},  {20, "FWIMPORT  "},
    {29, "FWLANGUAGE"}, {11, "FWLOG     "}, {21, "FWMFTP    "}, {5, "FWNOTIFY  "},  {8, "FWQUERY   "},
    {18, "FWRAS     "}, {7, "FWREPAINT "},  {91, "FWRESET   "}, {26, "FWRESULT  "}, {12, "FWROUTER  "},
    {15, "FWSCHEDULE"}, {1, "FWSERVICE "},  {90, "FWSET     "}, {27, "FWSMART   "}, {24, "FWSOCKET  "},
    {25, "FWSOCKET2 "}, {17, "FWTFTPLOG "}, {16, "FWTFTPSVR "}, {22, "FWTHREAD  "}, {14, "FWTIMER   "},
    {10, "FWUPS     "}, {13, "FWWATCH   "},
};

constexpr TBL_S_JOB kSJobTbl3[] = {
    {0, "**********"},  {90, "FWALERT   "}, {91, "FWBOARD   "}, {52, "FWCHANGED "}, {22, "FWCHECK   "},
    {37, "FWCOLLECT "}, {51, "FWCOMFUNC "}, {6, "FWCONNECT "},  {30, "FWCONTINUE"}, {16, "FWCREATE  "},
    {31, "FWDATA    "}, {17, "FWDELETE  "}, {46, "FWDISABLE "}, {7, "FWDISCONNE"},  {36, "FWDISKUSED"},
    {49, "FWDLLFUNC "}, {45, "FWENABLE  "}, {50, "FWEXE     "}, {11, "FWFORCE   "}, {92, "FWHELP    "},
    {20, "FWHOOKOFF "}, {19, "FWHOOKON  "}, {2, "FWLINE    "},  {40, "FWLOCKOFF "}, {39, "FWLOCKON  "},
    {15, "FWLOGOFF  "}, {48, "FWLOGWRITE"}, {27, "FWNEW     "}, {44, "FWOFF     "}, {43, "FWON      "},
    {1, "FWPANEL   "},  {29, "FWPAUSE   "}, {25, "FWPOWEROFF"}, {32, "FWRCVCTRL "}, {47, "FWREAD    "},
    {12, "FWREBOOT  "}, {33, "FWRECEIVE "}, {38, "FWRECOVERY"}, {42, "FWRELAYOFF"}, {41, "FWRELAYON "},
    {18, "FWREQUEST "}, {10, "FWSDOWN   "}, {34, "FWSEND    "}, {26, "FWSERVICE "}, {35, "FWSNDCTRL "},
    {4, "FWSTART   "},  {8, "FWSTARTAL "},  {23, "FWSTARTFW "}, {5, "FWSTOP    "},  {9, "FWSTOPAL  "},
    {24, "FWSTOPFW  "}, {13, "FWTASKSTAR"}, {14, "FWTASKSTOP"}, {93, "FWTITLE   "}, {94, "FWTMINFO  "},
    {28, "FWUPDATE  "}, {21, "FWWATCH   "}, {3, "FWWINDOW  "},
};

template <size_t N>
constexpr bool SortedAndPadded(const TBL_S_JOB (&table)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (std::string_view(table[i].word).size() != vqcmdword::kWordLen) return false;
        if (i > 0 && !(std::string_view(table[i - 1].word) < std::string_view(table[i].word))) return false;
    }
    return true;
}
static_assert(std::size(kSJobTbl1) == 5 && SortedAndPadded(kSJobTbl1));
static_assert(std::size(kSJobTbl2) == 32 && SortedAndPadded(kSJobTbl2));
static_assert(std::size(kSJobTbl3) == 58 && SortedAndPadded(kSJobTbl3));

}  // namespace

namespace vqcmdword {

const TBL_S_JOB* BuiltinTable(int position, int* rows) {
    const TBL_S_JOB* table = nullptr;
    int n = 0;
    switch (position) {
    case 1: table = kSJobTbl1; n = static_cast<int>(std::size(kSJobTbl1)); break;
    case 2: table = kSJobTbl2; n = static_cast<int>(std::size(kSJobTbl2)); break;
    case 3: table = kSJobTbl3; n = static_cast<int>(std::size(kSJobTbl3)); break;
    default: break;
    }
    if (rows) *rows = n;
    return table;
}

int SearchTable(const TBL_S_JOB* table, int rows, const char* field) {
    if (!table || rows < 1 || !field) return -1;
    // Half-open range [low, high); a range of one row that does not match ends the search.
    int low = 0;
    int high = rows;
    for (;;) {
        int probe = (low + high) / 2;
        const char* word = table[probe].word ? table[probe].word : "";
        int cmp = std::strncmp(word, field, kWordLen);
        if (cmp == 0) return table[probe].code;
        if (high - low == 1) return -1;
        if (cmp > 0)
            high = probe;
        else
            low = probe;
    }
}

std::string WordOfCode(int position, int code, const TBL_S_JOB* appTable, int appRows) {
    int rows = 0;
    const TBL_S_JOB* tables[2] = {BuiltinTable(position, &rows), appTable};
    int counts[2] = {rows, appTable ? appRows : 0};
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < counts[t]; ++i) {
            if (tables[t][i].code != code || !tables[t][i].word) continue;
            std::string word(tables[t][i].word, strnlen(tables[t][i].word, kWordLen));
            word.resize(kWordLen, ' ');
            return word;
        }
    }
    return std::string();
}

}  // namespace vqcmdword
