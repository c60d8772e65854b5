#pragma once

#include <array>
#include <cstdint>

namespace kelvane {

// Controller values of a channel, indexed by controller number; every voice
// keeps its own copy.
using TControllers = std::array<uint8_t, 256>;

}  // namespace kelvane
