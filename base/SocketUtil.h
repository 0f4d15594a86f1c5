#pragma once
#include "base/UniqueSocket.h"

#include <event2/util.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

// A socket call that failed only for now: retry when the socket is ready.
// Failures of this host (out of descriptors or memory), not of the peer.
inline bool isLocalResourceError(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

inline bool isTransient(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// Parses "IPv4:PORT" or "[IPv6]:PORT" like evutil_parse_sockaddr_port, but
// also takes port 0 ("any free port") for addresses to bind.
inline bool parseSocketAddress(const std::string& text, sockaddr_storage& out, socklen_t& length)
{
    std::string parsed = text;
    const bool anyPort = text.size() > 2 && text.compare(text.size() - 2, 2, ":0") == 0;
    if (anyPort)
        parsed.replace(parsed.size() - 1, 1, "1");
    out = sockaddr_storage {};
    int size = sizeof out;
    if (evutil_parse_sockaddr_port(parsed.c_str(), reinterpret_cast<sockaddr*>(&out), &size) != 0)
        return false;
    length = static_cast<socklen_t>(size);
    if (anyPort) {
        if (out.ss_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(&out)->sin6_port = 0;
        else
            reinterpret_cast<sockaddr_in*>(&out)->sin_port = 0;
    }
    return true;
}

// The port a socket is bound to; -1 when it can not be told.
inline int boundPort(evutil_socket_t fd)
{
    sockaddr_storage bound {};
    socklen_t length = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return -1;
    if (bound.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    if (bound.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return -1;
}

// A non-blocking UDP socket bound to "ADDR:PORT" (port 0: any free port),
// with both kernel buffers asked to hold bufferBytes. With reusePort, other
// sockets of the same user may bind the same address (SO_REUSEPORT) and the
// kernel spreads arriving datagrams among them by their source address and
// port. Invalid on failure, with the reason in error.
inline UniqueSocket bindUdpSocket(
    const std::string& listen, int bufferBytes, std::string& error, bool reusePort = false)
{
    sockaddr_storage address {};
    socklen_t length = 0;
    if (!parseSocketAddress(listen, address, length)) {
        error = "can not parse the listen address: " + listen;
        return UniqueSocket();
    }
    UniqueSocket socket(::socket(address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return UniqueSocket();
    }
    setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
    const int one = 1;
    if (reusePort && setsockopt(socket.get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
        error = std::string("SO_REUSEPORT: ") + std::strerror(errno);
        return UniqueSocket();
    }
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
        error = "can not bind " + listen + ": " + std::strerror(errno);
        return UniqueSocket();
    }
    return socket;
}
