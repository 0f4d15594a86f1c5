#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// What the transport must know of the host's IP stack to reach IPv4 servers
// from an IPv6-only network. The proxy holds one per activation and the
// resolver fills it in; connections only read it.
struct IpStackFacts {
    bool ipv6Only = false;
    bool nat64Known = false;
    uint8_t nat64Address[16] = {};
};

// Number of zero bytes at the end of a 16-byte address.
int suffixZeroCount(const uint8_t address[16]);

// True when the address embeds 192.0.0.170 or 192.0.0.171 at a valid
// RFC 6052 prefix length.
bool CheckNat64Address(const uint8_t address[16]);

// Writes the IPv4 address (network order) into the template, in place.
void SynthesizeNat64Address(uint8_t address[16], const uint8_t ipv4[4]);

// Lower-case hexadecimal, two digits per byte, no separators.
std::string toHexString(const uint8_t* bytes, size_t count);

// The text to connect to for an IPv4 address text: the NAT64-synthesised
// IPv6 text when the host is on an IPv6-only network with a known NAT64
// address, else the address unchanged. Sets isIpv6 accordingly. Returns
// false when a synthesis was needed but the IPv4 text does not parse.
bool nat64AddressFor(const IpStackFacts& facts, const std::string& ipv4, std::string& out, bool& isIpv6);
