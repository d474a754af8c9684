// BSTR, SAFEARRAY and VARIANT (see oleauto.h).
//
// A BSTR block is [8-byte header whose last 4 bytes hold the byte length][characters][NUL]:
// the header keeps the characters 8-byte aligned. A SAFEARRAY block is [vartype header]
// [descriptor][data], freed as one.
#include "pal/wmi/oleauto.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

namespace {

constexpr size_t kBstrHeader = 8;
constexpr USHORT FADF_HAVEVARTYPE = 0x80;

struct ArrayBlock {
    VARTYPE vt;
    SAFEARRAY sa;
};

ArrayBlock* BlockOf(SAFEARRAY* psa) {
    return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(psa) - offsetof(ArrayBlock, sa));
}

ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
        case VT_UI1: case VT_I1: return 1;
        case VT_I2: case VT_UI2: case VT_BOOL: return 2;
        case VT_I4: case VT_UI4: return 4;
        default: return 0;
    }
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* psz, UINT len) {
    const uint64_t bytes = static_cast<uint64_t>(len) * sizeof(OLECHAR);
    if (bytes > 0x7FFFFFF0u) return nullptr;
    auto* block = static_cast<char*>(std::malloc(kBstrHeader + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const uint32_t length = static_cast<uint32_t>(bytes);
    std::memcpy(block + kBstrHeader - sizeof length, &length, sizeof length);
    auto* chars = reinterpret_cast<OLECHAR*>(block + kBstrHeader);
    if (psz != nullptr)
        std::memcpy(chars, psz, bytes);
    else
        std::memset(chars, 0, bytes);
    chars[len] = L'\0';
    return chars;
}

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(std::wcslen(psz)));
}

void SysFreeString(BSTR bstrString) {
    if (bstrString != nullptr) std::free(reinterpret_cast<char*>(bstrString) - kBstrHeader);
}

UINT SysStringLen(BSTR bstr) {
    if (bstr == nullptr) return 0;
    uint32_t length = 0;
    std::memcpy(&length, reinterpret_cast<char*>(bstr) - sizeof length, sizeof length);
    return length / sizeof(OLECHAR);
}

void VariantInit(VARIANTARG* pvarg) {
    if (pvarg == nullptr) return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
    pvarg->byref = nullptr;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (pvarg == nullptr) return E_INVALIDARG;
    const VARTYPE vt = pvarg->vt;
    if (vt & VT_ARRAY) {
        if (ElementSize(static_cast<VARTYPE>(vt & ~VT_ARRAY)) == 0) return DISP_E_BADVARTYPE;
        if (pvarg->parray != nullptr) {
            const HRESULT hr = SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr)) return hr;
        }
    } else if (vt == VT_BSTR) {
        SysFreeString(pvarg->bstrVal);
    } else if (vt != VT_EMPTY && vt != VT_NULL && ElementSize(vt) == 0) {
        return DISP_E_BADVARTYPE;
    }
    VariantInit(pvarg);
    return S_OK;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    const ULONG size = ElementSize(vt);
    if (size == 0) return nullptr;
    const uint64_t bytes = static_cast<uint64_t>(size) * cElements;
    if (bytes > 0x7FFFFFF0u) return nullptr;
    auto* block = new (std::nothrow) ArrayBlock{};
    if (block == nullptr) return nullptr;
    void* data = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (data == nullptr) {
        delete block;
        return nullptr;
    }
    block->vt = vt;
    block->sa.cDims = 1;
    block->sa.fFeatures = FADF_HAVEVARTYPE;
    block->sa.cbElements = size;
    block->sa.cLocks = 0;
    block->sa.pvData = data;
    block->sa.rgsabound[0].cElements = cElements;
    block->sa.rgsabound[0].lLbound = lLbound;
    return &block->sa;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (psa == nullptr) return S_OK;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    std::free(psa->pvData);
    delete BlockOf(psa);
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
    ++psa->cLocks;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    if (psa == nullptr) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[nDim - 1].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = psa->rgsabound[nDim - 1];
    *plUbound = static_cast<LONG>(static_cast<int64_t>(b.lLbound) + static_cast<int64_t>(b.cElements) - 1);
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cDims; }

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
    *pvt = BlockOf(psa)->vt;
    return S_OK;
}
