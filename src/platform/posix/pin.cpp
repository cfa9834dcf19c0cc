#include "platform/platform.h"

namespace linkrate::platform {

// The link keeps the library mapped (-z nodelete, where the linker takes it).
bool pin_library() { return true; }

}  // namespace linkrate::platform
