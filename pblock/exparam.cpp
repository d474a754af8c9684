// CExParam core: construction, framing and the generic writers. The standard keys are
// in exparam_keys.cpp.
#include "pblock/exparam.h"

#include "pblock/token.h"

namespace {

std::string DirectoryPath(const char* pszPath) {
    std::string path = pszPath ? pszPath : "";
    if (pszPath != nullptr && (path.empty() || path.back() != '\\')) path += '\\';
    return path;
}

}  // namespace

CExParam::CExParam(const char* pszOutputPath, const char* pszInputPath, const char* pszThirdPath)
    : m_lCommandNo(-1),
      m_lFileSeq(-1),
      m_strInputPath(DirectoryPath(pszInputPath)),
      m_strOutputPath(DirectoryPath(pszOutputPath)),
      m_strThirdPath(DirectoryPath(pszThirdPath)),
      m_nOFileCursor(0),
      m_nWButtonCursor(0) {}

CExParam::CExParam(const CExParam& other)
    : CExparamStringArray(other),
      m_lCommandNo(other.m_lCommandNo),
      m_lFileSeq(other.m_lFileSeq),
      m_strInputPath(other.m_strInputPath),
      m_strOutputPath(other.m_strOutputPath),
      m_strThirdPath(other.m_strThirdPath),
      m_nOFileCursor(0),
      m_nWButtonCursor(0) {}

CExParam& CExParam::operator=(const CExParam& other) {
    if (this != &other) {
        CExparamStringArray::operator=(other);
        m_lCommandNo = other.m_lCommandNo;
        m_lFileSeq = other.m_lFileSeq;
        m_strInputPath = other.m_strInputPath;
        m_strOutputPath = other.m_strOutputPath;
        m_strThirdPath = other.m_strThirdPath;
    }
    return *this;
}

CExParam& CExParam::operator=(const char* pszText) {
    CExparamStringArray::operator=(pszText);
    return *this;
}

int CExParam::GetToken(std::string& strOut, const char* pszText, const char* pszDelimiters) {
    return pblock::GetToken(strOut, pszText, pszDelimiters, true);
}

int CExParam::GetToken2(std::string& strOut, const char* pszText, const char* pszDelimiters) {
    return pblock::GetToken(strOut, pszText, pszDelimiters, false);
}

int CExParam::Analyze(const char* pszText) {
    Put(pszText);
    return 0;
}

void CExParam::Put(const char* pszText) { *this += pszText; }

void CExParam::Put(const char* pszKey, const char* pszValue) {
    if (pszKey == nullptr) return;
    Put((pblock::Format("%s=%s", pszKey, pszValue ? pszValue : "") + "\n").c_str());
}

void CExParam::Put(const char* pszKey, LONG lValue) {
    if (pszKey == nullptr) return;
    Put((pblock::Format("%s=%ld", pszKey, static_cast<long>(lValue)) + "\n").c_str());
}

void CExParam::Put(const char* pszKey, long lValue) { Put(pszKey, static_cast<LONG>(lValue)); }

void CExParam::Put(const char* pszKey, double dValue) {
    if (pszKey == nullptr) return;
    Put((pblock::Format("%s=%13.0f", pszKey, dValue) + "\n").c_str());
}

void CExParam::Put(const char* pszKey, const std::vector<BYTE>& aryValue) {
    if (pszKey == nullptr) return;
    Put((std::string(pszKey) + "=" + pblock::ToHex(aryValue.data(), aryValue.size()) + "\n").c_str());
}

void CExParam::Put(const char* pszKey, const CBinBuff& binValue) {
    if (pszKey == nullptr) return;
    Put((std::string(pszKey) + "=" + static_cast<std::string>(binValue) + "\n").c_str());
}

void CExParam::Begin() {
    RemoveAll();
    Put("#BEGIN\n");
}

void CExParam::Begin(short sCommandNo) {
    m_lCommandNo = sCommandNo;
    RemoveAll();
    Put("#BEGIN\n");
    Put(pblock::Format("#COMMAND_NO=%04d\n", sCommandNo).c_str());
}

void CExParam::Begin(short sCommandNo, LONG lFileSeq) {
    Begin(sCommandNo);
    m_lFileSeq = lFileSeq;
}

void CExParam::Begin(short sCommandNo, LONG lFileSeq, short sId) {
    Begin(sCommandNo, lFileSeq);
    Put(pblock::Format("#FP_ID=%02d\n", sId).c_str());
}

void CExParam::End() { Put("#END\n"); }
