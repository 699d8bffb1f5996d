#include "udp/SocketError.h"

#include <netdb.h>

#include <cstring>
#include <utility>

namespace vorn::udp {

namespace {

// strerror_r comes in two flavours, the XSI one returning an int and the GNU
// one returning the text, which may or may not be the buffer passed in.
[[maybe_unused]] const char* chosenText(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* chosenText(const char* result, const char*) {
    return result;
}

std::string errnoText(int errnoValue) {
    char buffer[256] = {};
    return chosenText(::strerror_r(errnoValue, buffer, sizeof buffer), buffer);
}

SocketError ofDomain(DatagramSocketErrorCode code, std::string message) {
    SocketError error;
    error.domain = DatagramSocketErrorDomain;
    error.code = static_cast<int>(code);
    error.description = std::move(message);
    return error;
}

}  // namespace

SocketError SocketError::badConfig(std::string message) {
    return ofDomain(DatagramSocketErrorCode::badConfig, std::move(message));
}

SocketError SocketError::badParam(std::string message) {
    return ofDomain(DatagramSocketErrorCode::badParam, std::move(message));
}

SocketError SocketError::sendTimeout() {
    return ofDomain(DatagramSocketErrorCode::sendTimeout, "Send operation timed out");
}

SocketError SocketError::closed() {
    return ofDomain(DatagramSocketErrorCode::closed, "Socket closed");
}

SocketError SocketError::other(std::string message) {
    return ofDomain(DatagramSocketErrorCode::other, std::move(message));
}

SocketError SocketError::posix(int errnoValue, std::string reason) {
    SocketError error;
    error.domain = POSIXErrorDomain;
    error.code = errnoValue;
    error.description = errnoText(errnoValue);
    error.failureReason = std::move(reason);
    return error;
}

SocketError SocketError::netdb(int gaiCode) {
    SocketError error;
    error.domain = NetDBErrorDomain;
    error.code = gaiCode;
    error.description = ::gai_strerror(gaiCode);
    return error;
}

std::string SocketError::localizedDescription() const {
    if (failureReason.empty()) {
        return description;
    }
    return description + " (" + failureReason + ")";
}

}  // namespace vorn::udp
