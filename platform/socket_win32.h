// The owner of a Winsock SOCKET, invalid at INVALID_SOCKET and released with
// closesocket, in the manner of the other handle owners.
#pragma once

#include <winsock2.h>

#include "platform/handles_win32.h"

namespace vexa::platform {

struct SocketTraits {
    using Handle = SOCKET;
    static Handle Invalid() { return INVALID_SOCKET; }
    static void Close(Handle s) { ::closesocket(s); }
};

using UniqueSocket = UniqueHandle<SocketTraits>;

}  // namespace vexa::platform
