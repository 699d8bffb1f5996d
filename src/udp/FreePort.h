#pragma once

#include "udp/SystemCalls.h"

#include <cstdint>

namespace vorn::udp {

// A UDP port that no socket holds on any address, IPv4 or IPv6, at the moment
// of asking; another program may take it the next moment, so it suits
// choosing a port to suggest or to test with, not reserving one.
//
// With `from` 0, a port the system picks; otherwise the first free one of the
// hundred from `from` on, passing over `except` (a port the caller has
// promised elsewhere). 0 when there is none.
std::uint16_t freePort(std::uint16_t from = 0, std::uint16_t except = 0,
                       SystemCalls& system = *SystemCalls::standard());

}  // namespace vorn::udp
