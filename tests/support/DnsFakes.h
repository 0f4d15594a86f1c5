#pragma once
// DNS test fakes: a reply builder, DNS and HTTP-DNS servers on loopback, a client run by the test.
#include "base/UniqueSocket.h"
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
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace dnstest {

using Bytes = std::vector<uint8_t>;

Bytes pointerTo(uint16_t offset);

struct Record {
    Bytes owner; // encoded name or pointer
    uint16_t type;
    uint16_t rclass;
    Bytes rdata;
};

// A, or AAAA for an IPv6 text.
Record addressRecord(const std::string& address, Bytes owner = pointerTo(12));

// A reply to `query` (unframed): its identifier and question, these flags and sections.
Bytes makeReply(const Bytes& query, uint16_t flags, const std::vector<Record>& answers,
    const std::vector<Record>& authority = {});

// An IPv4 or IPv6 address, as a resolver hands it out; one of another family when the text is neither.
sockaddr_storage socketAddress(const std::string& text);

// Reports with each "timestamp" replaced by T once checked to be within a minute of now.
std::string maskTimestamps(const std::string& reports);

// What a fake DNS server does with one question.
struct DnsAnswer {
    enum Kind { Addresses, Silent, NxDomain, ServFail };
    DnsAnswer(std::vector<std::string> addresses = {}, Kind kind = Addresses)
        : addresses(std::move(addresses))
        , kind(kind)
    {
    }
    DnsAnswer(Kind kind)
        : kind(kind)
    {
    }
    std::vector<std::string> addresses; // A records, or AAAA for IPv6 texts
    Kind kind;
    bool forgedFirst = false; // UDP: garbage and a reply with another identifier first
    bool emptyFrame = false; // TCP: a frame of length 0 instead of the reply
};

// A TCP reply in pieces of these sizes (then the rest) with pauses between, or cut after closeAfter bytes.
struct TcpPlan {
    std::vector<size_t> pieces;
    int gapMs = 0;
    long closeAfter = -1;
};

// A DNS server on address:DnsTestPort, UDP and optionally TCP, on its own thread; throws when it cannot bind.
class FakeDnsServer {
public:
    using Handler = std::function<DnsAnswer(const std::string& name)>;
    FakeDnsServer(const std::string& address, Handler handler, bool tcp = false, TcpPlan plan = {});
    ~FakeDnsServer();

    std::vector<std::string> names() const; // asked, in order of arrival
    size_t count() const { return names().size(); }
    std::vector<Bytes> tcpQueries() const; // raw framed bytes

private:
    DnsAnswer ask(const Bytes& query, const Bytes* framed); // records the question
    void run();
    void serveTcp(int fd);
    Handler m_handler;
    TcpPlan m_plan;
    UniqueSocket m_udp;
    UniqueSocket m_tcp;
    std::atomic<bool> m_stop { false };
    mutable std::mutex m_mutex;
    std::vector<std::string> m_names;
    std::vector<Bytes> m_tcpQueries;
    std::thread m_thread;
};

inline FakeDnsServer::Handler always(DnsAnswer answer)
{
    return [answer](const std::string&) { return answer; };
}
inline FakeDnsServer::Handler always(std::vector<std::string> addresses)
{
    return always(DnsAnswer(std::move(addresses)));
}

struct HttpDnsRequest {
    std::string head;
    std::string body;
};

// An HTTP-DNS server on address:<ephemeral> giving every request this response, or none at all.
class FakeHttpDns {
public:
    FakeHttpDns(const char* address, std::optional<std::string> response);
    std::string server() const { return m_address + ":" + std::to_string(m_upstream->port()); }
    std::vector<HttpDnsRequest> requests() const;

    static std::string ok(const std::string& body); // a 200 response

private:
    std::string m_address;
    std::optional<std::string> m_response;
    mutable std::mutex m_mutex;
    std::vector<HttpDnsRequest> m_requests;
    std::unique_ptr<testsupport::TestUpstream> m_upstream;
};

// A DNS client on its own event base, not activated, IPv4 only (no NAT64 search); no task may outlive it.
class ClientHarness {
public:
    ClientHarness();
    ~ClientHarness();
    void start(const std::string& configText); // parses it (at LogLevel=V), creates the client
    bool runUntil(const std::function<bool()>& pred, int timeoutMs = 5000);

    NcmProxy proxy;
    std::shared_ptr<NcmDnsClient> client;
};

struct Caller {
    Caller() = default;
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;
    std::vector<std::string> answers;
    DnsCallback callback = [this](const std::string& ip) { answers.push_back(ip); };
    bool answered() const { return !answers.empty(); }
};

} // namespace dnstest
