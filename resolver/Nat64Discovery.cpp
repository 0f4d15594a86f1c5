#include "resolver/Nat64Discovery.h"

#include "base/Logger.h"
#include "base/UniqueSocket.h"
#include "proxy/NcmProxy.h"
#include "resolver/DnsMessage.h"
#include "resolver/LocalIpStack.h"
#include "transport/Nat64Address.h"

#include <event2/util.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const char WellKnownName[] = "ipv4only.arpa";
constexpr int ProbeTimeoutMs = 5000;

Nat64LookupForTest g_lookup;
uint16_t g_probePort = 0;

int systemLookup(const char* host, std::vector<sockaddr_storage>& results)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &list);
    if (rc != 0)
        return rc;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        sockaddr_storage storage;
        std::memset(&storage, 0, sizeof storage);
        if (ai->ai_addr && ai->ai_addrlen <= sizeof storage)
            std::memcpy(&storage, ai->ai_addr, ai->ai_addrlen);
        // Keep the family even for an address we could not copy, so that it
        // is reported like any other unexpected entry.
        storage.ss_family = static_cast<sa_family_t>(ai->ai_family);
        results.push_back(storage);
    }
    freeaddrinfo(list);
    return 0;
}

int lookup(const char* host, std::vector<sockaddr_storage>& results)
{
    return g_lookup ? g_lookup(host, results) : systemLookup(host, results);
}

uint16_t probePort()
{
    return g_probePort ? g_probePort : 53;
}

// What the search found; filled by whichever thread runs it.
struct Nat64Found {
    bool known = false;
    uint8_t address[16] = {};
};

// Keeps the address when it embeds the well-known IPv4 address.
bool acceptCandidate(Nat64Found& found, const uint8_t address[16], const char* text)
{
    if (!CheckNat64Address(address)) {
        logDnsClient.error("AF_INET6 Nat64 addr invalid = %s", toHexString(address, 16).c_str());
        return false;
    }
    std::memcpy(found.address, address, 16);
    logDnsClient.debug("AF_INET6 Nat64 ip_str = %s", text);
    found.known = true;
    return true;
}

void discoverThroughSystemResolver(Nat64Found& proxy)
{
    std::vector<sockaddr_storage> results;
    const int rc = lookup(WellKnownName, results);
    if (rc != 0) {
        logDnsClient.error("getaddrinfo error = %d", rc);
        return;
    }
    for (const sockaddr_storage& entry : results) {
        char text[64] = "";
        if (entry.ss_family == AF_INET6) {
            const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&entry);
            const auto* bytes = reinterpret_cast<const uint8_t*>(&sin6->sin6_addr);
            evutil_inet_ntop(AF_INET6, bytes, text, sizeof text);
            if (acceptCandidate(proxy, bytes, text))
                break;
        } else if (entry.ss_family == AF_INET) {
            const auto* sin = reinterpret_cast<const sockaddr_in*>(&entry);
            evutil_inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
            logDnsClient.debug("AF_INET ip_str = %s", text);
        } else {
            logDnsClient.error("invalid ai_family = %d", entry.ss_family);
        }
    }
}

// One AAAA query to the server over a connected socket (datagrams from
// anyone else never arrive); only the reply to this query counts, others are
// skipped until the time-out. Blocks at most that long.
void discoverThroughServer(Nat64Found& proxy, const std::string& server)
{
    const UniqueSocket fd(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return;

    std::vector<uint8_t> query;
    ncm_dns_build_query(WellKnownName, query, false);

    const std::string target = "[" + server + "]:" + std::to_string(probePort());
    sockaddr_storage address;
    int addressLength = sizeof address;
    std::memset(&address, 0, sizeof address);
    if (evutil_parse_sockaddr_port(target.c_str(), reinterpret_cast<sockaddr*>(&address), &addressLength)
        != 0) {
        logDnsClient.error("evutil_parse_sockaddr_port error: %s", server.c_str());
        return;
    }
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), static_cast<socklen_t>(addressLength))
        != 0) {
        logDnsClient.error("connect error: %d[%s]", errno, server.c_str());
        return;
    }

    const size_t messageLength = query.size() - 2;
    const ssize_t sent = send(fd.get(), query.data() + 2, messageLength, MSG_NOSIGNAL);
    if (sent < static_cast<ssize_t>(messageLength)) {
        logDnsClient.error("sendto error: %d[%s]", static_cast<int>(sent), server.c_str());
        return;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ProbeTimeoutMs);
    std::vector<std::string> addresses;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            logDnsClient.error("recvfrom error: time-out([%s])", server.c_str());
            return;
        }
        timeval timeout { static_cast<time_t>(left.count() / 1000000),
            static_cast<suseconds_t>(left.count() % 1000000) };
        if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
            logDnsClient.error("socket option  SO_RCVTIMEO not support");
            return;
        }
        uint8_t datagram[4096];
        const ssize_t received = recv(fd.get(), datagram, sizeof datagram, 0);
        if (received < 1) {
            if (received < 0 && errno == EINTR)
                continue;
            logDnsClient.error("recvfrom error: %d([%s])", static_cast<int>(received), server.c_str());
            return;
        }
        const int rc = ncm_dns_parse_response(
            query.data() + 2, messageLength, datagram, static_cast<size_t>(received), addresses, false);
        if (rc == -2) {
            logDnsClient.debug("udp datagram for 'ipv4only.arpa' ignored: not the reply");
            continue;
        }
        if (rc != 0) {
            logDnsClient.error("ncm_dns_parse_response response valid fail");
            return;
        }
        break;
    }

    logDnsClient.debug("udp over 'ipv4only.arpa' with %d ip", static_cast<int>(addresses.size()));
    for (const std::string& text : addresses) {
        logDnsClient.debug("udp over 'ipv4only.arpa': %s", text.c_str());
        uint8_t bytes[16];
        if (evutil_inet_pton(AF_INET6, text.c_str(), bytes) != 1)
            continue;
        if (acceptCandidate(proxy, bytes, text.c_str()))
            break;
    }
}

} // namespace

bool findNat64Address(bool systemDnsKnown, const std::vector<std::string>& systemDns, uint8_t address[16])
{
    Nat64Found found;
    discoverThroughSystemResolver(found);
    if (!found.known && systemDnsKnown && !systemDns.empty())
        discoverThroughServer(found, systemDns.front());
    if (found.known)
        std::memcpy(address, found.address, 16);
    return found.known;
}

void discoverNat64(NcmProxy& proxy, bool systemDnsKnown, const std::vector<std::string>& systemDns)
{
    if (findNat64Address(systemDnsKnown, systemDns, proxy.ipStack.nat64Address))
        proxy.ipStack.nat64Known = true;
}

void setNat64LookupForTest(Nat64LookupForTest lookup)
{
    g_lookup = std::move(lookup);
}

void setNat64ProbePortForTest(uint16_t port)
{
    g_probePort = port;
}
