// ledpanel: the outside library of the terminal's seven-segment customer display.
//
// Three calls, exported by name with C linkage:
//   LedPanelOpen("7SEG")        a handle (0 or above), or -1 when the display is absent,
//                               the name is not "7SEG", or the configuration makes it fail
//   LedPanelShow(handle, code)  0, or a non-zero error: the code is shown
//   LedPanelClose(handle)       0, or a non-zero error: the handle is given back
// The display is simulated: $VQ_ROOT/devices/ledpanel.conf says it exists and how many
// digits it has, and what it shows is the state file $VQ_ROOT/ledpanel/state, replaced
// whole (written beside it and renamed) at every show, so a reader never sees half a
// state. Details: docs/eventmon.md.
#pragma once

#include <string>

#include "pal/types.h"

#define LEDPANEL_API extern "C" __attribute__((visibility("default")))

LEDPANEL_API LONG LedPanelOpen(LPCSTR name);
LEDPANEL_API LONG LedPanelShow(LONG handle, DWORD code);
LEDPANEL_API LONG LedPanelClose(LONG handle);

namespace ledpanel {

constexpr int kMinDigits = 1;
constexpr int kMaxDigits = 10;  // a 32-bit code has at most 10 decimal digits

// The configuration file and the state file of the machine root.
__attribute__((visibility("default"))) std::string ConfPath();
__attribute__((visibility("default"))) std::string StatePath();

}  // namespace ledpanel
