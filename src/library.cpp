// The top of the library: the subsystems that linkrate_init() starts and
// linkrate_cleanup() ends, in the order they start and stop.
#include "frame/subsystems.h"
#include "internet/http_library.h"
#include "lan/server.h"

namespace linkrate {
namespace {

// The LAN server stops first: its connection threads may still be sending.
constexpr const Subsystem* kSubsystems[] = {&kLanServerSubsystem, &kHttpLibrarySubsystem};

}  // namespace

constinit const std::span<const Subsystem* const> g_subsystems{kSubsystems};

}  // namespace linkrate
