#include "pal/wmi/tests/wmi_test_util.h"

#include <cstdio>
#include <fstream>

#include "pal/core/root.h"
#include "pal/wmi/smart_source.h"

namespace wmitest {

void WriteSmartConf(const std::string& text) {
    const std::string path = pal::wmi::SmartConfigPath();
    if (text.empty()) {
        std::remove(path.c_str());
        return;
    }
    pal::core::MakeDirs(pal::core::RootDir() + "/devices");
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::rename(tmp.c_str(), path.c_str());
}

void WriteDevicesFile(const std::string& name, const std::vector<unsigned char>& bytes) {
    pal::core::MakeDirs(pal::core::RootDir() + "/devices");
    std::ofstream out(pal::core::RootDir() + "/devices/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Connection::Connection() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                         EOAC_NONE, nullptr);
    IWbemLocator* loc = nullptr;
    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          reinterpret_cast<LPVOID*>(&loc));
    if (FAILED(hr)) return;
    BSTR ns = SysAllocString(L"ROOT\\WMI");
    hr = loc->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &svc);
    SysFreeString(ns);
    loc->Release();
    if (FAILED(hr)) return;
    hr = CoSetProxyBlanket(svc, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
}

Connection::~Connection() {
    if (svc) svc->Release();
    CoUninitialize();
}

HRESULT Query(IWbemServices* svc, const wchar_t* cls, std::vector<Drive>& drives, LONG flags) {
    drives.clear();
    BSTR lang = SysAllocString(L"WQL");
    BSTR query = SysAllocString((std::wstring(L"SELECT * FROM ") + cls).c_str());
    IEnumWbemClassObject* e = nullptr;
    HRESULT hr = svc->ExecQuery(lang, query, flags, nullptr, &e);
    SysFreeString(lang);
    SysFreeString(query);
    if (FAILED(hr)) return hr;
    for (;;) {
        IWbemClassObject* o = nullptr;
        ULONG n = 0;
        hr = e->Next(WBEM_INFINITE, 1, &o, &n);
        if (FAILED(hr) || n == 0) break;
        Drive d;
        VARIANT v;
        VariantInit(&v);
        hr = o->Get(L"InstanceName", 0, &v, nullptr, nullptr);
        if (SUCCEEDED(hr)) {
            for (UINT i = 0; i < SysStringLen(v.bstrVal); ++i) d.instance += static_cast<char>(v.bstrVal[i]);
            VariantClear(&v);
            hr = o->Get(L"VendorSpecific", 0, &v, nullptr, nullptr);
        }
        if (SUCCEEDED(hr)) {
            unsigned char* p = nullptr;
            LONG lo = 0, hi = -1;
            SafeArrayGetLBound(v.parray, 1, &lo);
            SafeArrayGetUBound(v.parray, 1, &hi);
            SafeArrayAccessData(v.parray, reinterpret_cast<void**>(&p));
            d.vendor.assign(p, p + (hi - lo + 1));
            SafeArrayUnaccessData(v.parray);
            VariantClear(&v);
        }
        o->Release();
        if (FAILED(hr)) break;
        drives.push_back(std::move(d));
    }
    e->Release();
    return FAILED(hr) ? hr : S_OK;
}

}  // namespace wmitest
