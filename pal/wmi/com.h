// COM start-up: CoInitializeEx and CoUninitialize.
//
// The suite's COM use is in-process and needs no apartments, so this only keeps the
// bookkeeping a caller can observe: each thread counts its initialisations and remembers
// the concurrency model of the first one. The first call on a thread gives S_OK, a
// further one with the same model S_FALSE (and must be balanced too), one with the other
// model RPC_E_CHANGED_MODE (not counted, not to be balanced). CoUninitialize undoes one
// counted call; on a thread with no count it does nothing.
#pragma once

#include "pal/types.h"

#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u
#define COINIT_DISABLE_OLE1DDE 0x4u
#define COINIT_SPEED_OVER_MEMORY 0x8u

#define S_OK (static_cast<HRESULT>(0))
#define S_FALSE (static_cast<HRESULT>(1))
#define RPC_E_CHANGED_MODE (static_cast<HRESULT>(0x80010106u))
#define E_INVALIDARG (static_cast<HRESULT>(0x80070057u))

// pvReserved must be null and dwCoInit hold only COINIT_* bits, else E_INVALIDARG.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();

namespace pal::wmi {

// True while the calling thread has a counted CoInitializeEx (what COM calls need).
bool ComInitializedOnThread();

}  // namespace pal::wmi
