// The WMI objects (see wbem.h).
//
// A query's drives are read on a worker thread of its own, which hands each object to the
// enumeration as soon as it is read: that is what lets Next wait with a time-out while a
// slow disk answers. The worker shares only the query's state with the enumeration; when
// the enumeration is released it marks the state cancelled and the worker stops at the
// next object, so a caller never waits for a disk it no longer wants.
#include "pal/wmi/wbem.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwctype>
#include <deque>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "pal/wmi/smart_source.h"
#include "pal/wmi/wbem_objects.h"

const CLSID CLSID_WbemLocator = {0x4590f811, 0x1d3a, 0x11d0, {0x89, 0x1f, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
const IID IID_IWbemLocator = {0xdc12a687, 0x737f, 0x11cf, {0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
const IID IID_IWbemServices = {0x9556dc99, 0x828c, 0x11cf, {0xa3, 0x7e, 0x00, 0xaa, 0x00, 0x32, 0x40, 0xc7}};
const IID IID_IEnumWbemClassObject = {0x027947e1, 0xd731, 0x11ce, {0xa3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
const IID IID_IWbemClassObject = {0xdc12a681, 0x737f, 0x11cf, {0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};

namespace pal::wmi {

namespace {

std::atomic<long> g_live{0};

constexpr const wchar_t* kDataClass = L"MSStorageDriver_ATAPISmartData";
constexpr const wchar_t* kThresholdClass = L"MSStorageDriver_FailurePredictThresholds";

bool SameText(const wchar_t* a, const wchar_t* b) {
    for (; *a && *b; ++a, ++b)
        if (std::towlower(static_cast<wint_t>(*a)) != std::towlower(static_cast<wint_t>(*b))) return false;
    return *a == *b;
}

bool Empty(const BSTR s) { return s == nullptr || *s == L'\0'; }

std::wstring Widen(const std::string& s) {
    std::wstring w;
    for (unsigned char c : s) w += static_cast<wchar_t>(c);
    return w;
}

template <class I>
const IID& IidOf();
template <>
const IID& IidOf<IWbemLocator>() { return IID_IWbemLocator; }
template <>
const IID& IidOf<IWbemServices>() { return IID_IWbemServices; }
template <>
const IID& IidOf<IEnumWbemClassObject>() { return IID_IEnumWbemClassObject; }
template <>
const IID& IidOf<IWbemClassObject>() { return IID_IWbemClassObject; }

// Reference counting and QueryInterface for an object with one interface.
template <class I>
class ComObject : public I {
public:
    ComObject() { ++g_live; }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IidOf<I>()) {
            this->AddRef();
            *ppvObject = static_cast<I*>(this);
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }

protected:
    ~ComObject() override { --g_live; }

private:
    std::atomic<ULONG> refs_{1};
};

class ClassObject final : public ComObject<IWbemClassObject> {
public:
    ClassObject(const wchar_t* className, SmartObject object) : class_(className), object_(std::move(object)) {}

    HRESULT Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) override {
        if (wszName == nullptr || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
        CIMTYPE type = 0;
        LONG flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
        VARIANT v;
        VariantInit(&v);
        if (SameText(wszName, L"VendorSpecific")) {
            type = CIM_UINT8 | CIM_FLAG_ARRAY;
            if (pVal) {
                SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(object_.vendor.size()));
                if (sa == nullptr) return E_OUTOFMEMORY;
                void* data = nullptr;
                SafeArrayAccessData(sa, &data);
                if (!object_.vendor.empty()) std::memcpy(data, object_.vendor.data(), object_.vendor.size());
                SafeArrayUnaccessData(sa);
                v.vt = VT_ARRAY | VT_UI1;
                v.parray = sa;
            }
        } else if (SameText(wszName, L"InstanceName") || SameText(wszName, L"__CLASS")) {
            const bool system = SameText(wszName, L"__CLASS");
            type = CIM_STRING;
            if (system) flavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
            if (pVal) {
                v.bstrVal = SysAllocString(system ? class_.c_str() : Widen(object_.instance).c_str());
                if (v.bstrVal == nullptr) return E_OUTOFMEMORY;
                v.vt = VT_BSTR;
            }
        } else if (SameText(wszName, L"Active")) {
            type = CIM_BOOLEAN;
            v.vt = VT_BOOL;
            v.boolVal = VARIANT_TRUE;
        } else {
            return WBEM_E_NOT_FOUND;
        }
        if (pVal) *pVal = v;
        if (pType) *pType = type;
        if (plFlavor) *plFlavor = flavor;
        return WBEM_S_NO_ERROR;
    }

private:
    const std::wstring class_;
    const SmartObject object_;
};

struct QueryState {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<SmartObject> ready;
    bool done = false;
    bool cancelled = false;
};

void RunQuery(std::shared_ptr<QueryState> state, SmartConfig config, SmartClass cls) {
    ReadSmartObjects(config, cls, [&](SmartObject&& o) {
        std::unique_lock<std::mutex> lock(state->lock);
        if (config.queryDelayMs != 0)
            state->changed.wait_for(lock, std::chrono::milliseconds(config.queryDelayMs),
                                    [&] { return state->cancelled; });
        if (state->cancelled) return false;
        state->ready.push_back(std::move(o));
        state->changed.notify_all();
        return true;
    });
    std::lock_guard<std::mutex> lock(state->lock);
    state->done = true;
    state->changed.notify_all();
}

class Enumerator final : public ComObject<IEnumWbemClassObject> {
public:
    Enumerator(std::shared_ptr<QueryState> state, const wchar_t* className)
        : state_(std::move(state)), class_(className) {}

    HRESULT Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects, ULONG* puReturned) override {
        if (lTimeout < WBEM_INFINITE || uCount == 0 || apObjects == nullptr || puReturned == nullptr)
            return WBEM_E_INVALID_PARAMETER;
        *puReturned = 0;
        if (!ComInitializedOnThread()) return CO_E_NOTINITIALIZED;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lTimeout < 0 ? 0 : lTimeout);
        std::unique_lock<std::mutex> lock(state_->lock);
        while (*puReturned < uCount) {
            auto ready = [&] { return !state_->ready.empty() || state_->done; };
            if (lTimeout == WBEM_INFINITE)
                state_->changed.wait(lock, ready);
            else if (!state_->changed.wait_until(lock, deadline, ready))
                return WBEM_S_TIMEDOUT;
            if (state_->ready.empty()) return WBEM_S_FALSE;
            apObjects[(*puReturned)++] = new ClassObject(class_, std::move(state_->ready.front()));
            state_->ready.pop_front();
        }
        return WBEM_S_NO_ERROR;
    }

protected:
    ~Enumerator() override {
        std::lock_guard<std::mutex> lock(state_->lock);
        state_->cancelled = true;
        state_->changed.notify_all();
    }

private:
    const std::shared_ptr<QueryState> state_;
    const wchar_t* const class_;
};

// "SELECT * FROM <class>": the class, or an error.
HRESULT ParseQuery(const BSTR query, const wchar_t*& className) {
    std::wistringstream in(query);
    std::vector<std::wstring> words;
    for (std::wstring w; in >> w;) words.push_back(w);
    if (words.size() != 4 || !SameText(words[0].c_str(), L"SELECT") || words[1] != L"*" ||
        !SameText(words[2].c_str(), L"FROM"))
        return WBEM_E_INVALID_QUERY;
    if (SameText(words[3].c_str(), kDataClass))
        className = kDataClass;
    else if (SameText(words[3].c_str(), kThresholdClass))
        className = kThresholdClass;
    else
        return WBEM_E_INVALID_CLASS;
    return S_OK;
}

class Services final : public ComObject<IWbemServices> {
public:
    explicit Services(DWORD impersonation) : impersonation_(impersonation) {}

    HRESULT ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags, IWbemContext*,
                      IEnumWbemClassObject** ppEnum) override {
        if (ppEnum == nullptr) return WBEM_E_INVALID_PARAMETER;
        *ppEnum = nullptr;
        if (!ComInitializedOnThread()) return CO_E_NOTINITIALIZED;
        if (strQueryLanguage == nullptr || strQuery == nullptr ||
            (lFlags & ~(WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY)) != 0)
            return WBEM_E_INVALID_PARAMETER;
        if (!SameText(strQueryLanguage, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
        const wchar_t* className = nullptr;
        if (HRESULT hr = ParseQuery(strQuery, className); FAILED(hr)) return hr;
        if (impersonation_ < RPC_C_IMP_LEVEL_IMPERSONATE) return WBEM_E_ACCESS_DENIED;

        SmartConfig config;
        const HRESULT loaded = LoadSmartConfig(config);
        if (loaded == S_FALSE) return WBEM_E_NOT_SUPPORTED;
        if (FAILED(loaded) || config.failQuery) return WBEM_E_FAILED;

        auto state = std::make_shared<QueryState>();
        const SmartClass cls = className == kDataClass ? SmartClass::Data : SmartClass::Thresholds;
        try {
            std::thread(RunQuery, state, std::move(config), cls).detach();
        } catch (const std::system_error&) {
            return E_OUTOFMEMORY;
        }
        if ((lFlags & WBEM_FLAG_RETURN_IMMEDIATELY) == 0) {
            std::unique_lock<std::mutex> lock(state->lock);
            state->changed.wait(lock, [&] { return state->done; });
        }
        *ppEnum = new Enumerator(state, className);
        return WBEM_S_NO_ERROR;
    }

    void SetImpersonation(DWORD level) { impersonation_ = level; }

private:
    std::atomic<DWORD> impersonation_;
};

class Locator final : public ComObject<IWbemLocator> {
public:
    HRESULT ConnectServer(const BSTR strNetworkResource, const BSTR strUser, const BSTR strPassword, const BSTR,
                          LONG lSecurityFlags, const BSTR strAuthority, IWbemContext*,
                          IWbemServices** ppNamespace) override {
        if (ppNamespace == nullptr) return WBEM_E_INVALID_PARAMETER;
        *ppNamespace = nullptr;
        if (!ComInitializedOnThread()) return CO_E_NOTINITIALIZED;
        if (strNetworkResource == nullptr || lSecurityFlags != 0) return WBEM_E_INVALID_PARAMETER;
        if (!Empty(strUser) || !Empty(strPassword) || !Empty(strAuthority)) return WBEM_E_LOCAL_CREDENTIALS;
        const wchar_t* ns = strNetworkResource;
        if (ns[0] == L'\\' && ns[1] == L'\\' && ns[2] == L'.' && ns[3] == L'\\') ns += 4;
        if (!SameText(ns, L"ROOT\\WMI")) return WBEM_E_INVALID_NAMESPACE;
        SmartConfig config;
        if (LoadSmartConfig(config) == S_OK && config.failConnect) return WBEM_E_FAILED;
        *ppNamespace = new Services(ProcessImpersonationLevel());
        return WBEM_S_NO_ERROR;
    }
};

}  // namespace

long LiveObjects() { return g_live.load(); }

IUnknown* NewLocator() { return new Locator(); }

HRESULT SetServicesBlanket(IUnknown* proxy, DWORD impLevel) {
    auto* services = dynamic_cast<Services*>(proxy);
    if (services == nullptr) return E_NOINTERFACE;
    services->SetImpersonation(impLevel == RPC_C_IMP_LEVEL_DEFAULT ? ProcessImpersonationLevel() : impLevel);
    return S_OK;
}

}  // namespace pal::wmi
