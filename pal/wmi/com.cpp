#include "pal/wmi/com.h"

#include <atomic>

#include "pal/wmi/wbem.h"
#include "pal/wmi/wbem_objects.h"

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace pal::wmi {

namespace {

constexpr DWORD kModelMask = COINIT_APARTMENTTHREADED;
constexpr DWORD kKnownFlags = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;

struct ThreadCom {
    DWORD count = 0;
    DWORD model = 0;
};

thread_local ThreadCom t_com;

std::atomic<bool> g_securitySet{false};
std::atomic<DWORD> g_impersonation{RPC_C_IMP_LEVEL_IDENTIFY};

}  // namespace

bool ComInitializedOnThread() { return t_com.count > 0; }

DWORD ProcessImpersonationLevel() { return g_impersonation.load(); }

}  // namespace pal::wmi

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    using namespace pal::wmi;
    if (pvReserved || (dwCoInit & ~kKnownFlags) != 0) return E_INVALIDARG;
    const DWORD model = dwCoInit & kModelMask;
    if (t_com.count == 0) {
        t_com.count = 1;
        t_com.model = model;
        return S_OK;
    }
    if (model != t_com.model) return RPC_E_CHANGED_MODE;
    ++t_com.count;
    return S_FALSE;
}

void CoUninitialize() {
    if (pal::wmi::t_com.count > 0) --pal::wmi::t_com.count;
}

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR, LONG cAuthSvc, SOLE_AUTHENTICATION_SERVICE* asAuthSvc, void*,
                             DWORD dwAuthnLevel, DWORD dwImpLevel, void*, DWORD, void*) {
    using namespace pal::wmi;
    if (!ComInitializedOnThread()) return CO_E_NOTINITIALIZED;
    if (cAuthSvc < -1 || (cAuthSvc > 0 && asAuthSvc == nullptr) || dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY ||
        dwImpLevel > RPC_C_IMP_LEVEL_DELEGATE)
        return E_INVALIDARG;
    bool expected = false;
    if (!g_securitySet.compare_exchange_strong(expected, true)) return RPC_E_TOO_LATE;
    g_impersonation = dwImpLevel == RPC_C_IMP_LEVEL_DEFAULT ? RPC_C_IMP_LEVEL_IDENTIFY : dwImpLevel;
    return S_OK;
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!pal::wmi::ComInitializedOnThread()) return CO_E_NOTINITIALIZED;
    if (rclsid != CLSID_WbemLocator || (dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    IUnknown* locator = pal::wmi::NewLocator();
    const HRESULT hr = locator->QueryInterface(riid, ppv);
    locator->Release();
    return hr;
}

HRESULT CoSetProxyBlanket(IUnknown* pProxy, DWORD, DWORD, OLECHAR*, DWORD dwAuthnLevel, DWORD dwImpLevel,
                          RPC_AUTH_IDENTITY_HANDLE, DWORD) {
    if (!pal::wmi::ComInitializedOnThread()) return CO_E_NOTINITIALIZED;
    if (pProxy == nullptr) return E_INVALIDARG;
    if (dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || dwImpLevel > RPC_C_IMP_LEVEL_DELEGATE) return E_INVALIDARG;
    return pal::wmi::SetServicesBlanket(pProxy, dwImpLevel);
}
