#pragma once
#include <event2/util.h>

#include <string>
#include <sys/socket.h>

struct IpStackFacts;

// Parses "IPv4:port" into a socket address for connect(). On an IPv6-only
// network with a known NAT64 address (from ipStack, which may be null) the
// IPv4 address is replaced by its synthesised IPv6 form. Returns false when
// the text does not parse.
bool buildConnectAddress(
    const IpStackFacts* ipStack, const std::string& address, sockaddr_storage& out, int& outLength);
