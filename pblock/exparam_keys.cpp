// CExParam: writers and readers of the framework's standard keys. String values are
// written between double quotes without escapes; readers take the text between the first
// and the second quote, so an unquoted value reads as empty.
#include <cstring>

#include "pblock/exparam.h"
#include "pblock/token.h"

using pblock::Format;

namespace {

struct NamedNumber {
    const char* pszName;
    LONG lNumber;
};

const NamedNumber kColors[] = {{"BLACK", 0}, {"BLUE", 1},  {"GREEN", 2},   {"CYAN", 3},
                               {"RED", 4},   {"GRAY", 7},  {"YELLOW", 14}, {"WHITE", 15}};

// Indexed by the low four bits of a message-box style.
const char* const kButtonSets[] = {"MB_OK",    "MB_OKCANCEL",   "MB_ABORTRETRYIGNORE",
                                   "MB_YESNOCANCEL", "MB_YESNO", "MB_RETRYCANCEL"};

const char* ButtonSetName(DWORD dwStyle) {
    DWORD n = dwStyle & 0x0f;
    return n < sizeof(kButtonSets) / sizeof(kButtonSets[0]) ? kButtonSets[n] : "";
}

const char* DefaultButtonText(DWORD dwStyle) {
    switch (dwStyle & 0xf00) {
    case 0x000: return "1";
    case 0x100: return "2";
    case 0x200: return "3";
    default: return "";
    }
}

const char* IconName(DWORD dwStyle) {
    switch (dwStyle & 0xf0) {
    case 0x10: return "MB_ICONSTOP";
    case 0x20: return "MB_ICONQUESTION";
    case 0x30: return "MB_ICONEXCLAMATION";
    case 0x40: return "MB_ICONASTERISK";
    default: return "";
    }
}

std::string Quoted(const char* pszText) { return std::string("\"") + pszText + "\""; }

}  // namespace

// ---- writers ----

void CExParam::PutQuoted(const char* pszKey, const char* pszText) {
    if (pszText == nullptr) return;
    // Three insertions: the pending line carries the value across them.
    Put((std::string(pszKey) + "=\"").c_str());
    Put(pszText);
    Put("\"\n");
}

void CExParam::PutAccount(const char* pszAccount) { PutQuoted("#ACCOUNT", pszAccount); }
void CExParam::PutLine(const char* pszLine) { PutQuoted("#LINE", pszLine); }
void CExParam::PutPanel(const char* pszPanel) { PutQuoted("#PANEL", pszPanel); }
void CExParam::PutPassword(const char* pszPassword) { PutQuoted("#PASSWORD", pszPassword); }
void CExParam::PutServiceName(const char* pszName) { PutQuoted("#SERVICE_NAME", pszName); }
void CExParam::PutProcessName(const char* pszName) { PutQuoted("#TASK_NAME", pszName); }
void CExParam::PutTitle(const char* pszTitle) { PutQuoted("#TITLE", pszTitle); }

void CExParam::PutMessage(const char* pszMessage, LONG lNumber) {
    if (pszMessage == nullptr) return;
    Put("#MESSAGE=\"");
    Put(pszMessage);
    Put(lNumber != 0 ? Format("\", %d\n", lNumber).c_str() : "\"\n");
}

void CExParam::PutPath(const char* pszPath) {
    if (pszPath == nullptr) return;
    Put("#PATH", pszPath);
}

void CExParam::PutIconFile(const char* pszName) {
    if (pszName == nullptr) return;
    Put(("#ICON_FILE=" + m_strInputPath + pszName + "\n").c_str());
}

void CExParam::PutBeep(LONG lBeep) { Put("#BEEP", lBeep); }
void CExParam::PutButtonAnswer(LONG lAnswer) { Put("#BUTTON_ANSWER", lAnswer); }
void CExParam::PutModeless(LONG lModeless) { Put("#MODELESS", lModeless); }
void CExParam::PutPosition(LONG lPosition) { Put("#POSITION", lPosition); }
void CExParam::PutPushedButton(LONG lButton) { Put("#PUSHED_BUTTON", lButton); }
void CExParam::PutWIndowType(LONG lType) { Put("#WINDOW_TYPE", lType); }

void CExParam::PutOption(short sNo, LONG lValue) { Put(Format("#OPTION%d=%d\n", sNo, lValue).c_str()); }

void CExParam::PutCode(const LONG* plCode, const LONG* plStartCode, const LONG* plEndCode) {
    auto number = [](const LONG* p) { return p ? Format("%d", *p) : std::string(); };
    Put(("#CODE=" + number(plCode) + "\n#START_CODE=" + number(plStartCode) + "\n#END_CODE=" +
         number(plEndCode) + "\n")
            .c_str());
}

void CExParam::PutColor(DWORD dwColor) {
    const char* name = "";
    for (const auto& c : kColors)
        if (static_cast<DWORD>(c.lNumber) == dwColor) name = c.pszName;
    Put("#COLOR", name);
}

void CExParam::PutInputFile() {
    Put(("#INPUT_PATH=" + m_strInputPath + "\n").c_str());
    Put(Format("#INPUT_FILE=in%04d.%03x\n", m_lCommandNo, static_cast<unsigned>(m_lFileSeq)).c_str());
}

void CExParam::PutOutputFile() { PutOutputFile(m_lFileSeq, 0); }

void CExParam::PutOutputFile(LONG lFileSeq, short sCount) {
    Put(("#OUTPUT_PATH=" + m_strOutputPath + "\n").c_str());
    std::string line = Format("#OUTPUT_FILE=out%04d.%03x", m_lCommandNo, static_cast<unsigned>(lFileSeq));
    if (sCount > 0) line += Format("(%02d)", sCount);
    Put((line + "\n").c_str());
}

void CExParam::PutOutputFile(const LONG* plFileSeqs, const short* psCounts) {
    Put(("#OUTPUT_PATH=" + m_strOutputPath + "\n").c_str());
    std::string line = "#OUTPUT_FILE = ";
    for (int i = 0; plFileSeqs != nullptr && plFileSeqs[i] != -1; ++i) {
        if (i > 0) line += ", ";
        line += Format("out%04d.%03x", m_lCommandNo, static_cast<unsigned>(plFileSeqs[i]));
        // The counts advance only past entries that were written.
        if (psCounts != nullptr && *psCounts > 0) line += Format("(%02d)", *psCounts++);
    }
    Put((line + "\n").c_str());
}

void CExParam::PutTmId(const short* psIds) {
    std::string line = "#TERMINAL_ID=";
    for (int i = 0; psIds != nullptr && psIds[i] != -1; ++i) {
        if (i > 0) line += ",";
        line += Format("%02x", static_cast<unsigned>(static_cast<int>(psIds[i])));
    }
    Put((line + "\n").c_str());
}

void CExParam::PutButtons(DWORD dwStyle, const std::string& strButtons) {
    Put(("#WINDOW_BUTTON=" + strButtons + "\n").c_str());
    Put((std::string("#DEFAULT_BUTTON=") + DefaultButtonText(dwStyle) + "\n").c_str());
}

void CExParam::PutWindowButton(DWORD dwStyle) { PutButtons(dwStyle, ButtonSetName(dwStyle)); }

void CExParam::PutWindowButton(DWORD dwStyle, const char* pszLabel1, const char* pszLabel2,
                               const char* pszLabel3) {
    if (pszLabel1 == nullptr) return;
    std::string labels = Quoted(pszLabel1);
    if (pszLabel2 != nullptr) {
        labels += ", " + Quoted(pszLabel2);
        if (pszLabel3 != nullptr) labels += ", " + Quoted(pszLabel3);
    }
    PutButtons(dwStyle, labels);
}

void CExParam::PutWindowStyle(DWORD dwStyle) {
    PutWindowButton(dwStyle);
    Put((std::string("#ICON_FILE=") + IconName(dwStyle) + "\n").c_str());
}

void CExParam::PutWindowStyle(DWORD dwStyle, const char* pszLabel1, const char* pszLabel2,
                              const char* pszLabel3) {
    if (pszLabel1 == nullptr) return;
    PutWindowButton(dwStyle, pszLabel1, pszLabel2, pszLabel3);
    Put((std::string("#ICON_FILE=") + IconName(dwStyle) + "\n").c_str());
}

// ---- readers ----

LONG CExParam::GetNumber(const char* pszKey) const {
    std::string value;
    if (Search(pszKey, value) < 0 || value.empty()) return -1;
    return pblock::ReadNumber(value.c_str());
}

LONG CExParam::GetCommandNo() const { return GetNumber("#COMMAND_NO"); }
LONG CExParam::GetBeep() const { return GetNumber("#BEEP"); }
LONG CExParam::GetButtonAnswer() const { return GetNumber("#BUTTON_ANSWER"); }
LONG CExParam::GetModeless() const { return GetNumber("#MODELESS"); }
LONG CExParam::GetPosition() const { return GetNumber("#POSITION"); }
LONG CExParam::GetPushedButton() const { return GetNumber("#PUSHED_BUTTON"); }
LONG CExParam::GetWindowType() const { return GetNumber("#WINDOW_TYPE"); }

LONG CExParam::GetDefaultButton() const {
    std::string value;
    if (Search("#DEFAULT_BUTTON", value) < 0 || value.empty()) return -1;
    LONG n = pblock::ReadNumber(value.c_str());
    return n <= 0 ? -2 : n;
}

LONG CExParam::GetColor() const {
    std::string value;
    if (Search("#COLOR", value) < 0 || value.empty()) return -1;
    for (const auto& c : kColors)
        if (value == c.pszName) return c.lNumber;
    return -2;
}

int CExParam::GetQuoted(const char* pszKey, std::string& strOut, std::string* pstrRest) const {
    strOut.clear();
    if (pstrRest) pstrRest->clear();
    std::string value;
    if (Search(pszKey, value) < 0 || value.empty()) return -1;
    size_t open = value.find('"');
    if (open == std::string::npos) return 0;
    const char* p = value.c_str() + open + 1;
    int n = GetToken2(strOut, p, "\"");
    if (pstrRest) *pstrRest = p + n;
    return 0;
}

int CExParam::GetAccount(std::string& strOut) const { return GetQuoted("#ACCOUNT", strOut, nullptr); }
int CExParam::GetLine(std::string& strOut) const { return GetQuoted("#LINE", strOut, nullptr); }
int CExParam::GetPanel(std::string& strOut) const { return GetQuoted("#PANEL", strOut, nullptr); }
int CExParam::GetPassword(std::string& strOut) const { return GetQuoted("#PASSWORD", strOut, nullptr); }
int CExParam::GetServiceName(std::string& strOut) const { return GetQuoted("#SERVICE_NAME", strOut, nullptr); }
int CExParam::GetProcessName(std::string& strOut) const { return GetQuoted("#TASK_NAME", strOut, nullptr); }
int CExParam::GetTitle(std::string& strOut) const { return GetQuoted("#TITLE", strOut, nullptr); }

LONG CExParam::GetMessageA(std::string& strOut) const {
    std::string rest;
    if (GetQuoted("#MESSAGE", strOut, &rest) < 0) return -1;
    size_t comma = rest.find(',');
    if (comma == std::string::npos) return 0;
    return pblock::ReadNumber(pblock::Trim(rest.substr(comma + 1)).c_str());
}

int CExParam::GetIconFile(std::string& strOut) const {
    if (Search("#ICON_FILE", strOut) < 0 || strOut.empty()) return -1;
    return 0;
}

int CExParam::GetWithBackslash(const char* pszKey, std::string& strOut) const {
    if (Search(pszKey, strOut) < 0 || strOut.empty()) return -1;
    if (strOut.back() != '\\') strOut += '\\';
    return 0;
}

int CExParam::GetOutputpath(std::string& strOut) const { return GetWithBackslash("#OUTPUT_PATH", strOut); }
int CExParam::GetPath(std::string& strOut) const { return GetWithBackslash("#PATH", strOut); }

int CExParam::GetOFileFullNameFirst(std::string& strOut, short* psCount) {
    m_nOFileCursor = 0;
    return GetOFileFullNameNext(strOut, psCount);
}

int CExParam::GetOFileFullNameNext(std::string& strOut, short* psCount) {
    strOut.clear();
    std::string value;
    if (Search("#OUTPUT_FILE", value) < 0 || value.empty()) return -1;
    std::string entry;
    const char* p = value.c_str();
    for (int i = 0;; ++i) {
        int n = GetToken(entry, p, ",");
        if (n == 0) return 0;
        p += n;
        if (i == m_nOFileCursor) break;
    }
    ++m_nOFileCursor;
    std::string name;
    int n = GetToken(name, entry.c_str(), "(");
    std::string path;
    GetWithBackslash("#OUTPUT_PATH", path);
    strOut = path + name;
    if (psCount != nullptr) {
        const char* count = entry.c_str() + n;
        *psCount = (n > 0 && entry[n - 1] == '(') ? static_cast<short>(pblock::ReadNumber(count)) : 0;
    }
    return 1;
}

LONG CExParam::GetWindowButton() const {
    std::string value;
    if (Search("#WINDOW_BUTTON", value) < 0 || value.empty()) return -1;
    if (value[0] == '"') return -11;
    for (size_t i = 0; i < sizeof(kButtonSets) / sizeof(kButtonSets[0]); ++i)
        if (value == kButtonSets[i]) return static_cast<LONG>(i);
    return -2;
}

int CExParam::GetWindowButtonFirst(std::string& strOut) {
    m_nWButtonCursor = 0;
    return GetWindowButtonNext(strOut);
}

int CExParam::GetWindowButtonNext(std::string& strOut) {
    strOut.clear();
    std::string value;
    if (Search("#WINDOW_BUTTON", value) < 0 || value.empty()) return -1;
    if (value[0] != '"') return -11;
    std::string label;
    size_t pos = 1;  // behind the opening quote of the first label
    for (int i = 0;; ++i) {
        GetToken2(label, value.c_str() + pos, "\"");
        if (i == m_nWButtonCursor) break;
        size_t close = value.find('"', pos);
        if (close == std::string::npos) return 0;
        size_t comma = value.find(',', close + 1);
        if (comma == std::string::npos) return 0;
        size_t open = value.find('"', comma + 1);
        if (open == std::string::npos) return 0;
        pos = open + 1;
    }
    strOut = label;
    ++m_nWButtonCursor;
    return 1;
}
