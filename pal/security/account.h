// The accounts behind tokens and SIDs: which SID stands for a Linux user, and whether a
// system name names this machine.
#pragma once

#include <sys/types.h>

#include <vector>

#include "pal/types.h"

namespace pal::sec {

// S-1-5-18 (LocalSystem) for uid 0, else S-1-5-21-0-0-0-<uid>, in the binary layout.
std::vector<BYTE> UserSid(uid_t uid);

// True for null, "", "." and the computer name (with or without a leading "\\").
bool IsLocalSystem(const char* systemName);

}  // namespace pal::sec
