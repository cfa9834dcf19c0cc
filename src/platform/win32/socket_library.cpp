#include "platform/platform.h"
#include "platform/win32/windows.h"

namespace linkrate::platform {

// Winsock counts its starts: every successful WSAStartup is matched by one
// WSACleanup, and the last one releases the library.
int socket_library_start() {
    if (take_fault(Fault::socket_startup)) return -1;
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
}

void socket_library_cleanup() { WSACleanup(); }

}  // namespace linkrate::platform
