#include "platform/platform.h"
#include "platform/win32/windows.h"

namespace linkrate::platform {

// Takes the module that holds this function and marks it never to be
// unloaded: a later FreeLibrary, however many, leaves it mapped.
bool pin_library() {
    HMODULE module = nullptr;
    return GetModuleHandleExW(
               GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
               reinterpret_cast<LPCWSTR>(&pin_library), &module) != 0;
}

}  // namespace linkrate::platform
