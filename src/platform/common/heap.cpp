#include <cstdlib>

#include "platform/platform.h"

namespace linkrate::platform {

void* heap_alloc(std::size_t size) {
    if (take_fault(Fault::alloc)) return nullptr;
    return std::malloc(size);
}

void heap_free(void* block) { std::free(block); }

}  // namespace linkrate::platform
