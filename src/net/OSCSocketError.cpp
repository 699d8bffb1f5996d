#include "net/OSCSocketError.h"

#include <utility>

namespace vorn::net {

OSCSocketError::OSCSocketError(udp::SocketError error)
    : std::runtime_error(error.localizedDescription()), error_(std::move(error)) {}

}  // namespace vorn::net
