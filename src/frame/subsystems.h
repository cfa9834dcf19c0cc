// The parts of the library above the frame that keep process-wide state of
// their own, started by linkrate_init() and ended by linkrate_cleanup().
//
// The frame reaches them only through this table, so no call points from the
// frame up into the LAN or internet code. The library's top (src/library.cpp)
// fills it; the table is constant, so loading the library still runs none of
// its code.
#pragma once

#include <span>

namespace linkrate {

struct Subsystem {
    // Called by every successful initialisation, after the socket library
    // started. A start that fails is not fatal: the subsystem reports it when
    // a test needs what it could not start. Null when there is nothing to do.
    void (*start)() noexcept;
    // Called by linkrate_cleanup(), in table order, before the socket library
    // is released. Null when there is nothing to do.
    void (*stop)() noexcept;
};

extern const std::span<const Subsystem* const> g_subsystems;

}  // namespace linkrate
