#include <mutex>
#include <new>

#include "platform/platform.h"

namespace linkrate::platform {

static_assert(sizeof(std::mutex) <= 64 && alignof(std::mutex) <= 16);

namespace {
std::mutex& held(unsigned char* storage) {
    return *std::launder(reinterpret_cast<std::mutex*>(storage));
}
}  // namespace

Lock::Lock() noexcept { new (storage_) std::mutex; }
Lock::~Lock() { held(storage_).~mutex(); }
// std::mutex::lock throws only for a deadlock the caller made or for a system
// without threads; neither happens here, and a throw would end the process.
void Lock::lock() noexcept { held(storage_).lock(); }
void Lock::unlock() noexcept { held(storage_).unlock(); }

}  // namespace linkrate::platform
