#include "tests/support/DnsFakes.h"

#include "base/Clock.h"
#include "resolver/DnsMessage.h"
#include "resolver/LocalIpStack.h"
#include "resolver/NcmDnsResolutionTask.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <regex>
#include <stdexcept>
#include <sys/socket.h>

namespace dnstest {

Bytes pointerTo(uint16_t offset)
{
    return { static_cast<uint8_t>(0xC0 | (offset >> 8)), static_cast<uint8_t>(offset & 0xFF) };
}

Record addressRecord(const std::string& address, Bytes owner)
{
    const bool v6 = address.find(':') != std::string::npos;
    Bytes data(v6 ? 16 : 4);
    if (inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(), data.data()) != 1)
        throw std::invalid_argument(address);
    return { std::move(owner), v6 ? DnsTypeAaaa : DnsTypeA, DnsClassIn, data };
}

sockaddr_storage socketAddress(const std::string& text)
{
    sockaddr_storage s {};
    int length = sizeof s;
    if (evutil_parse_sockaddr_port(text.c_str(), reinterpret_cast<sockaddr*>(&s), &length) != 0)
        s.ss_family = AF_UNIX;
    return s;
}

namespace {

    void put16(Bytes& out, uint16_t v)
    {
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v & 0xFF));
    }

    void putRecord(Bytes& out, const Record& r)
    {
        out.insert(out.end(), r.owner.begin(), r.owner.end());
        put16(out, r.type);
        put16(out, r.rclass);
        put16(out, 0);
        put16(out, 60); // TTL
        put16(out, static_cast<uint16_t>(r.rdata.size()));
        out.insert(out.end(), r.rdata.begin(), r.rdata.end());
    }

    UniqueSocket bindOn(const std::string& address, int type)
    {
        UniqueSocket fd(testsupport::bindSocket(address.c_str(), testsupport::DnsTestPort, type));
        if (!fd.valid() || (type == SOCK_STREAM && listen(fd.get(), 16) != 0))
            throw std::runtime_error("cannot bind a fake DNS server on " + address);
        return fd;
    }

    // Sleeps in small steps so that a stopping server does not wait long.
    void pause(int ms, const std::atomic<bool>& stop)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!stop && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    Bytes replyFor(const Bytes& query, const DnsAnswer& answer)
    {
        static const uint16_t rcodes[] = { 0, 0, 3, 2 }; // by DnsAnswer::Kind
        std::vector<Record> answers;
        // A failure code may come with records; the client must not use them.
        if (answer.kind != DnsAnswer::NxDomain)
            for (const std::string& address : answer.addresses)
                answers.push_back(addressRecord(address));
        return makeReply(query, 0x8180 | rcodes[answer.kind], answers);
    }

    std::string questionName(const Bytes& query)
    {
        char name[DnsNameBufferSize];
        size_t position = 12;
        return ncm_dns_decode_name(query.data(), query.size(), position, name, sizeof name) == 0 ? name : "";
    }

} // namespace

Bytes makeReply(const Bytes& query, uint16_t flags, const std::vector<Record>& answers,
    const std::vector<Record>& authority)
{
    Bytes out(query.begin(), query.begin() + 2); // identifier
    put16(out, flags);
    put16(out, 1);
    put16(out, static_cast<uint16_t>(answers.size()));
    put16(out, static_cast<uint16_t>(authority.size()));
    put16(out, 0);
    out.insert(out.end(), query.begin() + 12, query.end()); // the question
    for (const Record& r : answers)
        putRecord(out, r);
    for (const Record& r : authority)
        putRecord(out, r);
    return out;
}

std::string maskTimestamps(const std::string& reports)
{
    static const std::regex stamp("\"timestamp\":(\\d+)");
    const int64_t now = Clock::nowSeconds();
    std::string out;
    auto tail = reports.begin();
    for (std::sregex_iterator m(reports.begin(), reports.end(), stamp), end; m != end; ++m) {
        const int64_t value = std::stoll((*m)[1]);
        out.append(tail, (*m)[0].first) += value > now - 60 && value <= now + 1 ? "\"timestamp\":T" : "BAD";
        tail = (*m)[0].second;
    }
    return out.append(tail, reports.end());
}

FakeDnsServer::FakeDnsServer(const std::string& address, Handler handler, bool tcp, TcpPlan plan)
    : m_handler(std::move(handler))
    , m_plan(std::move(plan))
{
    setDnsPortForTest(testsupport::DnsTestPort);
    m_udp = bindOn(address, SOCK_DGRAM);
    if (tcp)
        m_tcp = bindOn(address, SOCK_STREAM);
    m_thread = std::thread([this] { run(); });
}

FakeDnsServer::~FakeDnsServer()
{
    m_stop = true;
    m_thread.join();
}

std::vector<std::string> FakeDnsServer::names() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_names;
}

std::vector<Bytes> FakeDnsServer::tcpQueries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tcpQueries;
}

DnsAnswer FakeDnsServer::ask(const Bytes& query, const Bytes* framed)
{
    const std::string name = questionName(query);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_names.push_back(name);
        if (framed)
            m_tcpQueries.push_back(*framed);
    }
    return m_handler(name);
}

void FakeDnsServer::run()
{
    while (!m_stop) {
        pollfd fds[2] = { { m_udp.get(), POLLIN, 0 }, { m_tcp.get(), POLLIN, 0 } };
        if (poll(fds, m_tcp.valid() ? 2 : 1, 20) <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            uint8_t datagram[4096];
            sockaddr_storage peer;
            socklen_t peerLength = sizeof peer;
            auto* to = reinterpret_cast<sockaddr*>(&peer);
            const ssize_t n = recvfrom(m_udp.get(), datagram, sizeof datagram, 0, to, &peerLength);
            if (n < 12)
                continue;
            const Bytes query(datagram, datagram + n);
            const DnsAnswer answer = ask(query, nullptr);
            std::vector<Bytes> replies;
            if (answer.forgedFirst) {
                replies.push_back({ 'x', 'y', 'z' });
                replies.push_back(replyFor(query, DnsAnswer({ "10.66.66.66" })));
                replies.back()[1] ^= 0x5A;
            }
            if (answer.kind != DnsAnswer::Silent)
                replies.push_back(replyFor(query, answer));
            for (const Bytes& reply : replies)
                sendto(m_udp.get(), reply.data(), reply.size(), 0, to, peerLength);
        }
        if (m_tcp.valid() && (fds[1].revents & POLLIN)) {
            const UniqueSocket connection(accept4(m_tcp.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (connection.valid())
                serveTcp(connection.get());
        }
    }
}

void FakeDnsServer::serveTcp(int fd)
{
    const std::string length = testsupport::readSome(fd, 2, 3000);
    if (length.size() < 2)
        return;
    const std::string rest = testsupport::readSome(fd, uint8_t(length[0]) << 8 | uint8_t(length[1]), 3000);
    Bytes framed(length.begin(), length.end());
    framed.insert(framed.end(), rest.begin(), rest.end());
    const Bytes query(framed.begin() + 2, framed.end());
    if (query.size() < 12)
        return;
    const DnsAnswer answer = ask(query, &framed);
    if (answer.emptyFrame)
        send(fd, "\0\0", 2, MSG_NOSIGNAL);
    if (answer.kind == DnsAnswer::Silent || answer.emptyFrame)
        return pause(3000, m_stop);
    const Bytes message = replyFor(query, answer);
    Bytes reply { static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size()) };
    reply.insert(reply.end(), message.begin(), message.end());
    if (m_plan.closeAfter >= 0 && static_cast<size_t>(m_plan.closeAfter) < reply.size())
        reply.resize(static_cast<size_t>(m_plan.closeAfter));
    size_t offset = 0;
    for (size_t piece : m_plan.pieces) {
        piece = std::min(piece, reply.size() - offset);
        send(fd, reply.data() + offset, piece, MSG_NOSIGNAL);
        offset += piece;
        pause(m_plan.gapMs, m_stop);
    }
    send(fd, reply.data() + offset, reply.size() - offset, MSG_NOSIGNAL);
    // Unless cut short, let the client close first, as a server keeping the stream would.
    pollfd p { fd, POLLIN, 0 };
    if (m_plan.closeAfter < 0)
        poll(&p, 1, 1000);
}

FakeHttpDns::FakeHttpDns(const char* address, std::optional<std::string> response)
    : m_address(address)
    , m_response(std::move(response))
{
    m_upstream = std::make_unique<testsupport::TestUpstream>(
        [this](int fd) {
            HttpDnsRequest request;
            request.head = testsupport::readHead(fd, 5000);
            if (request.head.empty())
                return;
            const char* length = strcasestr(request.head.c_str(), "\r\ncontent-length:");
            request.body
                = testsupport::readSome(fd, length ? std::strtoul(length + 17, nullptr, 10) : 0, 5000);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(request);
            }
            if (m_response)
                testsupport::sendAll(fd, *m_response);
            testsupport::readAll(fd, m_response ? 2000 : 15000);
        },
        address);
}

std::vector<HttpDnsRequest> FakeHttpDns::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::string FakeHttpDns::ok(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size())
        + "\r\nConnection: close\r\n\r\n" + body;
}

ClientHarness::ClientHarness()
{
    proxyGlobalInit();
    setLocalIpStackDetectorForTest([] { return ELocalIPStack_IPv4; });
    proxy.runtime->eventBase.reset(event_base_new());
    proxy.stats = std::make_shared<NcmStats>();
}

ClientHarness::~ClientHarness()
{
    client.reset();
    EXPECT_EQ(proxy.stats->dnsctx, 0) << "a task outlived the client";
    proxy.stats.reset();
    setLocalIpStackDetectorForTest(nullptr);
    Clock::resetForTest();
}

void ClientHarness::start(const std::string& configText)
{
    proxy.config = ProxyConfig();
    proxy.config.parse("LogLevel=V\n" + configText);
    client = std::make_shared<NcmDnsClient>(&proxy.resolverHost);
}

bool ClientHarness::runUntil(const std::function<bool()>& pred, int timeoutMs)
{
    return testsupport::runUntil(proxy.eventBase(), pred, timeoutMs);
}

} // namespace dnstest
