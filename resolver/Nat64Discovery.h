#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/socket.h>

class NcmProxy;

// Looks for the NAT64 address of "ipv4only.arpa" (RFC 7050): first through
// the system resolver, then, when the host's DNS servers are known, by asking
// the first of them directly over UDP. Blocks for up to 5 seconds. On success
// stores the address in proxy.ipStack.nat64Address and sets proxy.ipStack.nat64Known.
void discoverNat64(NcmProxy& proxy, bool systemDnsKnown, const std::vector<std::string>& systemDns);

// The same search without touching the proxy, for a worker thread: true
// with the address when one was found.
bool findNat64Address(bool systemDnsKnown, const std::vector<std::string>& systemDns, uint8_t address[16]);

// Test-only: replaces the system resolver lookup. Gets the host name, fills
// the addresses in resolver order and returns 0 or a getaddrinfo error code.
// An empty function restores getaddrinfo. Test seams are set only while no
// proxy loop runs: the loop thread reads them without a lock.
using Nat64LookupForTest = std::function<int(const char* host, std::vector<sockaddr_storage>& results)>;
void setNat64LookupForTest(Nat64LookupForTest lookup);

// Test-only: the UDP port of the direct query (0 restores 53), so that a
// test resolver need not own port 53.
void setNat64ProbePortForTest(uint16_t port);
