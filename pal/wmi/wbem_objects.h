// Internal to pal/wmi: what com.cpp needs of the WMI objects.
#pragma once

#include "pal/wmi/com.h"

namespace pal::wmi {

// A new locator with one reference.
IUnknown* NewLocator();

// CoSetProxyBlanket's work: S_OK when proxy is a WMI connection (its impersonation level
// is now impLevel), E_NOINTERFACE otherwise.
HRESULT SetServicesBlanket(IUnknown* proxy, DWORD impLevel);

}  // namespace pal::wmi
