#pragma once

#include <string_view>

// Helpers shared by the threads that the queues start. Not part of the
// library's interface.
namespace vorn::dispatch::detail {

// Gives the calling thread a name that debuggers and `top -H` show; Linux
// keeps the first 15 bytes.
void nameCurrentThread(std::string_view name) noexcept;

// Writes the exception being handled to stderr. Call from a catch block: a
// task that throws must not take its queue's thread, and with it every later
// task, down with it.
void reportUncaughtException(std::string_view queueLabel) noexcept;

}  // namespace vorn::dispatch::detail
