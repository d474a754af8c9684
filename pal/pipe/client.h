// The client's side of opening: one Hello and Reply with the name's acceptor.
#pragma once

#include <string>

#include "pal/pipe/wire.h"
#include "pal/types.h"

namespace pal::pipe {

// Asks the serving process of name (lower or mixed case). 0 when a reply came: reply is
// filled and, for a granted kConnect, fd is the connection (else closed, -1). Otherwise a
// Win32 error: ERROR_FILE_NOT_FOUND (nobody serves the name), ERROR_PIPE_BUSY (the server
// does not take connections now).
DWORD Exchange(const std::string& name, wire::HelloKind kind, bool wantRead, bool wantWrite, int& fd,
               wire::Reply& reply);

}  // namespace pal::pipe
