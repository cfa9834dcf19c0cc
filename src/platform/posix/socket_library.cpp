#include "platform/platform.h"

namespace linkrate::platform {

// POSIX sockets need no library start-up; the seam remains so that the
// start-up failure path can be exercised.
int socket_library_start() { return take_fault(Fault::socket_startup) ? -1 : 0; }

void socket_library_cleanup() {}

}  // namespace linkrate::platform
