#include "transport/ConnectAddress.h"

#include "transport/Nat64Address.h"

#include <cstring>

bool buildConnectAddress(
    const IpStackFacts* ipStack, const std::string& address, sockaddr_storage& out, int& outLength)
{
    std::memset(&out, 0, sizeof out);
    std::string text = address;
    if (ipStack && ipStack->ipv6Only && ipStack->nat64Known) {
        size_t colon = address.find(':');
        if (colon == std::string::npos)
            return false;
        std::string v6;
        bool isIpv6 = false;
        if (!nat64AddressFor(*ipStack, address.substr(0, colon), v6, isIpv6))
            return false;
        text = isIpv6 ? "[" + v6 + "]:" + address.substr(colon + 1) : address;
    }
    outLength = static_cast<int>(sizeof out);
    return evutil_parse_sockaddr_port(text.c_str(), reinterpret_cast<sockaddr*>(&out), &outLength) == 0;
}
