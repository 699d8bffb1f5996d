#pragma once

#include <ctime>
#include <memory>

#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace vorn::udp {

// The one seam between the socket layer and the kernel. Each member behaves
// like the call it is named after (including errno on failure); tests
// subclass it to make a chosen call fail, e.g. sendto with EAGAIN or a
// refused setsockopt.
class SystemCalls {
public:
    virtual ~SystemCalls() = default;

    virtual int socket(int domain, int type, int protocol);
    virtual int fcntl(int fd, int command, int argument);
    virtual int setsockopt(int fd, int level, int name, const void* value, socklen_t length);
    virtual int getsockopt(int fd, int level, int name, void* value, socklen_t* length);
    virtual int bind(int fd, const sockaddr* address, socklen_t length);
    virtual ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* address,
                           socklen_t length);
    virtual ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* address, socklen_t* length);
    // Several datagrams in one call: a receiver that keeps up with a stream
    // pays one kernel entry per batch rather than one per datagram.
    virtual int recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout);
    virtual int getsockname(int fd, sockaddr* address, socklen_t* length);
    // Streams (TCP): the OSC transport over TCP goes through these.
    virtual int connect(int fd, const sockaddr* address, socklen_t length);
    virtual int listen(int fd, int backlog);
    virtual int accept4(int fd, sockaddr* address, socklen_t* length, int flags);
    virtual ssize_t send(int fd, const void* data, size_t size, int flags);
    virtual ssize_t recv(int fd, void* buffer, size_t size, int flags);
    virtual int close(int fd);
    virtual int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
    virtual void freeaddrinfo(addrinfo* list);
    virtual int getifaddrs(ifaddrs** list);
    virtual void freeifaddrs(ifaddrs* list);

    // The real calls, shared by every socket that is given none.
    static std::shared_ptr<SystemCalls> standard();
};

}  // namespace vorn::udp
