// CJobPipeData. Every text field is written through one of two helpers that blank the
// field and copy at most its width, so no value, however long or however it formats,
// can spill into the next field; every read of the text is bounded by the field width,
// and the record's last byte is forced to NUL whenever a text record comes in, so the
// parameter text of a record received without its terminator still ends inside it.
#include "framework/jobpipedata.h"

#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

TBL_S_JOB* CJobPipeData::m_SJobTbl1 = nullptr;
TBL_S_JOB* CJobPipeData::m_SJobTbl2 = nullptr;
TBL_S_JOB* CJobPipeData::m_SJobTbl3 = nullptr;
short CJobPipeData::m_SJobRow1 = 0;
short CJobPipeData::m_SJobRow2 = 0;
short CJobPipeData::m_SJobRow3 = 0;

namespace {

template <size_t N>
void PutText(char (&field)[N], const char* text) {
    std::memset(field, ' ', N);
    if (text) std::memcpy(field, text, strnlen(text, N));
}

// The first characters of the formatted text fill the field; a shorter text is padded.
template <size_t N>
void PutFormat(char (&field)[N], const char* format, ...) __attribute__((format(printf, 2, 3)));
template <size_t N>
void PutFormat(char (&field)[N], const char* format, ...) {
    char buffer[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    PutText(field, buffer);
}

template <size_t N, size_t M>
void PutName(char (&binary)[M], const char* text) {
    static_assert(M == N + 1);
    std::memset(binary, 0, M);
    if (text) std::memcpy(binary, text, strnlen(text, N));
}

// A name field: its characters, ended at the first NUL, trailing white space removed.
template <size_t N, size_t M>
void ReadName(char (&binary)[M], const char (&field)[N]) {
    static_assert(M == N + 1);
    std::memset(binary, 0, M);
    std::memcpy(binary, field, N);
    for (size_t len = strnlen(binary, N); len > 0 && std::isspace(static_cast<unsigned char>(binary[len - 1]));)
        binary[--len] = '\0';
}

// A numeric field is read up to its first blank (or NUL), at most its width.
template <size_t N>
void NumberText(char (&out)[N + 1], const char* field) {
    size_t i = 0;
    for (; i < N && field[i] != ' ' && field[i] != '\0'; ++i) out[i] = field[i];
    out[i] = '\0';
}

template <size_t N>
long ReadDecimal(const char (&field)[N]) {
    char text[N + 1];
    NumberText<N>(text, field);
    return std::strtol(text, nullptr, 10);
}

// Hexadecimal as the framework reads it everywhere: no check, any other character counts as
// its lower-case code minus 87, the value wraps at 32 bits.
template <size_t N>
DWORD ReadHex(const char (&field)[N]) {
    char text[N + 1];
    NumberText<N>(text, field);
    DWORD value = 0;
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        DWORD digit = c <= '9' ? DWORD(c) - '0' : DWORD(std::tolower(c)) - 87;
        value = (value << 4) + digit;
    }
    return value;
}

// Not a finite number (nan, inf) reads as 0: the field could not hold it when written back.
template <size_t N>
double ReadDouble(const char (&field)[N]) {
    char text[N + 1];
    NumberText<N>(text, field);
    double value = std::strtod(text, nullptr);
    return std::isfinite(value) ? value : 0.0;
}

WORD LowDigit(char c) { return static_cast<WORD>(static_cast<unsigned char>(c) & 15); }

}  // namespace

CJobPipeData::CJobPipeData() { Clear(); }

CJobPipeData::CJobPipeData(const ASCII_REQUEST* ascii) { CopyText(ascii); }

CJobPipeData::CJobPipeData(const DATA_REQUEST* data) {
    if (data)
        std::memcpy(&m_DataReq, data, sizeof m_DataReq);
    else
        std::memset(&m_DataReq, 0, sizeof m_DataReq);
    // A binary record from outside may come without terminators: cut its names to width.
    m_DataReq.DstNetworkId[15] = m_DataReq.DstPcName[15] = m_DataReq.DstProcessName[8] = '\0';
    m_DataReq.SrcNetworkId[15] = m_DataReq.SrcPcName[15] = m_DataReq.SrcProcessName[8] = '\0';
    btoa_reqdata(&m_AsciiReq, &m_DataReq);
}

CJobPipeData::CJobPipeData(const CJobPipeData& other) { CopyText(&other.m_AsciiReq); }

CJobPipeData& CJobPipeData::operator=(const CJobPipeData& other) {
    if (this != &other) CopyText(&other.m_AsciiReq);
    return *this;
}

CJobPipeData& CJobPipeData::operator=(const ASCII_REQUEST* ascii) {
    CopyText(ascii);
    return *this;
}

void CJobPipeData::CopyText(const ASCII_REQUEST* ascii) {
    if (!ascii) {
        Clear();
        return;
    }
    if (ascii != &m_AsciiReq) std::memcpy(&m_AsciiReq, ascii, sizeof m_AsciiReq);
    m_AsciiReq.ExParam[kMaxExParam] = '\0';
    atob_reqdata(&m_DataReq, &m_AsciiReq);
}

void CJobPipeData::Clear() {
    std::memset(&m_AsciiReq, ' ', sizeof m_AsciiReq);
    m_AsciiReq.ExParam[0] = '\0';
    m_AsciiReq.ExParam[kMaxExParam] = '\0';
    std::memset(&m_DataReq, 0, sizeof m_DataReq);
}

void CJobPipeData::ClearExParam() { m_AsciiReq.ExParam[0] = '\0'; }

void CJobPipeData::SetExParam(const char* text) {
    // The rest of the area is zeroed too, so no bytes of an earlier text go on the wire.
    size_t len = text ? strnlen(text, kMaxExParam) : 0;
    if (len) std::memmove(m_AsciiReq.ExParam, text, len);  // the text may be our own
    std::memset(m_AsciiReq.ExParam + len, 0, sizeof m_AsciiReq.ExParam - len);
}

void CJobPipeData::SetNetworkId(const char* dstNetworkId, const char* srcNetworkId) {
    if (dstNetworkId) {
        PutName<15>(m_DataReq.DstNetworkId, dstNetworkId);
        PutText(m_AsciiReq.DstNetworkId, dstNetworkId);
    }
    if (srcNetworkId) {
        PutName<15>(m_DataReq.SrcNetworkId, srcNetworkId);
        PutText(m_AsciiReq.SrcNetworkId, srcNetworkId);
    }
}

void CJobPipeData::SetSDA(const char* dstNetworkId, const char* dstPcName, const char* dstProcessName,
                          const char* srcNetworkId, const char* srcPcName, const char* srcProcessName) {
    SetNetworkId(dstNetworkId, srcNetworkId);
    if (dstPcName) {
        PutName<15>(m_DataReq.DstPcName, dstPcName);
        PutText(m_AsciiReq.DstPcName, dstPcName);
    }
    if (srcPcName) {
        PutName<15>(m_DataReq.SrcPcName, srcPcName);
        PutText(m_AsciiReq.SrcPcName, srcPcName);
    }
    if (dstProcessName) {
        PutName<8>(m_DataReq.DstProcessName, dstProcessName);
        PutText(m_AsciiReq.DstProcessName, dstProcessName);
    }
    if (srcProcessName) {
        PutName<8>(m_DataReq.SrcProcessName, srcProcessName);
        PutText(m_AsciiReq.SrcProcessName, srcProcessName);
    }
}

void CJobPipeData::SetSDA(const char* dstPcName, const char* dstProcessName, const char* srcPcName,
                          const char* srcProcessName) {
    SetSDA(nullptr, dstPcName, dstProcessName, nullptr, srcPcName, srcProcessName);
}

void CJobPipeData::GetNetworkId(std::string* dstNetworkId, std::string* srcNetworkId) const {
    if (dstNetworkId) *dstNetworkId = m_DataReq.DstNetworkId;
    if (srcNetworkId) *srcNetworkId = m_DataReq.SrcNetworkId;
}

void CJobPipeData::GetDst(std::string* networkId, std::string* pcName, std::string* processName) const {
    if (networkId) *networkId = m_DataReq.DstNetworkId;
    GetDst(pcName, processName);
}

void CJobPipeData::GetDst(std::string* pcName, std::string* processName) const {
    if (pcName) *pcName = m_DataReq.DstPcName;
    if (processName) *processName = m_DataReq.DstProcessName;
}

void CJobPipeData::GetSrc(std::string* networkId, std::string* pcName, std::string* processName) const {
    if (networkId) *networkId = m_DataReq.SrcNetworkId;
    GetSrc(pcName, processName);
}

void CJobPipeData::GetSrc(std::string* pcName, std::string* processName) const {
    if (pcName) *pcName = m_DataReq.SrcPcName;
    if (processName) *processName = m_DataReq.SrcProcessName;
}

void CJobPipeData::SetKind(BYTE kind) {
    m_DataReq.Kind = kind;
    PutFormat(m_AsciiReq.Kind, "%0*d", 1, kind);
}

void CJobPipeData::SetExcl(BYTE excl) {
    m_DataReq.Excl = excl;
    PutFormat(m_AsciiReq.Excl, "%0*x", 2, excl);
}

void CJobPipeData::SetAns(WORD ans) {
    m_DataReq.Ans = ans;
    PutFormat(m_AsciiReq.Ans, "%0*d", 1, ans);
}

void CJobPipeData::SetIdCode() {
    if (m_DataReq.SJob1 < 0 || m_DataReq.SJob2 < 0 || m_DataReq.SJob3 < 0) return;
    long long id = m_DataReq.SJob1 * 1000000LL + m_DataReq.SJob2 * 1000LL + m_DataReq.SJob3;
    m_DataReq.IdCode = static_cast<DWORD>(id);
    PutFormat(m_AsciiReq.IdCode, "%0*lld", 9, id);
}

void CJobPipeData::SetIdCode(LONG idCode) {
    m_DataReq.IdCode = static_cast<DWORD>(idCode);
    PutFormat(m_AsciiReq.IdCode, "%0*d", 9, idCode);
}

void CJobPipeData::SetSerialNo(DWORD serialNo) {
    m_DataReq.SerialNo = serialNo;
    PutFormat(m_AsciiReq.SerialNo, "%0*x", 3, serialNo);
}

std::string& CJobPipeData::StrSJob(int position) {
    return position == 1 ? m_StrSJob1 : position == 2 ? m_StrSJob2 : m_StrSJob3;
}

std::string CJobPipeData::WordOfCode(int position, int code) {
    switch (position) {
    case 1: return vqcmdword::WordOfCode(1, code, m_SJobTbl1, m_SJobRow1);
    case 2: return vqcmdword::WordOfCode(2, code, m_SJobTbl2, m_SJobRow2);
    default: return vqcmdword::WordOfCode(3, code, m_SJobTbl3, m_SJobRow3);
    }
}

void CJobPipeData::SetSJobCode(int position, int code) {
    char* field = position == 1 ? m_AsciiReq.SJob1 : position == 2 ? m_AsciiReq.SJob2 : m_AsciiReq.SJob3;
    SHORT& binary = position == 1 ? m_DataReq.SJob1 : position == 2 ? m_DataReq.SJob2 : m_DataReq.SJob3;
    binary = static_cast<SHORT>(code);
    std::string word = WordOfCode(position, binary);
    StrSJob(position) = word;
    // An unknown code has no word: the text keeps what it had.
    if (!word.empty()) std::memcpy(field, word.data(), vqcmdword::kWordLen);
    SetIdCode();
}

void CJobPipeData::SetSJobWord(int position, const char* word) {
    char* field = position == 1 ? m_AsciiReq.SJob1 : position == 2 ? m_AsciiReq.SJob2 : m_AsciiReq.SJob3;
    SHORT& binary = position == 1 ? m_DataReq.SJob1 : position == 2 ? m_DataReq.SJob2 : m_DataReq.SJob3;
    std::string padded(word ? word : "", word ? strnlen(word, vqcmdword::kWordLen) : 0);
    padded.resize(vqcmdword::kWordLen, ' ');
    StrSJob(position) = padded;
    std::memcpy(field, padded.data(), vqcmdword::kWordLen);
    int code = position == 1 ? search_tbl1(field) : position == 2 ? search_tbl2(field) : search_tbl3(field);
    binary = static_cast<SHORT>(code);
    SetIdCode();
}

void CJobPipeData::SetSJob1(int code) { SetSJobCode(1, code); }
void CJobPipeData::SetSJob2(int code) { SetSJobCode(2, code); }
void CJobPipeData::SetSJob3(int code) { SetSJobCode(3, code); }
void CJobPipeData::SetSJob1(const char* word) { SetSJobWord(1, word); }
void CJobPipeData::SetSJob2(const char* word) { SetSJobWord(2, word); }
void CJobPipeData::SetSJob3(const char* word) { SetSJobWord(3, word); }

void CJobPipeData::SetSJob(int code1, int code2, int code3) {
    SetSJob1(code1);
    SetSJob2(code2);
    SetSJob3(code3);
}

void CJobPipeData::SetSJob(const char* word1, const char* word2, const char* word3) {
    SetSJob1(word1);
    SetSJob2(word2);
    SetSJob3(word3);
}

void CJobPipeData::SetSData1(WORD value) {
    m_DataReq.SData1 = value;
    PutFormat(m_AsciiReq.SData1, "%0*d", 4, value);
}

void CJobPipeData::SetSData2(WORD value) {
    m_DataReq.SData2 = value;
    PutFormat(m_AsciiReq.SData2, "%0*d", 1, value);
}

void CJobPipeData::SetSData3(double value) {
    m_DataReq.SData3 = value;
    PutFormat(m_AsciiReq.SData3, "%0*.0f", 13, value);
}

void CJobPipeData::SetSData4(double value) {
    m_DataReq.SData4 = value;
    PutFormat(m_AsciiReq.SData4, "%0*.0f", 13, value);
}

void CJobPipeData::SetSData5(WORD value) {
    m_DataReq.SData5 = value;
    PutFormat(m_AsciiReq.SData5, "%0*d", 1, value);
}

void CJobPipeData::SetSData6(WORD value) {
    m_DataReq.SData6 = value;
    PutFormat(m_AsciiReq.SData6, "%0*d", 4, value);
}

CJobPipeData CJobPipeData::Req2Ans(WORD result) const {
    CJobPipeData answer(*this);
    std::string dstNet = answer.m_DataReq.DstNetworkId, srcNet = answer.m_DataReq.SrcNetworkId;
    std::string dstPc = answer.m_DataReq.DstPcName, srcPc = answer.m_DataReq.SrcPcName;
    std::string dstProc = answer.m_DataReq.DstProcessName, srcProc = answer.m_DataReq.SrcProcessName;
    answer.SetNetworkId(srcNet.c_str(), dstNet.c_str());
    answer.SetSDA(srcPc.c_str(), srcProc.c_str(), dstPc.c_str(), dstProc.c_str());
    answer.SetExcl(static_cast<BYTE>(m_DataReq.Excl | JOB_EXCL_ANSWER));
    answer.SetAns(0);
    answer.SetSData1(result);
    return answer;
}

void CJobPipeData::RegisterSJobTbl(TBL_S_JOB* table1, short rows1, TBL_S_JOB* table2, short rows2,
                                   TBL_S_JOB* table3, short rows3) {
    m_SJobTbl1 = table1;
    m_SJobRow1 = rows1;
    m_SJobTbl2 = table2;
    m_SJobRow2 = rows2;
    m_SJobTbl3 = table3;
    m_SJobRow3 = rows3;
}

int CJobPipeData::search_tbl1(const char* field) const {
    int rows = 0;
    const TBL_S_JOB* builtin = vqcmdword::BuiltinTable(1, &rows);
    int code = vqcmdword::SearchTable(builtin, rows, field);
    return code >= 0 ? code : vqcmdword::SearchTable(m_SJobTbl1, m_SJobRow1, field);
}

int CJobPipeData::search_tbl2(const char* field) const {
    int rows = 0;
    const TBL_S_JOB* builtin = vqcmdword::BuiltinTable(2, &rows);
    int code = vqcmdword::SearchTable(builtin, rows, field);
    return code >= 0 ? code : vqcmdword::SearchTable(m_SJobTbl2, m_SJobRow2, field);
}

int CJobPipeData::search_tbl3(const char* field) const {
    int rows = 0;
    const TBL_S_JOB* builtin = vqcmdword::BuiltinTable(3, &rows);
    int code = vqcmdword::SearchTable(builtin, rows, field);
    return code >= 0 ? code : vqcmdword::SearchTable(m_SJobTbl3, m_SJobRow3, field);
}

short CJobPipeData::atob_reqdata(DATA_REQUEST* out, const ASCII_REQUEST* in) {
    ReadName(out->DstNetworkId, in->DstNetworkId);
    ReadName(out->DstPcName, in->DstPcName);
    ReadName(out->DstProcessName, in->DstProcessName);
    ReadName(out->SrcNetworkId, in->SrcNetworkId);
    ReadName(out->SrcPcName, in->SrcPcName);
    ReadName(out->SrcProcessName, in->SrcProcessName);

    out->Kind = static_cast<BYTE>(LowDigit(in->Kind[0]));
    out->Excl = static_cast<BYTE>(ReadHex(in->Excl));
    out->Ans = LowDigit(in->Ans[0]);
    out->SerialNo = ReadHex(in->SerialNo);

    m_StrSJob1.assign(in->SJob1, vqcmdword::kWordLen);
    m_StrSJob2.assign(in->SJob2, vqcmdword::kWordLen);
    m_StrSJob3.assign(in->SJob3, vqcmdword::kWordLen);
    int code1 = search_tbl1(in->SJob1);
    int code2 = search_tbl2(in->SJob2);
    int code3 = search_tbl3(in->SJob3);
    out->SJob1 = static_cast<SHORT>(code1);
    out->SJob2 = static_cast<SHORT>(code2);
    out->SJob3 = static_cast<SHORT>(code3);

    // From the signed codes, so an unknown word counts as -1; the text's digits are not read.
    long long id = out->SJob1 * 1000000LL + out->SJob2 * 1000LL + out->SJob3;
    out->IdCode = id < 0 ? 0 : static_cast<DWORD>(id);

    out->SData1 = static_cast<WORD>(ReadDecimal(in->SData1));
    out->SData2 = LowDigit(in->SData2[0]);
    out->SData3 = ReadDouble(in->SData3);
    out->SData4 = ReadDouble(in->SData4);
    out->SData5 = LowDigit(in->SData5[0]);
    out->SData6 = static_cast<WORD>(ReadDecimal(in->SData6));
    return (code1 < 0 || code2 < 0 || code3 < 0) ? -1 : 0;
}

void CJobPipeData::btoa_reqdata(ASCII_REQUEST* out, const DATA_REQUEST* in) {
    m_StrSJob1 = WordOfCode(1, in->SJob1);
    m_StrSJob2 = WordOfCode(2, in->SJob2);
    m_StrSJob3 = WordOfCode(3, in->SJob3);

    // Field by field, each cut to its width, instead of one sprintf of the whole header:
    // a value beyond its digits (a large SData3, say) would otherwise shift the fields after it.
    PutText(out->DstNetworkId, in->DstNetworkId);
    PutText(out->DstPcName, in->DstPcName);
    PutText(out->DstProcessName, in->DstProcessName);
    PutText(out->SrcNetworkId, in->SrcNetworkId);
    PutText(out->SrcPcName, in->SrcPcName);
    PutText(out->SrcProcessName, in->SrcProcessName);
    PutFormat(out->Kind, "%01d", in->Kind % 10);
    PutFormat(out->Excl, "%02X", in->Excl);
    PutFormat(out->Ans, "%01d", in->Ans % 10);
    PutFormat(out->IdCode, "%09u", in->IdCode % 1000000000u);
    PutFormat(out->SerialNo, "%03x", in->SerialNo & 0xFFFu);
    PutText(out->Reserved, "");
    PutText(out->SJob1, m_StrSJob1.c_str());
    PutText(out->SJob2, m_StrSJob2.c_str());
    PutText(out->SJob3, m_StrSJob3.c_str());
    PutFormat(out->SData1, "%04d", in->SData1 % 10000);
    PutFormat(out->SData2, "%01d", in->SData2 % 10);
    PutFormat(out->SData3, "%013.0f", in->SData3);
    PutFormat(out->SData4, "%013.0f", in->SData4);
    PutFormat(out->SData5, "%01d", in->SData5 % 10);
    PutFormat(out->SData6, "%04d", in->SData6 % 10000);
    std::memset(out->ExParam, 0, sizeof out->ExParam);
}
