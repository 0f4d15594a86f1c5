#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// What the host's IP stack offers, and the NAT64 address helpers used to
// reach IPv4 servers from an IPv6-only network.
enum ELocalIPStack : int32_t {
    ELocalIPStack_None = 0,
    ELocalIPStack_IPv4 = 1,
    ELocalIPStack_IPv6 = 2,
    ELocalIPStack_Dual = 3,
};

// "ELocalIPStack_None", "ELocalIPStack_IPv4", ...
const char* localIpStackName(ELocalIPStack stack);

// Detects the stack without sending any packet, from the kernel's routing
// tables: a usable default route of a family means the host can reach the
// outside over it. IPv4 and IPv6 defaults give Dual, only one gives that
// family, none gives None (the caller then detects again next time).
ELocalIPStack DetectLocalIPStack();

// The decision above, on the texts of /proc/net/route and /proc/net/ipv6_route.
ELocalIPStack localIpStackFromRoutes(const std::string& ipv4Table, const std::string& ipv6Table);
bool hasIpv4DefaultRoute(const std::string& table);
bool hasIpv6DefaultRoute(const std::string& table);

// Test-only: replaces the detection; an empty function restores it. Set it
// only while no proxy loop runs (the loop thread reads it without a lock).
void setLocalIpStackDetectorForTest(std::function<ELocalIPStack()> detector);

// Number of zero bytes at the end of a 16-byte address.
int suffixZeroCount(const uint8_t address[16]);

// True when the address embeds 192.0.0.170 or 192.0.0.171 at a valid
// RFC 6052 prefix length.
bool CheckNat64Address(const uint8_t address[16]);

// Writes the IPv4 address (network order) into the template, in place.
void SynthesizeNat64Address(uint8_t address[16], const uint8_t ipv4[4]);

// Lower-case hexadecimal, two digits per byte, no separators.
std::string toHexString(const uint8_t* bytes, size_t count);

class NcmProxy;

// The text to connect to for an IPv4 address text: the NAT64-synthesised
// IPv6 text when the proxy is on an IPv6-only network with a known NAT64
// address, else the address unchanged. Sets isIpv6 accordingly. Returns
// false when a synthesis was needed but the IPv4 text does not parse.
bool nat64AddressFor(const NcmProxy& proxy, const std::string& ipv4, std::string& out, bool& isIpv6);
