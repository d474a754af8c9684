// The WMI subset over the simulated provider: reference counts, the HRESULTs of each
// refusal and fault, the enumeration's time-out, the two properties and the automation
// helpers the callers use on them.
#include <gtest/gtest.h>

#include <thread>

#include "pal/wmi/smart_source.h"
#include "pal/wmi/tests/wmi_test_util.h"
#include "pal/wmi/wbem.h"

using namespace wmitest;

namespace {

constexpr const wchar_t* kData = L"MSStorageDriver_ATAPISmartData";
constexpr const wchar_t* kThresholds = L"MSStorageDriver_FailurePredictThresholds";

class WbemTest : public ::testing::Test {
protected:
    void SetUp() override { before_ = pal::wmi::LiveObjects(); }
    void TearDown() override {
        WriteSmartConf("");
        EXPECT_EQ(pal::wmi::LiveObjects(), before_) << "a COM object was not released";
    }
    long before_ = 0;
};

HRESULT Exec(IWbemServices* svc, const wchar_t* lang, const wchar_t* text, LONG flags, IEnumWbemClassObject** e) {
    BSTR l = SysAllocString(lang), q = SysAllocString(text);
    HRESULT hr = svc->ExecQuery(l, q, flags, nullptr, e);
    SysFreeString(l);
    SysFreeString(q);
    return hr;
}

TEST_F(WbemTest, ComCallsNeedCoInitializeAndObjectsAreReferenceCounted) {
    IWbemLocator* loc = reinterpret_cast<IWbemLocator*>(0x1);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<LPVOID*>(&loc)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(loc, nullptr);
    EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IDENTIFY,
                                   nullptr, EOAC_NONE, nullptr),
              CO_E_NOTINITIALIZED);

    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    // Process security is set once; whoever came first in this process, a second call is late.
    HRESULT first = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT,
                                         RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    EXPECT_TRUE(first == S_OK || first == RPC_E_TOO_LATE);
    EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IDENTIFY,
                                   nullptr, EOAC_NONE, nullptr),
              RPC_E_TOO_LATE);

    // Only the locator, only in-process, no aggregation, only its interfaces.
    EXPECT_EQ(CoCreateInstance(IID_IWbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<LPVOID*>(&loc)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_LOCAL_SERVER, IID_IWbemLocator,
                               reinterpret_cast<LPVOID*>(&loc)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemServices,
                               reinterpret_cast<LPVOID*>(&loc)),
              E_NOINTERFACE);
    EXPECT_EQ(pal::wmi::LiveObjects(), before_);

    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<LPVOID*>(&loc)),
              S_OK);
    EXPECT_EQ(loc->AddRef(), 2u);
    IUnknown* unk = nullptr;
    ASSERT_EQ(loc->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    EXPECT_EQ(unk->Release(), 2u);
    EXPECT_EQ(loc->Release(), 1u);

    // The connection outlives the locator it came from.
    IWbemServices* svc = nullptr;
    BSTR ns = SysAllocString(L"\\\\.\\root\\wmi");
    ASSERT_EQ(loc->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &svc), WBEM_S_NO_ERROR);
    SysFreeString(ns);
    EXPECT_EQ(loc->Release(), 0u);
    EXPECT_EQ(CoSetProxyBlanket(svc, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              S_OK);
    EXPECT_EQ(svc->Release(), 0u);

    // Another thread has no COM of its own.
    std::thread([] {
        IWbemLocator* l = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                   reinterpret_cast<LPVOID*>(&l)),
                  CO_E_NOTINITIALIZED);
    }).join();
    CoUninitialize();
}

TEST_F(WbemTest, ConnectAndQueryRefusals) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                         EOAC_NONE, nullptr);
    IWbemLocator* loc = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<LPVOID*>(&loc)),
              S_OK);
    auto connect = [&](const wchar_t* name, const wchar_t* user = nullptr) {
        IWbemServices* svc = nullptr;
        BSTR ns = SysAllocString(name), u = SysAllocString(user);
        HRESULT hr = loc->ConnectServer(ns, u, nullptr, nullptr, 0, nullptr, nullptr, &svc);
        SysFreeString(ns);
        SysFreeString(u);
        if (svc) svc->Release();
        return hr;
    };
    EXPECT_EQ(connect(L"ROOT\\CIMV2"), WBEM_E_INVALID_NAMESPACE);
    EXPECT_EQ(connect(L"ROOT\\WMI", L"someone"), WBEM_E_LOCAL_CREDENTIALS);
    WriteSmartConf("fail_connect = 1\n");
    EXPECT_EQ(connect(L"ROOT\\WMI"), WBEM_E_FAILED);
    WriteSmartConf("drives = 1\n");
    EXPECT_EQ(connect(L"ROOT\\WMI"), WBEM_S_NO_ERROR);

    IWbemServices* svc = nullptr;
    BSTR ns = SysAllocString(L"ROOT\\WMI");
    ASSERT_EQ(loc->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &svc), WBEM_S_NO_ERROR);
    SysFreeString(ns);
    loc->Release();
    IEnumWbemClassObject* e = nullptr;
    EXPECT_EQ(Exec(svc, L"WQL", kData, 0, &e), WBEM_E_INVALID_QUERY);
    // Before the blanket the connection only identifies: the provider refuses.
    std::wstring data = std::wstring(L"SELECT * FROM ") + kData;
    EXPECT_EQ(Exec(svc, L"WQL", data.c_str(), 0, &e), WBEM_E_ACCESS_DENIED);
    IUnknown* notAProxy = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<LPVOID*>(&notAProxy)),
              S_OK);
    EXPECT_EQ(CoSetProxyBlanket(notAProxy, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              E_NOINTERFACE);
    notAProxy->Release();
    ASSERT_EQ(CoSetProxyBlanket(svc, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              S_OK);

    EXPECT_EQ(Exec(svc, L"SQL", data.c_str(), 0, &e), WBEM_E_INVALID_QUERY_TYPE);
    EXPECT_EQ(Exec(svc, L"WQL", L"SELECT * FROM Win32_DiskDrive", 0, &e), WBEM_E_INVALID_CLASS);
    EXPECT_EQ(Exec(svc, L"WQL", L"SELECT Name FROM MSStorageDriver_ATAPISmartData", 0, &e), WBEM_E_INVALID_QUERY);
    EXPECT_EQ(Exec(svc, L"WQL", data.c_str(), 0x4000, &e), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(e, nullptr);

    WriteSmartConf("fail_query = 1\n");
    EXPECT_EQ(Exec(svc, L"WQL", data.c_str(), 0, &e), WBEM_E_FAILED);
    WriteSmartConf("drives = 1\ndrive2.attr.5 = 0 100 100 0\n");  // a drive beyond drives: malformed
    EXPECT_EQ(Exec(svc, L"WQL", data.c_str(), 0, &e), WBEM_E_FAILED);
    WriteSmartConf("");  // no provider on this machine
    EXPECT_EQ(Exec(svc, L"WQL", data.c_str(), 0, &e), WBEM_E_NOT_SUPPORTED);
    WriteSmartConf("drives = 0\n");
    ASSERT_EQ(Exec(svc, L"wql", L"select  *  from  msstoragedriver_atapismartdata", 0, &e), WBEM_S_NO_ERROR);
    IWbemClassObject* o = nullptr;
    ULONG n = 7;
    EXPECT_EQ(e->Next(-2, 1, &o, &n), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(e->Next(0, 1, &o, &n), WBEM_S_FALSE);
    EXPECT_EQ(n, 0u);
    e->Release();
    std::thread([&] { EXPECT_EQ(Exec(svc, L"WQL", data.c_str(), 0, &e), CO_E_NOTINITIALIZED); }).join();
    svc->Release();
    CoUninitialize();
}

TEST_F(WbemTest, SimulatedDrivesGiveTheirBlocksInTheOrderWritten) {
    WriteSmartConf(
        "provider = simulated\n"
        "drives = 2\n"
        "drive1.attr.9 = 50 99 98 281474976710655   # raw: 48 bits\n"
        "drive1.attr.1 = 11 100 100 0\n"
        "drive1.thresh.1 = 6\n"
        "drive1.thresh.200 = 51\n"
        "drive2.instance = IDE\\DiskX\\4_0\n"
        "drive2.attr.5 = 51 100 100 3\n"
        "drive2.thresholds = none\n");
    Connection c;
    ASSERT_EQ(c.hr, S_OK);
    std::vector<Drive> d;
    ASSERT_EQ(Query(c.svc, kData, d), S_OK);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].instance, "SIM\\Disk1_0");
    EXPECT_EQ(d[1].instance, "IDE\\DiskX\\4_0");
    ASSERT_EQ(d[0].vendor.size(), 512u);
    EXPECT_EQ(d[0].vendor[0], 0x10);
    const std::vector<unsigned char> first(d[0].vendor.begin() + 2, d[0].vendor.begin() + 26);
    EXPECT_EQ(first, (std::vector<unsigned char>{9, 50, 0, 99, 98, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,
                                                 1, 11, 0, 100, 100, 0, 0, 0, 0, 0, 0, 0}));
    unsigned sum = 0;
    for (unsigned char b : d[0].vendor) sum += b;
    EXPECT_EQ(sum % 256, 0u) << "checksum";

    ASSERT_EQ(Query(c.svc, kThresholds, d), S_OK);
    ASSERT_EQ(d.size(), 1u) << "drive 2 has no threshold object";
    EXPECT_EQ(d[0].instance, "SIM\\Disk1_0");
    // The attributes' ids in table order, then the extra one.
    EXPECT_EQ(std::vector<unsigned char>(d[0].vendor.begin() + 2, d[0].vendor.begin() + 4),
              (std::vector<unsigned char>{9, 0}));
    EXPECT_EQ(std::vector<unsigned char>(d[0].vendor.begin() + 14, d[0].vendor.begin() + 16),
              (std::vector<unsigned char>{1, 6}));
    EXPECT_EQ(std::vector<unsigned char>(d[0].vendor.begin() + 26, d[0].vendor.begin() + 28),
              (std::vector<unsigned char>{200, 51}));
}

TEST_F(WbemTest, ByteExactFilesVendorLengthAndProperties) {
    std::vector<unsigned char> block(512);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7);
    WriteDevicesFile("d1.bin", block);
    WriteDevicesFile("short.bin", std::vector<unsigned char>(300, 1));
    WriteSmartConf("drives = 2\ndrive1.data = d1.bin\ndrive1.thresholds = d1.bin\ndrive2.vendor_len = 100\n");
    Connection c;
    ASSERT_EQ(c.hr, S_OK);
    std::vector<Drive> d;
    ASSERT_EQ(Query(c.svc, kData, d, WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY), S_OK);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].vendor, block);
    EXPECT_EQ(d[1].vendor.size(), 100u);
    ASSERT_EQ(Query(c.svc, kThresholds, d), S_OK);
    EXPECT_EQ(d[0].vendor, block);

    // A block file of another size makes the configuration invalid.
    WriteSmartConf("drives = 1\ndrive1.data = short.bin\n");
    EXPECT_EQ(Query(c.svc, kData, d), WBEM_E_FAILED);

    WriteSmartConf("drives = 1\n");
    BSTR lang = SysAllocString(L"WQL");
    BSTR q = SysAllocString(L"SELECT * FROM MSStorageDriver_ATAPISmartData");
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(c.svc->ExecQuery(lang, q, 0, nullptr, &e), S_OK);
    SysFreeString(lang);
    SysFreeString(q);
    IWbemClassObject* o = nullptr;
    ULONG n = 0;
    ASSERT_EQ(e->Next(WBEM_INFINITE, 1, &o, &n), WBEM_S_NO_ERROR);
    ASSERT_EQ(n, 1u);
    VARIANT v;
    VariantInit(&v);
    CIMTYPE type = 0;
    LONG flavor = -1;
    ASSERT_EQ(o->Get(L"VendorSpecific", 0, &v, &type, &flavor), WBEM_S_NO_ERROR);
    EXPECT_EQ(v.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(type, CIM_UINT8 | CIM_FLAG_ARRAY);
    EXPECT_EQ(flavor, WBEM_FLAVOR_ORIGIN_LOCAL);
    LONG lo = -1, hi = -1;
    EXPECT_EQ(SafeArrayGetLBound(v.parray, 1, &lo), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(v.parray, 1, &hi), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(v.parray, 2, &hi), DISP_E_BADINDEX);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 511);
    void* p = nullptr;
    ASSERT_EQ(SafeArrayAccessData(v.parray, &p), S_OK);
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);  // locked: left as it is
    EXPECT_EQ(v.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(SafeArrayUnaccessData(v.parray), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(v.parray), E_UNEXPECTED);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);

    ASSERT_EQ(o->Get(L"instancename", 0, &v, &type, &flavor), WBEM_S_NO_ERROR);
    EXPECT_EQ(v.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(v.bstrVal), L"SIM\\Disk1_0");
    EXPECT_EQ(SysStringLen(v.bstrVal), 11u);
    VariantClear(&v);
    ASSERT_EQ(o->Get(L"__CLASS", 0, &v, nullptr, &flavor), WBEM_S_NO_ERROR);
    EXPECT_EQ(flavor, WBEM_FLAVOR_ORIGIN_SYSTEM);
    EXPECT_EQ(std::wstring(v.bstrVal), L"MSStorageDriver_ATAPISmartData");
    VariantClear(&v);
    EXPECT_EQ(o->Get(L"Model", 0, &v, nullptr, nullptr), WBEM_E_NOT_FOUND);
    EXPECT_EQ(o->Get(L"VendorSpecific", 1, &v, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(v.vt, VT_EMPTY);
    o->Release();
    EXPECT_EQ(e->Next(WBEM_INFINITE, 1, &o, &n), WBEM_S_FALSE);
    e->Release();
}

TEST_F(WbemTest, NextHonoursItsTimeOutAndReleaseStopsTheReading) {
    WriteSmartConf("drives = 2\nquery_delay_ms = 600000\n");
    Connection c;
    ASSERT_EQ(c.hr, S_OK);
    BSTR lang = SysAllocString(L"WQL");
    BSTR q = SysAllocString(L"SELECT * FROM MSStorageDriver_ATAPISmartData");
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(c.svc->ExecQuery(lang, q, WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, nullptr, &e), S_OK);
    IWbemClassObject* o[2] = {};
    ULONG n = 9;
    EXPECT_EQ(e->Next(50, 2, o, &n), WBEM_S_TIMEDOUT);
    EXPECT_EQ(n, 0u);
    e->Release();  // does not wait for the ten minutes

    // Flags 0: the whole result is there when ExecQuery returns.
    WriteSmartConf("drives = 2\nquery_delay_ms = 50\n");
    ASSERT_EQ(c.svc->ExecQuery(lang, q, 0, nullptr, &e), S_OK);
    EXPECT_EQ(e->Next(0, 2, o, &n), WBEM_S_NO_ERROR);
    EXPECT_EQ(n, 2u);
    o[0]->Release();
    o[1]->Release();
    EXPECT_EQ(e->Next(0, 2, o, &n), WBEM_S_FALSE);
    e->Release();
    SysFreeString(lang);
    SysFreeString(q);
}

TEST(OleAutomation, StringsVariantsAndArrays) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    BSTR s = SysAllocStringLen(L"abcdef", 3);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(std::wstring(s), L"abc");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % alignof(OLECHAR), 0u);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = s;
    EXPECT_EQ(VariantClear(&v), S_OK);  // frees the string
    EXPECT_EQ(v.vt, VT_EMPTY);
    v.vt = 0x7F;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);

    EXPECT_EQ(SafeArrayCreateVector(VT_BSTR, 0, 3), nullptr);
    SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 5, 0);
    ASSERT_NE(a, nullptr);
    LONG lo = 0, hi = 0;
    SafeArrayGetLBound(a, 1, &lo);
    SafeArrayGetUBound(a, 1, &hi);
    EXPECT_EQ(lo, 5);
    EXPECT_EQ(hi, 4);  // empty
    VARTYPE vt = 0;
    EXPECT_EQ(SafeArrayGetVartype(a, &vt), S_OK);
    EXPECT_EQ(vt, VT_I4);
    EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}

}  // namespace
