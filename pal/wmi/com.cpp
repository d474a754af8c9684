#include "pal/wmi/com.h"

namespace pal::wmi {

namespace {

constexpr DWORD kModelMask = COINIT_APARTMENTTHREADED;
constexpr DWORD kKnownFlags = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;

struct ThreadCom {
    DWORD count = 0;
    DWORD model = 0;
};

thread_local ThreadCom t_com;

}  // namespace

bool ComInitializedOnThread() { return t_com.count > 0; }

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
