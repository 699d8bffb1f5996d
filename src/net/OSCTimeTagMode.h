#pragma once

#include <cstdint>

namespace vorn::net {

// What a receiver does with the time tag of a bundle.
enum class OSCTimeTagMode : std::uint8_t {
    osc1_0 = 0,  // hold messages of future bundles back until their moment
    ignore = 1,  // deliver everything at once
};

}  // namespace vorn::net
