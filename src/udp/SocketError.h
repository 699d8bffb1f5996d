#pragma once

#include <map>
#include <string>
#include <string_view>

namespace vorn::udp {

inline constexpr std::string_view DatagramSocketErrorDomain = "DatagramSocketErrorDomain";
// errno values; the description is the system's text for the code.
inline constexpr std::string_view POSIXErrorDomain = "POSIXErrorDomain";
// Name resolution (getaddrinfo) failures; the code is the resolver's.
inline constexpr std::string_view NetDBErrorDomain = "kCFStreamErrorDomainNetDB";

enum class DatagramSocketErrorCode : int {
    badConfig = 1,
    badParam = 2,
    sendTimeout = 3,
    closed = 4,
    other = 5,
};

// A failure of the socket layer, passed on unchanged by the OSC transport.
// Errors are values here: the socket never throws.
struct SocketError {
    std::string domain;
    int code = 0;
    std::string description;
    // For system-call failures: which step failed, e.g. "Error in bind() function".
    std::string failureReason;
    // Further detail by key; the OSC socket puts its own texts under "Reason".
    std::map<std::string, std::string> userInfo;

    static SocketError badConfig(std::string message);
    static SocketError badParam(std::string message);
    static SocketError sendTimeout();  // "Send operation timed out"
    static SocketError closed();       // "Socket closed"
    static SocketError other(std::string message);
    // The POSIX error for `errnoValue` with the failed step as its reason.
    static SocketError posix(int errnoValue, std::string reason = {});
    // A resolver error code (EAI_*) with the resolver's text.
    static SocketError netdb(int gaiCode);

    bool isDatagramSocketError(DatagramSocketErrorCode c) const {
        return domain == DatagramSocketErrorDomain && code == static_cast<int>(c);
    }

    // What a user reads: the description, then the failure reason in
    // parentheses when there is one ("Address already in use (Error in bind()
    // function)").
    std::string localizedDescription() const;

    friend bool operator==(const SocketError&, const SocketError&) = default;
};

}  // namespace vorn::udp
