#include "udp/SystemCalls.h"

#include <fcntl.h>
#include <unistd.h>

namespace vorn::udp {

int SystemCalls::socket(int domain, int type, int protocol) {
    return ::socket(domain, type, protocol);
}

int SystemCalls::fcntl(int fd, int command, int argument) {
    return ::fcntl(fd, command, argument);
}

int SystemCalls::setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    return ::setsockopt(fd, level, name, value, length);
}

int SystemCalls::getsockopt(int fd, int level, int name, void* value, socklen_t* length) {
    return ::getsockopt(fd, level, name, value, length);
}

int SystemCalls::bind(int fd, const sockaddr* address, socklen_t length) {
    return ::bind(fd, address, length);
}

ssize_t SystemCalls::sendto(int fd, const void* data, size_t size, int flags, const sockaddr* address,
                            socklen_t length) {
    return ::sendto(fd, data, size, flags, address, length);
}

ssize_t SystemCalls::recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* address, socklen_t* length) {
    return ::recvfrom(fd, buffer, size, flags, address, length);
}

int SystemCalls::recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout) {
    return ::recvmmsg(fd, messages, count, flags, timeout);
}

int SystemCalls::getsockname(int fd, sockaddr* address, socklen_t* length) {
    return ::getsockname(fd, address, length);
}

int SystemCalls::connect(int fd, const sockaddr* address, socklen_t length) {
    return ::connect(fd, address, length);
}

int SystemCalls::listen(int fd, int backlog) {
    return ::listen(fd, backlog);
}

int SystemCalls::accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
    return ::accept4(fd, address, length, flags);
}

ssize_t SystemCalls::send(int fd, const void* data, size_t size, int flags) {
    return ::send(fd, data, size, flags);
}

ssize_t SystemCalls::recv(int fd, void* buffer, size_t size, int flags) {
    return ::recv(fd, buffer, size, flags);
}

int SystemCalls::close(int fd) {
    return ::close(fd);
}

int SystemCalls::getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
    return ::getaddrinfo(node, service, hints, result);
}

void SystemCalls::freeaddrinfo(addrinfo* list) {
    ::freeaddrinfo(list);
}

int SystemCalls::getifaddrs(ifaddrs** list) {
    return ::getifaddrs(list);
}

void SystemCalls::freeifaddrs(ifaddrs* list) {
    ::freeifaddrs(list);
}

std::shared_ptr<SystemCalls> SystemCalls::standard() {
    static const auto shared = std::make_shared<SystemCalls>();
    return shared;
}

}  // namespace vorn::udp
