// The WMI subset the SMART monitor calls: the locator, a connection to "ROOT\WMI", two
// WQL queries over the storage driver's SMART classes, their enumeration and the two
// properties read from each object. Callers include this header (it brings com.h and
// oleauto.h) as Windows code includes its WMI header.
//
//   namespace   "ROOT\WMI" (any case, optionally after "\\.\"); another: WBEM_E_INVALID_NAMESPACE
//   queries     "SELECT * FROM MSStorageDriver_ATAPISmartData"          (the SMART data)
//               "SELECT * FROM MSStorageDriver_FailurePredictThresholds" (the thresholds)
//               another class: WBEM_E_INVALID_CLASS; not of that form: WBEM_E_INVALID_QUERY;
//               a language other than "WQL": WBEM_E_INVALID_QUERY_TYPE
//   properties  "InstanceName" (VT_BSTR), "VendorSpecific" (VT_ARRAY | VT_UI1, the drive's
//               512-byte block unless the configuration cuts it), "Active" (VT_BOOL), all
//               of flavour 0 (the object's own class); "__CLASS" (VT_BSTR, flavour
//               WBEM_FLAVOR_ORIGIN_SYSTEM); another name: WBEM_E_NOT_FOUND
//
// The drives come from $VQ_ROOT/devices/smart.conf, read again at every ConnectServer and
// ExecQuery (pal/wmi/smart_source.h; docs/wmi.md). ExecQuery with flags 0 waits until the
// whole result is there; with WBEM_FLAG_RETURN_IMMEDIATELY it returns at once and Next
// waits for each object up to its time-out (WBEM_S_TIMEDOUT). Releasing the enumeration
// stops the drives' reading at the next drive.
//
// ConnectServer and ExecQuery need COM on the calling thread (CO_E_NOTINITIALIZED), and
// ExecQuery needs a connection whose impersonation level is at least
// RPC_C_IMP_LEVEL_IMPERSONATE (set by CoSetProxyBlanket; a new connection has the level of
// CoInitializeSecurity, RPC_C_IMP_LEVEL_IDENTIFY by default): WBEM_E_ACCESS_DENIED.
#pragma once

#include "pal/wmi/com.h"
#include "pal/wmi/oleauto.h"

typedef LONG CIMTYPE;
#define CIM_SINT32 3
#define CIM_STRING 8
#define CIM_BOOLEAN 11
#define CIM_UINT8 17
#define CIM_FLAG_ARRAY 0x2000

#define WBEM_S_NO_ERROR (static_cast<HRESULT>(0))
#define WBEM_S_FALSE (static_cast<HRESULT>(1))
#define WBEM_S_TIMEDOUT (static_cast<HRESULT>(0x40004))
#define WBEM_E_FAILED (static_cast<HRESULT>(0x80041001u))
#define WBEM_E_NOT_FOUND (static_cast<HRESULT>(0x80041002u))
#define WBEM_E_ACCESS_DENIED (static_cast<HRESULT>(0x80041003u))
#define WBEM_E_INVALID_PARAMETER (static_cast<HRESULT>(0x80041008u))
#define WBEM_E_NOT_SUPPORTED (static_cast<HRESULT>(0x8004100Cu))
#define WBEM_E_INVALID_NAMESPACE (static_cast<HRESULT>(0x8004100Eu))
#define WBEM_E_INVALID_CLASS (static_cast<HRESULT>(0x80041010u))
#define WBEM_E_INVALID_QUERY (static_cast<HRESULT>(0x80041017u))
#define WBEM_E_INVALID_QUERY_TYPE (static_cast<HRESULT>(0x80041018u))
#define WBEM_E_LOCAL_CREDENTIALS (static_cast<HRESULT>(0x80041064u))

#define WBEM_INFINITE (static_cast<LONG>(0xFFFFFFFFu))
#define WBEM_NO_WAIT 0
#define WBEM_FLAG_RETURN_IMMEDIATELY 0x10
#define WBEM_FLAG_FORWARD_ONLY 0x20
#define WBEM_FLAVOR_ORIGIN_LOCAL 0x0
#define WBEM_FLAVOR_ORIGIN_PROPAGATED 0x20
#define WBEM_FLAVOR_ORIGIN_SYSTEM 0x40

extern const CLSID CLSID_WbemLocator;
extern const IID IID_IWbemLocator;
extern const IID IID_IWbemServices;
extern const IID IID_IEnumWbemClassObject;
extern const IID IID_IWbemClassObject;

struct IWbemContext;

struct IWbemClassObject : public IUnknown {
    // lFlags must be 0. pVal (a VARIANT the caller then clears), pType and plFlavor may
    // each be null.
    virtual HRESULT Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) = 0;
};

struct IEnumWbemClassObject : public IUnknown {
    // Up to uCount objects (each to be released by the caller). WBEM_S_NO_ERROR: all
    // uCount; WBEM_S_FALSE: fewer, the result ended; WBEM_S_TIMEDOUT: fewer, lTimeout
    // (milliseconds, or WBEM_INFINITE) passed first; a failure of the reading once every
    // object before it was taken. lTimeout below -1, or null arrays: WBEM_E_INVALID_PARAMETER.
    virtual HRESULT Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects, ULONG* puReturned) = 0;
};

struct IWbemServices : public IUnknown {
    // lFlags: 0, WBEM_FLAG_RETURN_IMMEDIATELY, WBEM_FLAG_FORWARD_ONLY; other bits:
    // WBEM_E_INVALID_PARAMETER.
    virtual HRESULT ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags, IWbemContext* pCtx,
                              IEnumWbemClassObject** ppEnum) = 0;
};

struct IWbemLocator : public IUnknown {
    // A local connection: a user, password or authority gives WBEM_E_LOCAL_CREDENTIALS.
    // The configuration's fail_connect makes it fail with WBEM_E_FAILED.
    virtual HRESULT ConnectServer(const BSTR strNetworkResource, const BSTR strUser, const BSTR strPassword,
                                  const BSTR strLocale, LONG lSecurityFlags, const BSTR strAuthority,
                                  IWbemContext* pCtx, IWbemServices** ppNamespace) = 0;
};

namespace pal::wmi {

// COM objects of this family alive in the process (for leak checks in tests).
long LiveObjects();

}  // namespace pal::wmi
