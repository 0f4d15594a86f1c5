#pragma once
#include "transport/Nat64Address.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/socket.h>

// Test-only: replaces the system resolver lookup. Gets the host name, fills
// the addresses in resolver order and returns 0 or a getaddrinfo error code.
// An empty function restores getaddrinfo. Test seams are set only while no
// proxy loop runs: the loop thread reads them without a lock.
using Nat64LookupForTest = std::function<int(const char* host, std::vector<sockaddr_storage>& results)>;

// Looks for the NAT64 address of "ipv4only.arpa" (RFC 7050): first through
// the system resolver, then, when the host's DNS servers are known, by asking
// the first of them directly over UDP. Made for a worker thread that may
// outlive whoever started it: it holds copies of everything it uses (the
// test seams too), touches no shared state and keeps its log lines until its
// owner writes them.
class Nat64Search {
public:
    Nat64Search() = default;
    Nat64Search(bool systemDnsKnown, std::vector<std::string> systemDns);
    void run(); // blocks for up to 5 seconds
    void writeLog() const;
    // When found: stores the address in facts.nat64Address and sets
    // facts.nat64Known. Returns whether it was found.
    bool storeIn(IpStackFacts& facts) const;
    void log(char level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    bool found = false;
    uint8_t address[16] = {};

private:
    void discoverThroughSystemResolver();
    void discoverThroughServer(const std::string& server);
    bool acceptCandidate(const uint8_t candidate[16], const char* text);

    bool m_systemDnsKnown = false;
    std::vector<std::string> m_systemDns;
    Nat64LookupForTest m_lookup;
    uint16_t m_probePort = 53;
    std::vector<std::pair<char, std::string>> m_log;
};
void setNat64LookupForTest(Nat64LookupForTest lookup);

// Test-only: the UDP port of the direct query (0 restores 53), so that a
// test resolver need not own port 53.
void setNat64ProbePortForTest(uint16_t port);
