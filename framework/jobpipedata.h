// CJobPipeData: the job request record. The wire form is the 4096-byte text record
// ASCII_REQUEST (a 163-byte header of fixed-width fields, then the parameter text); the
// binary mirror DATA_REQUEST holds the same fields as numbers and terminated strings.
// Every setter writes both forms; every copy re-derives the binary form from the text, so
// what a copy carries is exactly what would travel through the pipe.
#pragma once

#include <string>

#include "framework/cmdword.h"
#include "pal/types.h"

#pragma pack(push, 1)
typedef struct _ASCII_REQUEST {
    char DstNetworkId[15];
    char DstPcName[15];
    char DstProcessName[8];
    char SrcNetworkId[15];
    char SrcPcName[15];
    char SrcProcessName[8];
    char Kind[1];
    char Excl[2];
    char Ans[1];
    char IdCode[9];
    char SerialNo[3];
    char Reserved[5];
    char SJob1[10];
    char SJob2[10];
    char SJob3[10];
    char SData1[4];
    char SData2[1];
    char SData3[13];
    char SData4[13];
    char SData5[1];
    char SData6[4];
    char ExParam[3933];  // NUL-terminated; the last byte of the record is always NUL
} ASCII_REQUEST;

typedef struct _DATA_REQUEST {
    char DstNetworkId[16];
    char DstPcName[16];
    char DstProcessName[9];
    char SrcNetworkId[16];
    char SrcPcName[16];
    char SrcProcessName[9];
    BYTE Kind;
    BYTE Excl;
    WORD Ans;
    DWORD IdCode;
    DWORD SerialNo;
    SHORT SJob1;
    SHORT SJob2;
    SHORT SJob3;
    WORD SData1;
    WORD SData2;
    double SData3;
    double SData4;
    WORD SData5;
    WORD SData6;
} DATA_REQUEST;
#pragma pack(pop)

static_assert(sizeof(ASCII_REQUEST) == 4096);
static_assert(offsetof(ASCII_REQUEST, SrcNetworkId) == 38 && offsetof(ASCII_REQUEST, Kind) == 76);
static_assert(offsetof(ASCII_REQUEST, IdCode) == 80 && offsetof(ASCII_REQUEST, SerialNo) == 89);
static_assert(offsetof(ASCII_REQUEST, SJob1) == 97 && offsetof(ASCII_REQUEST, SData1) == 127);
static_assert(offsetof(ASCII_REQUEST, SData3) == 132 && offsetof(ASCII_REQUEST, SData6) == 159);
static_assert(offsetof(ASCII_REQUEST, ExParam) == 163);
static_assert(sizeof(DATA_REQUEST) == 124);
static_assert(offsetof(DATA_REQUEST, Kind) == 82 && offsetof(DATA_REQUEST, Ans) == 84);
static_assert(offsetof(DATA_REQUEST, IdCode) == 86 && offsetof(DATA_REQUEST, SJob1) == 94);
static_assert(offsetof(DATA_REQUEST, SData1) == 100 && offsetof(DATA_REQUEST, SData3) == 104);
static_assert(offsetof(DATA_REQUEST, SData5) == 120);

// Flags of DATA_REQUEST::Excl and result codes carried in an answer's SData1.
constexpr BYTE JOB_EXCL_ANSWER = 4;
constexpr BYTE JOB_EXCL_COMANSWER = 8;
constexpr WORD JOB_RESULT_SUCCESS = 0;
constexpr WORD JOB_RESULT_WARNING = 7000;
constexpr WORD JOB_RESULT_BUSY = 7003;
constexpr WORD JOB_RESULT_ERROR = 8000;

class CJobPipeData {
public:
    static constexpr int kHeaderSize = 163;
    static constexpr int kMaxExParam = 3932;

    CJobPipeData();
    explicit CJobPipeData(const ASCII_REQUEST* ascii);
    explicit CJobPipeData(const DATA_REQUEST* data);
    CJobPipeData(const CJobPipeData& other);
    CJobPipeData& operator=(const CJobPipeData& other);
    CJobPipeData& operator=(const ASCII_REQUEST* ascii);

    operator ASCII_REQUEST*() { return &m_AsciiReq; }
    operator const ASCII_REQUEST*() const { return &m_AsciiReq; }
    static int sizeofAsciiRequest() { return static_cast<int>(sizeof(ASCII_REQUEST)); }

    void Clear();
    void ClearExParam();
    void SetExParam(const char* text);
    char* GetExParam() { return m_AsciiReq.ExParam; }
    const char* GetExParam() const { return m_AsciiReq.ExParam; }

    // Names: a null argument leaves that field as it is; longer names are cut to the field.
    void SetNetworkId(const char* dstNetworkId, const char* srcNetworkId);
    void SetSDA(const char* dstNetworkId, const char* dstPcName, const char* dstProcessName,
                const char* srcNetworkId, const char* srcPcName, const char* srcProcessName);
    void SetSDA(const char* dstPcName, const char* dstProcessName, const char* srcPcName,
                const char* srcProcessName);
    void GetNetworkId(std::string* dstNetworkId, std::string* srcNetworkId) const;
    void GetDst(std::string* networkId, std::string* pcName, std::string* processName) const;
    void GetDst(std::string* pcName, std::string* processName) const;
    void GetSrc(std::string* networkId, std::string* pcName, std::string* processName) const;
    void GetSrc(std::string* pcName, std::string* processName) const;
    const char* GetDstNetworkId() const { return m_DataReq.DstNetworkId; }
    const char* GetDstPcName() const { return m_DataReq.DstPcName; }
    const char* GetDstProcessName() const { return m_DataReq.DstProcessName; }
    const char* GetSrcNetworkId() const { return m_DataReq.SrcNetworkId; }
    const char* GetSrcPcName() const { return m_DataReq.SrcPcName; }
    const char* GetSrcProcessName() const { return m_DataReq.SrcProcessName; }

    void SetKind(BYTE kind);
    void SetExcl(BYTE excl);
    void SetAns(WORD ans);
    void SetIdCode();
    void SetIdCode(LONG idCode);
    void SetSerialNo(DWORD serialNo);

    // Codes are taken as int so that a literal 0 does not clash with the word overloads.
    void SetSJob1(int code);
    void SetSJob2(int code);
    void SetSJob3(int code);
    void SetSJob1(const char* word);
    void SetSJob2(const char* word);
    void SetSJob3(const char* word);
    void SetSJob(int code1, int code2, int code3);
    void SetSJob(const char* word1, const char* word2, const char* word3);

    void SetSData1(WORD value);
    void SetSData2(WORD value);
    void SetSData3(double value);
    void SetSData4(double value);
    void SetSData5(WORD value);
    void SetSData6(WORD value);

    BYTE GetKind() const { return m_DataReq.Kind; }
    BYTE GetExcl() const { return m_DataReq.Excl; }
    WORD GetAns() const { return m_DataReq.Ans; }
    DWORD GetIdCode() const { return m_DataReq.IdCode; }
    DWORD GetSerialNo() const { return m_DataReq.SerialNo; }
    SHORT GetSJob1() const { return m_DataReq.SJob1; }
    SHORT GetSJob2() const { return m_DataReq.SJob2; }
    SHORT GetSJob3() const { return m_DataReq.SJob3; }
    WORD GetSData1() const { return m_DataReq.SData1; }
    WORD GetSData2() const { return m_DataReq.SData2; }
    double GetSData3() const { return m_DataReq.SData3; }
    double GetSData4() const { return m_DataReq.SData4; }
    WORD GetSData5() const { return m_DataReq.SData5; }
    WORD GetSData6() const { return m_DataReq.SData6; }
    const std::string& GetStrSJob1() const { return m_StrSJob1; }
    const std::string& GetStrSJob2() const { return m_StrSJob2; }
    const std::string& GetStrSJob3() const { return m_StrSJob3; }

    // The answer to this request: source and destination swapped, answer flag set, no
    // answer wanted, the result code in SData1; everything else as requested.
    CJobPipeData Req2Ans(WORD result) const;

    // The application's command-word tables, searched after the built-in ones. Register
    // them once, before any thread builds or reads records.
    static void RegisterSJobTbl(TBL_S_JOB* table1, short rows1, TBL_S_JOB* table2, short rows2,
                                TBL_S_JOB* table3, short rows3);

    static TBL_S_JOB* m_SJobTbl1;
    static TBL_S_JOB* m_SJobTbl2;
    static TBL_S_JOB* m_SJobTbl3;
    static short m_SJobRow1;
    static short m_SJobRow2;
    static short m_SJobRow3;

protected:
    short atob_reqdata(DATA_REQUEST* out, const ASCII_REQUEST* in);
    void btoa_reqdata(ASCII_REQUEST* out, const DATA_REQUEST* in);
    int search_tbl1(const char* field) const;
    int search_tbl2(const char* field) const;
    int search_tbl3(const char* field) const;

    ASCII_REQUEST m_AsciiReq;  // first: the object is its wire record
    DATA_REQUEST m_DataReq;
    std::string m_StrSJob1;
    std::string m_StrSJob2;
    std::string m_StrSJob3;

private:
    void CopyText(const ASCII_REQUEST* ascii);
    void SetSJobCode(int position, int code);
    void SetSJobWord(int position, const char* word);
    std::string& StrSJob(int position);
    static std::string WordOfCode(int position, int code);
};
