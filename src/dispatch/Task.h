#pragma once

#include <chrono>
#include <functional>

namespace vorn::dispatch {

// A unit of work handed to a queue or a main loop.
using Task = std::function<void()>;

// Delays and intervals. Nanoseconds so that any std::chrono duration converts
// without a cast.
using Duration = std::chrono::nanoseconds;

}  // namespace vorn::dispatch
