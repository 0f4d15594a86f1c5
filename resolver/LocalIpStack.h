#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// What the host's IP stack offers (the NAT64 address helpers are in
// transport/Nat64Address.h).
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
