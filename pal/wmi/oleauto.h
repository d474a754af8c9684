// Automation types the WMI subset hands out: BSTR, SAFEARRAY and VARIANT, with the helpers
// that create, read and free them. None of them needs CoInitializeEx.
//
// A BSTR points at its characters; the 32-bit byte length sits in the 4 bytes before them
// and a NUL follows them, as on Windows. A SAFEARRAY is the Windows descriptor with its
// data in one block; SafeArrayAccessData counts locks, and a locked array cannot be
// destroyed (DISP_E_ARRAYISLOCKED). VariantClear frees what the VARIANT owns (a BSTR, an
// array) and leaves it VT_EMPTY.
#pragma once

#include "pal/wmi/com.h"

typedef OLECHAR* BSTR;
typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_BOOL = 11,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_ARRAY = 0x2000,
};

#define DISP_E_BADVARTYPE (static_cast<HRESULT>(0x80020008u))
#define DISP_E_BADINDEX (static_cast<HRESULT>(0x8002000Bu))
#define DISP_E_ARRAYISLOCKED (static_cast<HRESULT>(0x8002000Du))

typedef struct tagSAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
} SAFEARRAYBOUND, *LPSAFEARRAYBOUND;

typedef struct tagSAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY, *LPSAFEARRAY;

typedef struct tagVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        ULONG ulVal;
        USHORT uiVal;
        CHAR cVal;
        VARIANT_BOOL boolVal;
        BSTR bstrVal;
        SAFEARRAY* parray;
        PVOID byref;
    };
} VARIANT, *LPVARIANT, VARIANTARG;

// psz null gives null; otherwise a copy, or null when out of memory.
BSTR SysAllocString(const OLECHAR* psz);
// len characters of psz (psz null: len characters of zeros).
BSTR SysAllocStringLen(const OLECHAR* psz, UINT len);
void SysFreeString(BSTR bstrString);
// Characters, without the NUL; 0 for null.
UINT SysStringLen(BSTR bstr);

void VariantInit(VARIANTARG* pvarg);
// E_INVALIDARG for null, DISP_E_BADVARTYPE for a type it does not know (left unchanged),
// DISP_E_ARRAYISLOCKED for a locked array (left unchanged).
HRESULT VariantClear(VARIANTARG* pvarg);

// One dimension of cElements elements of vt (VT_UI1, VT_I2, VT_I4, VT_UI2, VT_UI4, VT_I1,
// VT_BOOL), zeroed; null for another type or when out of memory.
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
// E_UNEXPECTED when the array is not locked.
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
// nDim counts from 1; DISP_E_BADINDEX outside 1..cDims.
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
UINT SafeArrayGetDim(SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
