// The POSIX port's socket handle: a file descriptor, -1 when there is none.
#pragma once

namespace linkrate::platform {

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

}  // namespace linkrate::platform
