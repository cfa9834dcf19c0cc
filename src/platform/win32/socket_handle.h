// The Windows port's socket handle: the system's SOCKET (an unsigned
// pointer-sized integer), INVALID_SOCKET when there is none. Spelled without
// <winsock2.h>, so code above the platform never sees the system's headers;
// the port checks that the two agree.
#pragma once

#include <cstdint>

namespace linkrate::platform {

using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

}  // namespace linkrate::platform
