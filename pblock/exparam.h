// CExParam: a parameter block ("#BEGIN", LF-separated "#KEY=value" lines, "#END") with
// writers and readers for the framework's standard keys, and the directory paths used
// to name input and output files. All writes go through merging insertion, so a later
// Put of an existing key replaces its line in place.
#pragma once

#include <string>
#include <vector>

#include "pal/types.h"
#include "pblock/binbuff.h"
#include "pblock/exparamarray.h"

class CExParam : public CExparamStringArray {
public:
    CExParam(const char* pszOutputPath = nullptr, const char* pszInputPath = nullptr,
             const char* pszThirdPath = nullptr);
    CExParam(const CExParam& other);
    CExParam& operator=(const CExParam& other);
    CExParam& operator=(const char* pszText);
    ~CExParam() override = default;

    // Tokenizers: the text up to the first delimiter; both return the characters consumed,
    // one delimiter included. GetToken trims its output, GetToken2 does not.
    static int GetToken(std::string& strOut, const char* pszText, const char* pszDelimiters);
    static int GetToken2(std::string& strOut, const char* pszText, const char* pszDelimiters);

    void Clear() { RemoveAll(); }
    int Analyze(const char* pszText);

    int Get(const char* pszKey, std::string& strOut) const { return Search(pszKey, strOut); }
    int Get(const char* pszKey, LONG& lOut) const { return Search(pszKey, lOut); }
    int Get(const char* pszKey, long& lOut) const { return Search(pszKey, lOut); }
    int Get(const char* pszKey, double& dOut) const { return Search(pszKey, dOut); }
    int Get(const char* pszKey, std::vector<BYTE>& aryOut) const { return Search(pszKey, aryOut); }
    int Get(const char* pszKey, CBinBuff& binOut) const { return Search(pszKey, binOut); }

    void Put(const char* pszText);
    void Put(const char* pszKey, const char* pszValue);
    void Put(const char* pszKey, LONG lValue);
    void Put(const char* pszKey, long lValue);  // a native long, kept distinct from LONG
    void Put(const char* pszKey, double dValue);
    void Put(const char* pszKey, const std::vector<BYTE>& aryValue);
    void Put(const char* pszKey, const CBinBuff& binValue);

    void Begin();
    void Begin(short sCommandNo);
    void Begin(short sCommandNo, LONG lFileSeq);
    void Begin(short sCommandNo, LONG lFileSeq, short sId);
    void End();

    // Writers of the standard keys. String writers write nothing for a null text.
    void PutAccount(const char* pszAccount);
    void PutBeep(LONG lBeep);
    void PutButtonAnswer(LONG lAnswer);
    void PutCode(const LONG* plCode, const LONG* plStartCode, const LONG* plEndCode);
    void PutColor(DWORD dwColor);
    void PutIconFile(const char* pszName);
    void PutInputFile();
    void PutLine(const char* pszLine);
    void PutMessage(const char* pszMessage, LONG lNumber = 0);
    void PutModeless(LONG lModeless);
    void PutOption(short sNo, LONG lValue);
    void PutOutputFile();
    void PutOutputFile(LONG lFileSeq, short sCount);
    void PutOutputFile(const LONG* plFileSeqs, const short* psCounts);  // sequences end with -1
    void PutPanel(const char* pszPanel);
    void PutPassword(const char* pszPassword);
    void PutPath(const char* pszPath);
    void PutPosition(LONG lPosition);
    void PutPushedButton(LONG lButton);
    void PutServiceName(const char* pszName);
    void PutProcessName(const char* pszName);
    void PutTmId(const short* psIds);  // ids end with -1
    void PutTitle(const char* pszTitle);
    void PutWindowButton(DWORD dwStyle);
    void PutWindowButton(DWORD dwStyle, const char* pszLabel1, const char* pszLabel2 = nullptr,
                         const char* pszLabel3 = nullptr);
    void PutWindowStyle(DWORD dwStyle);
    void PutWindowStyle(DWORD dwStyle, const char* pszLabel1, const char* pszLabel2 = nullptr,
                        const char* pszLabel3 = nullptr);
    void PutWIndowType(LONG lType);

    // Readers. Numbers: -1 when absent or empty. Strings: 0, or -1 with an empty output.
    LONG GetCommandNo() const;
    int GetAccount(std::string& strOut) const;
    LONG GetBeep() const;
    LONG GetButtonAnswer() const;
    LONG GetColor() const;          // -2 for an unknown name
    LONG GetDefaultButton() const;  // -2 for 0 or less
    int GetIconFile(std::string& strOut) const;
    int GetLine(std::string& strOut) const;
    LONG GetMessageA(std::string& strOut) const;  // the number after the comma, or 0
    LONG GetModeless() const;
    int GetOutputpath(std::string& strOut) const;
    int GetPanel(std::string& strOut) const;
    int GetPassword(std::string& strOut) const;
    int GetPath(std::string& strOut) const;
    LONG GetPosition() const;
    LONG GetPushedButton() const;
    int GetServiceName(std::string& strOut) const;
    int GetProcessName(std::string& strOut) const;
    int GetTitle(std::string& strOut) const;
    LONG GetWindowType() const;

    // Output files: 1 with the next full name, 0 when the list is done, -1 when absent.
    int GetOFileFullNameFirst(std::string& strOut, short* psCount = nullptr);
    int GetOFileFullNameNext(std::string& strOut, short* psCount = nullptr);

    // -1 absent or empty, -11 a label list, -2 an unknown name, else the button-set number.
    LONG GetWindowButton() const;
    // Labels: 1 with the next label, 0 when done, -1 absent, -11 not a label list.
    int GetWindowButtonFirst(std::string& strOut);
    int GetWindowButtonNext(std::string& strOut);

    LONG GetCommandNoValue() const { return m_lCommandNo; }
    LONG GetFileSeq() const { return m_lFileSeq; }
    const std::string& GetInputPath() const { return m_strInputPath; }
    const std::string& GetOutputPath() const { return m_strOutputPath; }
    const std::string& GetThirdPath() const { return m_strThirdPath; }

private:
    LONG GetNumber(const char* pszKey) const;
    int GetQuoted(const char* pszKey, std::string& strOut, std::string* pstrRest) const;
    int GetWithBackslash(const char* pszKey, std::string& strOut) const;
    void PutQuoted(const char* pszKey, const char* pszText);
    void PutButtons(DWORD dwStyle, const std::string& strButtons);

    LONG m_lCommandNo;
    LONG m_lFileSeq;
    std::string m_strInputPath;
    std::string m_strOutputPath;
    std::string m_strThirdPath;
    int m_nOFileCursor;
    int m_nWButtonCursor;
};
