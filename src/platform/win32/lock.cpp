#include <new>

#include "platform/platform.h"
#include "platform/win32/windows.h"

namespace linkrate::platform {

static_assert(sizeof(CRITICAL_SECTION) <= 64 && alignof(CRITICAL_SECTION) <= 16);

namespace {
CRITICAL_SECTION* held(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}
}  // namespace

Lock::Lock() noexcept { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }
Lock::~Lock() { DeleteCriticalSection(held(storage_)); }
void Lock::lock() noexcept { EnterCriticalSection(held(storage_)); }
void Lock::unlock() noexcept { LeaveCriticalSection(held(storage_)); }

}  // namespace linkrate::platform
