#pragma once
// Fakes and helpers for the DNS tests: hand-made replies (one builder), DNS
// and HTTP-DNS servers answering by name and a DNS client driven by the test
// thread.
// Everything listens on loopback only.
#include "proxy/NcmProxy.h"
#include "resolver/NcmDnsClient.h"
#include "tests/support/ProxyHarness.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace dnstest {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex); // bytes separated by spaces
std::string toHex(const Bytes& bytes);

// Name as uncompressed labels ("a.b" -> 01 61 01 62 00).
Bytes labels(const std::string& name);
// A compression pointer to `offset`.
Bytes pointerTo(uint16_t offset);

struct Record {
    Bytes owner; // encoded name or pointer
    uint16_t type;
    uint16_t rclass;
    uint32_t ttl;
    Bytes rdata;
    // When set, written instead of rdata.size() (for lying records).
    int rdlengthOverride = -1;
};

Record aRecord(const std::string& address, Bytes owner = pointerTo(12));
Record aaaaRecord(const std::string& address, Bytes owner = pointerTo(12));
Record soaRecord(Bytes owner = pointerTo(12));

// A reply to `query` (a message without framing): same identifier and
// question, the given flags and sections.
Bytes makeReply(const Bytes& query, uint16_t flags, const std::vector<Record>& answers,
    const std::vector<Record>& authority = {});

// The message part of a framed query built by ncm_dns_build_query.
Bytes buildQueryMessage(const char* name, bool wantA);

// What a fake DNS server does with one question.
struct DnsAnswer {
    enum Kind { Addresses, Silent, NxDomain, ServFail };
    Kind kind = Addresses;
    std::vector<std::string> addresses; // A records, or AAAA with ipv6
    bool ipv6 = false;
    int delayMs = 0;
    // UDP: a garbage datagram and a reply with another identifier go first.
    bool forgedFirst = false;
    // TCP: a frame of length 0 instead of the reply.
    bool emptyFrame = false;

    static DnsAnswer with(std::vector<std::string> addresses, int delayMs = 0)
    {
        DnsAnswer answer;
        answer.addresses = std::move(addresses);
        answer.delayMs = delayMs;
        return answer;
    }
    static DnsAnswer withIpv6(std::vector<std::string> addresses)
    {
        DnsAnswer answer = with(std::move(addresses));
        answer.ipv6 = true;
        return answer;
    }
    static DnsAnswer silent()
    {
        DnsAnswer answer;
        answer.kind = Silent;
        return answer;
    }
    static DnsAnswer nxdomain()
    {
        DnsAnswer answer;
        answer.kind = NxDomain;
        return answer;
    }
};

// Report text with every "timestamp" value replaced by T, after checking
// that each was a plausible current time (within a minute of now).
std::string maskTimestamps(const std::string& reports);

// makeReply for a fake server's answer: the addresses as A (or AAAA)
// records, or an error code.
Bytes makeReply(const Bytes& query, const DnsAnswer& answer);
// The question name of a query message, or "" when it does not decode.
std::string questionName(const Bytes& query);

// How a TCP reply is written: in pieces of the given sizes (the rest in one
// last piece) with a pause between them, or cut after `closeAfter` bytes.
struct TcpPlan {
    std::vector<size_t> pieces;
    int gapMs = 0;
    long closeAfter = -1;
};

// A DNS server on address:DnsTestPort, UDP and (optionally) TCP, answering
// from its own thread; points the resolver at that port. Each test uses its own addresses.
class FakeDnsServer {
public:
    using Handler = std::function<DnsAnswer(const std::string& name)>;
    FakeDnsServer(const std::string& address, Handler handler, bool tcp = false, TcpPlan plan = {});
    ~FakeDnsServer();
    FakeDnsServer(const FakeDnsServer&) = delete;
    FakeDnsServer& operator=(const FakeDnsServer&) = delete;

    bool ok() const { return m_udp >= 0 && (!m_tcpWanted || m_tcp >= 0); }
    const std::string& address() const { return m_address; }
    // Names asked, in order of arrival (UDP and TCP).
    std::vector<std::string> names() const;
    size_t count() const;
    // Raw framed bytes of every TCP query received.
    std::vector<Bytes> tcpQueries() const;

private:
    void run();
    void serveTcp(int fd);
    std::string m_address;
    Handler m_handler;
    bool m_tcpWanted;
    TcpPlan m_plan;
    int m_udp = -1;
    int m_tcp = -1;
    std::atomic<bool> m_stop { false };
    mutable std::mutex m_mutex;
    std::vector<std::string> m_names;
    std::vector<Bytes> m_tcpQueries;
    std::thread m_thread;
};

// One request as an HTTP-DNS server saw it.
struct HttpDnsRequest {
    std::string head;
    std::string body;
};

// An HTTP-DNS server on address:<ephemeral>. The handler returns the whole
// response (status line included), or nothing to keep the client waiting
// until the server stops.
class FakeHttpDns {
public:
    using Handler = std::function<std::optional<std::string>(const HttpDnsRequest&)>;
    FakeHttpDns(const char* address, Handler handler);
    std::string server() const { return m_address + ":" + std::to_string(m_upstream->port()); }
    std::vector<HttpDnsRequest> requests() const;
    void stop() { m_upstream->stop(); }

    // A 200 response carrying `body`.
    static std::string ok(const std::string& body);

private:
    std::string m_address;
    Handler m_handler;
    mutable std::mutex m_mutex;
    std::vector<HttpDnsRequest> m_requests;
    std::unique_ptr<testsupport::TestUpstream> m_upstream;
};

// A DNS client on its own event base, not activated: the test thread runs
// the loop. The local IP stack is fixed to IPv4 so that nothing looks for a
// NAT64 gateway beyond this machine.
class ClientHarness {
public:
    ClientHarness();
    ~ClientHarness();
    // Parses the configuration text and creates the client.
    void start(const std::string& configText);
    event_base* base() const { return proxy.eventBase(); }
    bool runUntil(const std::function<bool()>& pred, int timeoutMs = 5000);

    NcmProxy proxy;
    std::shared_ptr<NcmDnsClient> client;
};

// Records what the client hands to one caller.
struct Caller {
    Caller() = default;
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;
    std::vector<std::string> answers;
    DnsCallback callback = [this](const std::string& ip) { answers.push_back(ip); };
    bool answered() const { return !answers.empty(); }
};

} // namespace dnstest
