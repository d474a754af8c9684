// COM: start-up (CoInitializeEx, CoUninitialize), process security, object creation and
// proxy blankets, for the in-process WMI subset of pal/wmi/wbem.h.
//
// The suite's COM use is in-process and needs no apartments, so this only keeps the
// bookkeeping a caller can observe: each thread counts its initialisations and remembers
// the concurrency model of the first one. The first call on a thread gives S_OK, a
// further one with the same model S_FALSE (and must be balanced too), one with the other
// model RPC_E_CHANGED_MODE (not counted, not to be balanced). CoUninitialize undoes one
// counted call; on a thread with no count it does nothing.
//
// CoInitializeSecurity, CoCreateInstance and CoSetProxyBlanket (and the WMI calls that
// would cross to the service) fail with CO_E_NOTINITIALIZED on a thread without a count.
// Process security is set once: a second CoInitializeSecurity gives RPC_E_TOO_LATE.
#pragma once

#include "pal/types.h"

#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u
#define COINIT_DISABLE_OLE1DDE 0x4u
#define COINIT_SPEED_OVER_MEMORY 0x8u

#define S_OK (static_cast<HRESULT>(0))
#define S_FALSE (static_cast<HRESULT>(1))
#define E_UNEXPECTED (static_cast<HRESULT>(0x8000FFFFu))
#define E_NOINTERFACE (static_cast<HRESULT>(0x80004002u))
#define E_POINTER (static_cast<HRESULT>(0x80004003u))
#define E_FAIL (static_cast<HRESULT>(0x80004005u))
#define E_OUTOFMEMORY (static_cast<HRESULT>(0x8007000Eu))
#define E_INVALIDARG (static_cast<HRESULT>(0x80070057u))
#define RPC_E_CHANGED_MODE (static_cast<HRESULT>(0x80010106u))
#define RPC_E_TOO_LATE (static_cast<HRESULT>(0x80010119u))
#define CO_E_NOTINITIALIZED (static_cast<HRESULT>(0x800401F0u))
#define REGDB_E_CLASSNOTREG (static_cast<HRESULT>(0x80040154u))
#define CLASS_E_NOAGGREGATION (static_cast<HRESULT>(0x80040110u))

// OLECHAR is wchar_t, so L"..." literals are OLECHAR strings here as on Windows (4 bytes a
// character on Linux, not 2).
typedef wchar_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;

typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

extern const IID IID_IUnknown;

// The root interface: reference counts are thread-safe; the object is freed by the
// Release that brings its count to 0 (the result is the new count).
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    virtual ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

// Class contexts.
#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_REMOTE_SERVER 0x10u
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// Authentication levels, impersonation levels, services and capabilities.
#define RPC_C_AUTHN_LEVEL_DEFAULT 0u
#define RPC_C_AUTHN_LEVEL_NONE 1u
#define RPC_C_AUTHN_LEVEL_CONNECT 2u
#define RPC_C_AUTHN_LEVEL_CALL 3u
#define RPC_C_AUTHN_LEVEL_PKT 4u
#define RPC_C_AUTHN_LEVEL_PKT_INTEGRITY 5u
#define RPC_C_AUTHN_LEVEL_PKT_PRIVACY 6u
#define RPC_C_IMP_LEVEL_DEFAULT 0u
#define RPC_C_IMP_LEVEL_ANONYMOUS 1u
#define RPC_C_IMP_LEVEL_IDENTIFY 2u
#define RPC_C_IMP_LEVEL_IMPERSONATE 3u
#define RPC_C_IMP_LEVEL_DELEGATE 4u
#define RPC_C_AUTHN_NONE 0u
#define RPC_C_AUTHN_WINNT 10u
#define RPC_C_AUTHN_DEFAULT 0xFFFFFFFFu
#define RPC_C_AUTHZ_NONE 0u
#define RPC_C_AUTHZ_DEFAULT 0xFFFFFFFFu
#define EOAC_NONE 0x0u

typedef void* RPC_AUTH_IDENTITY_HANDLE;
typedef void* PSECURITY_DESCRIPTOR;
typedef struct tagSOLE_AUTHENTICATION_SERVICE SOLE_AUTHENTICATION_SERVICE;

// pvReserved must be null and dwCoInit hold only COINIT_* bits, else E_INVALIDARG.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();

// Process-wide: only the authentication level and the impersonation level are kept (the
// impersonation level becomes the default blanket of new WMI connections). cAuthSvc must
// be -1 or 0 with asAuthSvc null; levels out of range: E_INVALIDARG.
HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc, SOLE_AUTHENTICATION_SERVICE* asAuthSvc,
                             void* pReserved1, DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList,
                             DWORD dwCapabilities, void* pReserved3);

// Only CLSID_WbemLocator (pal/wmi/wbem.h) is registered, in-process; an outer unknown
// gives CLASS_E_NOAGGREGATION, a context without CLSCTX_INPROC_SERVER or another class
// REGDB_E_CLASSNOTREG, an interface it lacks E_NOINTERFACE (*ppv null on every failure).
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);

// Sets the blanket of a WMI connection (IWbemServices); any other object: E_NOINTERFACE.
HRESULT CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR* pServerPrincName,
                          DWORD dwAuthnLevel, DWORD dwImpLevel, RPC_AUTH_IDENTITY_HANDLE pAuthInfo,
                          DWORD dwCapabilities);

namespace pal::wmi {

// True while the calling thread has a counted CoInitializeEx (what COM calls need).
bool ComInitializedOnThread();

// The impersonation level CoInitializeSecurity set (RPC_C_IMP_LEVEL_IDENTIFY until then).
DWORD ProcessImpersonationLevel();

}  // namespace pal::wmi
