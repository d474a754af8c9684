// vqtray: the notification area seen from a terminal.
//   vqtray list               icons of live processes, and the menu each has open
//   vqtray click PID          the right-button callback to every icon of PID
//   vqtray choose PID ITEM    item ITEM (1 = first) of PID's open menu: WM_COMMAND
//   vqtray restart            forget every icon and broadcast "TaskbarCreated"
#pragma once

#include <cstdio>

namespace vqtray {

// Exit codes: 0 done, 1 nothing to act on (no such icon or menu, a post failed), 2 usage.
int Run(int argc, char** argv, FILE* out, FILE* err);

}  // namespace vqtray
