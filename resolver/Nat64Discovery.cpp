#include "resolver/Nat64Discovery.h"

#include "base/Logger.h"
#include "base/UniqueSocket.h"
#include "resolver/DnsMessage.h"
#include "resolver/LocalIpStack.h"
#include "transport/Nat64Address.h"

#include <event2/util.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
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

} // namespace

Nat64Search::Nat64Search(bool systemDnsKnown, std::vector<std::string> systemDns)
    : m_systemDnsKnown(systemDnsKnown)
    , m_systemDns(std::move(systemDns))
    , m_lookup(g_lookup ? g_lookup : systemLookup)
    , m_probePort(g_probePort ? g_probePort : 53)
{
}

void Nat64Search::log(char level, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    m_log.emplace_back(level, text);
}

void Nat64Search::writeLog() const
{
    for (const auto& line : m_log) {
        if (line.first == 'E')
            logDnsClient.error("%s", line.second.c_str());
        else
            logDnsClient.debug("%s", line.second.c_str());
    }
}

// Keeps the address when it embeds the well-known IPv4 address.
bool Nat64Search::acceptCandidate(const uint8_t candidate[16], const char* text)
{
    if (!CheckNat64Address(candidate)) {
        log('E', "AF_INET6 Nat64 addr invalid = %s", toHexString(candidate, 16).c_str());
        return false;
    }
    std::memcpy(address, candidate, 16);
    log('D', "AF_INET6 Nat64 ip_str = %s", text);
    found = true;
    return true;
}

void Nat64Search::discoverThroughSystemResolver()
{
    std::vector<sockaddr_storage> results;
    const int rc = m_lookup(WellKnownName, results);
    if (rc != 0) {
        log('E', "getaddrinfo error = %d", rc);
        return;
    }
    for (const sockaddr_storage& entry : results) {
        char text[64] = "";
        if (entry.ss_family == AF_INET6) {
            const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&entry);
            const auto* bytes = reinterpret_cast<const uint8_t*>(&sin6->sin6_addr);
            evutil_inet_ntop(AF_INET6, bytes, text, sizeof text);
            if (acceptCandidate(bytes, text))
                break;
        } else if (entry.ss_family == AF_INET) {
            const auto* sin = reinterpret_cast<const sockaddr_in*>(&entry);
            evutil_inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
            log('D', "AF_INET ip_str = %s", text);
        } else {
            log('E', "invalid ai_family = %d", entry.ss_family);
        }
    }
}

// One AAAA query to the server over a connected socket (datagrams from
// anyone else never arrive); only the reply to this query counts, others are
// skipped until the time-out. Blocks at most that long.
void Nat64Search::discoverThroughServer(const std::string& server)
{
    const UniqueSocket fd(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return;

    std::vector<uint8_t> query;
    ncm_dns_build_query(WellKnownName, query, false);

    const std::string target = "[" + server + "]:" + std::to_string(m_probePort);
    sockaddr_storage address;
    int addressLength = sizeof address;
    std::memset(&address, 0, sizeof address);
    if (evutil_parse_sockaddr_port(target.c_str(), reinterpret_cast<sockaddr*>(&address), &addressLength)
        != 0) {
        log('E', "evutil_parse_sockaddr_port error: %s", server.c_str());
        return;
    }
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), static_cast<socklen_t>(addressLength))
        != 0) {
        log('E', "connect error: %d[%s]", errno, server.c_str());
        return;
    }

    const size_t messageLength = query.size() - 2;
    const ssize_t sent = send(fd.get(), query.data() + 2, messageLength, MSG_NOSIGNAL);
    if (sent < static_cast<ssize_t>(messageLength)) {
        log('E', "sendto error: %d[%s]", static_cast<int>(sent), server.c_str());
        return;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ProbeTimeoutMs);
    std::vector<std::string> addresses;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            log('E', "recvfrom error: time-out([%s])", server.c_str());
            return;
        }
        timeval timeout { static_cast<time_t>(left.count() / 1000000),
            static_cast<suseconds_t>(left.count() % 1000000) };
        if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
            log('E', "socket option  SO_RCVTIMEO not support");
            return;
        }
        uint8_t datagram[4096];
        const ssize_t received = recv(fd.get(), datagram, sizeof datagram, 0);
        if (received < 1) {
            if (received < 0 && errno == EINTR)
                continue;
            log('E', "recvfrom error: %d([%s])", static_cast<int>(received), server.c_str());
            return;
        }
        const int rc = ncm_dns_parse_response(
            query.data() + 2, messageLength, datagram, static_cast<size_t>(received), addresses, false);
        if (rc == -2) {
            log('D', "udp datagram for 'ipv4only.arpa' ignored: not the reply");
            continue;
        }
        if (rc != 0) {
            log('E', "ncm_dns_parse_response response valid fail");
            return;
        }
        break;
    }

    log('D', "udp over 'ipv4only.arpa' with %d ip", static_cast<int>(addresses.size()));
    for (const std::string& text : addresses) {
        log('D', "udp over 'ipv4only.arpa': %s", text.c_str());
        uint8_t bytes[16];
        if (evutil_inet_pton(AF_INET6, text.c_str(), bytes) != 1)
            continue;
        if (acceptCandidate(bytes, text.c_str()))
            break;
    }
}

void Nat64Search::run()
{
    discoverThroughSystemResolver();
    if (!found && m_systemDnsKnown && !m_systemDns.empty())
        discoverThroughServer(m_systemDns.front());
}

bool Nat64Search::storeIn(IpStackFacts& facts) const
{
    if (!found)
        return false;
    std::memcpy(facts.nat64Address, address, sizeof address);
    facts.nat64Known = true;
    return true;
}

void setNat64LookupForTest(Nat64LookupForTest lookup)
{
    g_lookup = std::move(lookup);
}

void setNat64ProbePortForTest(uint16_t port)
{
    g_probePort = port;
}
