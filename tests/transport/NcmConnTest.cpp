// The event contract every NcmConn keeps, against TCP and KCP peers; then what only one of them does.
#include "base/ByteOrder.h"
#include "base/Clock.h"
#include "base/SocketUtil.h"
#include "proxy/NcmProxy.h"
#include "relay/KcpRelay.h"
#include "tests/support/KcpSimulatedNetwork.h"
#include "tests/support/TestSupport.h"
#include "transport/Nat64Address.h"
#include "transport/NcmConnKcp.h"
#include "transport/NcmConnTcp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <linux/sock_diag.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::runFor;
using testsupport::runUntil;

namespace {

// The far end of a TCP connection on the test's event base: writes what it is given, reads while reading.
class TcpPeer {
public:
    static constexpr size_t BackPressureBytes = 24u << 20; // more than the kernel buffers hold
    static constexpr bool WriteWaitsForConnect = true;
    using Conn = NcmConnTcp;
    static uint64_t socketDrops(NcmConn*) { return 0; }

    explicit TcpPeer(event_base* base, const char* host = "127.0.0.1")
        : m_host(host)
        , m_listener(testsupport::listenTcp(host, m_port))
    {
        evutil_make_socket_nonblocking(m_listener.get());
        m_timer.reset(event_new(
            base, -1, EV_PERSIST,
            [](evutil_socket_t, short, void* self) { static_cast<TcpPeer*>(self)->tick(); }, this));
        timeval tv { 0, 2000 };
        event_add(m_timer.get(), &tv);
    }
    static std::unique_ptr<NcmConn> create(event_base* base, NcmKcpManager&)
    {
        return std::make_unique<NcmConnTcp>(base);
    }
    std::string address() const { return m_host + ":" + std::to_string(m_port); }
    void send(const std::string& data) { m_pending += data; }
    void sendEndOfStream() { m_endPending = true; }
    void setReading(bool on) { m_reading = on; }
    // New handshakes are dropped: the accept queue is full and nobody accepts.
    void setAnswering(bool)
    {
        m_port = 0;
        m_listener.reset(testsupport::listenTcp(m_host.c_str(), m_port, 0));
        m_accepting = false;
        sockaddr_storage to;
        socklen_t length = 0;
        ASSERT_TRUE(parseSocketAddress(address(), to, length));
        for (int i = 0; i < 4; ++i) {
            m_fillers.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            connect(m_fillers.back().get(), reinterpret_cast<sockaddr*>(&to), length);
        }
        usleep(100 * 1000);
    }
    const std::string& received() const { return m_received; }
    bool clientEnded() const { return m_clientEnded; }

private:
    void tick()
    {
        // The newest connection is the one served.
        const int fd = m_accepting ? accept4(m_listener.get(), nullptr, nullptr, SOCK_NONBLOCK) : -1;
        if (fd >= 0) {
            m_fd.reset(fd);
            m_clientEnded = false;
        }
        if (!m_fd.valid())
            return;
        while (!m_pending.empty()) {
            const ssize_t n = ::send(m_fd.get(), m_pending.data(), m_pending.size(), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            m_pending.erase(0, static_cast<size_t>(n));
        }
        if (m_pending.empty() && m_endPending) {
            shutdown(m_fd.get(), SHUT_WR);
            m_endPending = false;
        }
        char buffer[65536];
        while (m_reading && !m_clientEnded) {
            const ssize_t n = recv(m_fd.get(), buffer, sizeof buffer, 0);
            if (n > 0)
                m_received.append(buffer, static_cast<size_t>(n));
            m_clientEnded = n == 0 || (n < 0 && errno != EAGAIN); // a reset ends it too
            if (n <= 0)
                break;
        }
    }

    std::string m_host;
    int m_port = 0;
    UniqueSocket m_listener;
    UniqueSocket m_fd;
    bool m_accepting = true;
    std::vector<UniqueSocket> m_fillers;
    EventPtr m_timer;
    std::string m_pending;
    bool m_endPending = false;
    bool m_reading = true;
    bool m_clientEnded = false;
    std::string m_received;
};

// The relay in front of a TcpPeer; not answering, a bare UDP socket takes the relay's port.
class KcpPeer : public TcpPeer {
public:
    static constexpr bool WriteWaitsForConnect = false; // owed at once, moving nothing before the Open
    using Conn = NcmConnKcp;

    explicit KcpPeer(event_base* base)
        : TcpPeer(base)
        , m_base(base)
    {
        std::string error;
        m_silent = bindUdpSocket("127.0.6.1:0", 1 << 20, error);
        m_port = boundPort(m_silent.get());
        setAnswering(true);
    }
    static std::unique_ptr<NcmConn> create(event_base*, NcmKcpManager& manager)
    {
        std::unique_ptr<NcmConnKcp> conn = manager.createConnection();
        applyProxySettings(*conn);
        return conn;
    }
    std::string address() const { return "127.0.6.1:" + std::to_string(m_port); }
    // Datagrams the kernel dropped at the channel's socket; 0 when rmem_max caps the buffer below the window.
    static uint64_t socketDrops(NcmConn* conn)
    {
        const NcmKcpChannel* channel = static_cast<NcmConnKcp*>(conn)->channel();
        uint64_t systemMax = 0;
        std::ifstream("/proc/sys/net/core/rmem_max") >> systemMax;
        if (systemMax < uint64_t(channel->engine()->rcvWnd()) * channel->engine()->mtu())
            return 0;
        uint32_t memory[SK_MEMINFO_VARS] {};
        socklen_t length = sizeof memory;
        if (getsockopt(channel->socket(), SOL_SOCKET, SO_MEMINFO, memory, &length) != 0)
            return ~0ull;
        return memory[SK_MEMINFO_DROPS];
    }
    // The swap happens between two turns of the loop, so no datagram meets a closed port.
    void setAnswering(bool on)
    {
        m_relay.reset();
        m_silent.reset();
        std::string error;
        if (!on) {
            m_silent = bindUdpSocket(address(), 1 << 20, error);
            return;
        }
        KcpRelayOptions options;
        options.listen = address();
        options.upstream = TcpPeer::address();
        m_relay = std::make_unique<KcpRelay>(m_base, options);
        ASSERT_TRUE(m_relay->start(error)) << error;
    }
    bool established() const { return m_relay && m_relay->stats().opened > 0; }
    // The conversation ids of the datagrams that reached the silent socket (0 for a runt).
    std::set<uint32_t> conversationsSeen()
    {
        uint8_t buffer[2048];
        ssize_t n;
        while ((n = recv(m_silent.get(), buffer, sizeof buffer, 0)) >= 0)
            m_seen.insert(n >= 4 ? readLe32(buffer) : 0);
        return m_seen;
    }

private:
    event_base* m_base;
    int m_port = 0;
    UniqueSocket m_silent;
    std::unique_ptr<KcpRelay> m_relay;
    std::set<uint32_t> m_seen;
};

struct Seen {
    NcmConn::Event event;
    int32_t error;
    uint32_t size;
    bool operator==(const Seen& o) const { return event == o.event && error == o.error && size == o.size; }
};

bool descriptorOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

std::string drain(evbuffer* buffer)
{
    std::string out(evbuffer_get_length(buffer), '\0');
    evbuffer_remove(buffer, out.data(), out.size());
    return out;
}

template <typename Peer> class ConnContract : public ::testing::Test {
protected:
    void SetUp() override
    {
        proxyGlobalInit();
        base.reset(event_base_new());
        manager = std::make_unique<NcmKcpManager>(base.get());
        peer = std::make_unique<Peer>(base.get());
    }
    void TearDown() override { Clock::resetForTest(); }

    using Conn = typename Peer::Conn;
    Conn* makeConn()
    {
        conns.push_back(Peer::create(base.get(), *manager));
        conns.back()->setEventCallback([this](NcmConn*, NcmConn::Event e, int32_t error, uint32_t size) {
            events.push_back({ e, error, size });
        });
        return static_cast<Conn*>(conns.back().get());
    }
    Conn* connected()
    {
        Conn* conn = makeConn();
        conn->connect(&proxy.ipStack, peer->address(), 5);
        EXPECT_TRUE(events.empty()); // never from inside connect
        EXPECT_TRUE(until([&] { return !events.empty(); }));
        EXPECT_EQ(events, (std::vector<Seen> { { NcmConn::Connect, 0, 0u } }));
        events.clear();
        return conn;
    }
    bool until(const std::function<bool()>& done, int timeoutMs = 5000)
    {
        return runUntil(base.get(), done, timeoutMs);
    }
    size_t countOf(NcmConn::Event e) const
    {
        return std::count_if(events.begin(), events.end(), [e](const Seen& s) { return s.event == e; });
    }
    uint32_t sumOf(NcmConn::Event e) const
    {
        uint32_t n = 0;
        for (const auto& s : events)
            n += s.event == e ? s.size : 0;
        return n;
    }
    bool next(NcmConn* conn, bool read, int timeoutMs = 10000)
    {
        const size_t before = events.size();
        read ? conn->requestRead() : conn->requestWrite();
        return until([&] { return events.size() > before; }, timeoutMs);
    }

    EventBasePtr base;
    NcmProxy proxy;
    std::unique_ptr<Peer> peer;
    std::unique_ptr<NcmKcpManager> manager; // goes before the peer, after the connections
    std::vector<std::unique_ptr<NcmConn>> conns;
    std::vector<Seen> events;
};

using Transports = ::testing::Types<TcpPeer, KcpPeer>;
TYPED_TEST_SUITE(ConnContract, Transports);
using ConnTcpTest = ConnContract<TcpPeer>;
using ConnKcpTest = ConnContract<KcpPeer>;

} // namespace

TYPED_TEST(ConnContract, OneShotEventsWithTheirSizesThenOneEndOfStream)
{
    NcmConn* conn = this->connected();
    evbuffer_add(conn->output(), "0123456789", 10);
    conn->requestWrite();
    EXPECT_TRUE(this->events.empty());
    ASSERT_TRUE(this->until([&] { return !this->events.empty(); }));
    EXPECT_EQ(this->events[0], (Seen { NcmConn::Write, 0, 10u }));
    ASSERT_TRUE(this->until([&] { return this->peer->received() == "0123456789"; }));
    EXPECT_EQ(conn->bytesWritten(), 10u);
    this->events.clear();
    conn->requestRead();
    runFor(this->base.get(), 100);
    EXPECT_TRUE(this->events.empty());
    this->peer->send("hello");
    ASSERT_TRUE(this->until([&] { return !this->events.empty(); }));
    this->peer->send("again");
    runFor(this->base.get(), 100);
    EXPECT_EQ(this->events, (std::vector<Seen> { { NcmConn::Read, 0, 5u } })) << "one Read per request";
    conn->requestRead();
    EXPECT_EQ(conn->inputLength(), 5u) << "bytes enter the input only with their Read";
    ASSERT_TRUE(this->next(conn, true));
    EXPECT_EQ(this->events[1].size, 5u);
    EXPECT_EQ(drain(conn->input()), "helloagain");
    const std::string down = makePayload(1 << 20, 1);
    this->peer->send(down);
    std::string got;
    while (got.size() < down.size() && this->next(conn, true))
        got += drain(conn->input());
    EXPECT_TRUE(got == down);
    EXPECT_EQ(this->sumOf(NcmConn::Read), conn->bytesRead());
    EXPECT_EQ(conn->bytesRead(), 10u + down.size());
    EXPECT_EQ(TypeParam::socketDrops(conn), 0u) << "the kernel dropped datagrams on a perfect link";
    this->events.clear();
    this->peer->sendEndOfStream();
    while (this->next(conn, true) && this->events.back().size > 0) { }
    EXPECT_EQ(this->events.back(), (Seen { NcmConn::Read, 0, 0u }));
    const size_t seen = this->events.size();
    conn->requestRead();
    runFor(this->base.get(), 50);
    EXPECT_EQ(this->events.size(), seen);
}

TYPED_TEST(ConnContract, BackPressureHoldsTheWriteUntilThePeerReadsAgain)
{
    NcmConn* conn = this->connected();
    this->peer->setReading(false);
    const std::string payload = makePayload(TypeParam::BackPressureBytes, 3);
    evbuffer_add(conn->output(), payload.data(), payload.size());
    conn->requestWrite();
    runFor(this->base.get(), 400);
    EXPECT_EQ(this->countOf(NcmConn::Write), 0u) << "the queue stays above the mark";
    EXPECT_GE(conn->outputLength(), static_cast<size_t>(NcmConn::OutputHighWater));
    this->peer->setReading(true);
    ASSERT_TRUE(this->until([&] { return this->countOf(NcmConn::Write) == 1; }, 20000));
    EXPECT_LT(conn->outputLength(), static_cast<size_t>(NcmConn::OutputHighWater));
    EXPECT_EQ(conn->bytesWritten() + conn->outputLength(), payload.size());
    conn->requestDrain();
    ASSERT_TRUE(this->until([&] { return this->countOf(NcmConn::Write) == 2; }));
    EXPECT_EQ(conn->outputLength(), 0u) << "a drain is owed only once the output is empty";
    EXPECT_EQ(this->sumOf(NcmConn::Write), conn->bytesWritten());
    ASSERT_TRUE(this->until([&] { return this->peer->received().size() == payload.size(); }, 20000));
    EXPECT_TRUE(this->peer->received() == payload);
    // Below the mark, a Write is owed only for bytes that moved.
    this->peer->setReading(false);
    const std::string chunk = makePayload(4096, 4);
    std::string more;
    for (int i = 0; more.size() < 2 * TypeParam::BackPressureBytes && i < 100000; ++i) {
        if (conn->outputSpace() > static_cast<int>(chunk.size())) {
            evbuffer_add(conn->output(), chunk.data(), chunk.size());
            more += chunk;
        }
        // Quiet for 300 ms with bytes queued: the peer's buffers are full.
        if (!this->next(conn, false, 300)) {
            if (conn->outputLength() > 0)
                break;
            continue;
        }
        ASSERT_GT(this->events.back().size, 0u) << "a Write for nothing moved";
    }
    ASSERT_GT(conn->outputLength(), 0u) << "the peer's buffers took " << more.size() << " bytes";
    const size_t writes = this->countOf(NcmConn::Write);
    this->peer->setReading(true);
    ASSERT_TRUE(this->until([&] { return this->countOf(NcmConn::Write) > writes; }, 20000));
    ASSERT_TRUE(
        this->until([&] { return this->peer->received().size() == payload.size() + more.size(); }, 20000));
    EXPECT_TRUE(this->peer->received() == payload + more);
}

TYPED_TEST(ConnContract, FailedConnectIsReportedOnceInALaterTurnTheOwedWriteStillComesAndALateOpenConnects)
{
    NcmConn* bad = this->makeConn();
    bad->connect(&this->proxy.ipStack, "not-an-address:80", 5);
    bad->connect(&this->proxy.ipStack, "also bad", 5);
    EXPECT_TRUE(this->events.empty());
    ASSERT_TRUE(this->until([&] { return !this->events.empty(); }));
    runFor(this->base.get(), 50);
    ASSERT_EQ(this->events.size(), 1u);
    EXPECT_EQ(this->events[0].event, NcmConn::Connect);
    EXPECT_NE(this->events[0].error, 0);
    this->events.clear();
    this->peer->setAnswering(false);
    NcmConn* conn = this->makeConn();
    const auto start = std::chrono::steady_clock::now();
    conn->connect(&this->proxy.ipStack, this->peer->address(), 1);
    conn->requestWrite();
    ASSERT_TRUE(this->until([&] { return this->countOf(NcmConn::Connect) == 1; }, 4000));
    EXPECT_GE(std::chrono::steady_clock::now() - start,
        std::chrono::milliseconds(900)); // libevent may fire a little early
    runFor(this->base.get(), 500);
    ASSERT_EQ(this->events.size(), 2u) << "one Connect, one Write";
    EXPECT_NE(this->events[0].event, this->events[1].event);
    for (const Seen& s : this->events)
        EXPECT_EQ(s, (Seen { s.event, s.event == NcmConn::Connect ? ETIMEDOUT : 0, 0u }));
    if constexpr (std::is_same_v<TypeParam, KcpPeer>) { // an Open answered late still connects
        this->peer->setAnswering(true);
        ASSERT_TRUE(this->until([&] { return this->peer->established(); }, 4000));
        runFor(this->base.get(), 100);
        EXPECT_EQ(this->events.size(), 3u);
        EXPECT_EQ(this->events.back(), (Seen { NcmConn::Connect, 0, 0u }));
    }
}

TYPED_TEST(ConnContract, CloseSilencesEverythingAndTheStreamEnds)
{
    NcmConn* conn = this->connected();
    conn->requestRead();
    conn->close();
    conn->close();
    EXPECT_TRUE(conn->isClosed());
    this->peer->send("ignored");
    conn->requestRead();
    conn->requestWrite();
    runFor(this->base.get(), 100);
    EXPECT_TRUE(this->events.empty());
    EXPECT_TRUE(this->until([&] { return this->peer->clientEnded(); }));
}

TYPED_TEST(ConnContract, ClosingInsideAnEventDropsTheOneOwedWithIt)
{
    for (const bool inRead : { false, true }) {
        if (!inRead && !TypeParam::WriteWaitsForConnect)
            continue;
        auto* conn = inRead ? this->connected() : this->makeConn();
        int calls = 0;
        conn->setEventCallback([&](NcmConn* c, NcmConn::Event e, int32_t, uint32_t) {
            ++calls;
            EXPECT_TRUE(inRead || e == NcmConn::Connect);
            c->close();
        });
        evbuffer_add(conn->output(), "x", 1);
        if (inRead) {
            this->peer->send("data");
            runFor(this->base.get(), 100);
            conn->requestRead();
        } else {
            conn->connect(&this->proxy.ipStack, this->peer->address(), 5);
        }
        conn->requestWrite();
        runFor(this->base.get(), 200);
        EXPECT_EQ(calls, 1) << (inRead ? "in Read" : "in Connect");
    }
}

TYPED_TEST(ConnContract, WriteRequestedBeforeConnectComesAfterItWithTheBytesOrTheRefusal)
{
    NcmConn* conn = this->makeConn();
    evbuffer_add(conn->output(), "early", 5);
    conn->requestWrite();
    runFor(this->base.get(), 100);
    EXPECT_TRUE(this->events.empty());
    conn->connect(&this->proxy.ipStack, this->peer->address(), 5);
    ASSERT_TRUE(this->until([&] { return this->peer->received() == "early" && this->events.size() == 2; }));
    EXPECT_EQ(this->events, (std::vector<Seen> { { NcmConn::Connect, 0, 0u }, { NcmConn::Write, 0, 5u } }));
    if (!TypeParam::WriteWaitsForConnect)
        return; // no refusal comes over UDP
    int refusing = 0;
    close(testsupport::listenTcp("127.0.0.1", refusing));
    this->events.clear();
    NcmConn* refused = this->makeConn();
    evbuffer_add(refused->output(), "early", 5);
    refused->connect(&this->proxy.ipStack, "127.0.0.1:" + std::to_string(refusing), 5);
    refused->requestWrite(); // while connecting
    ASSERT_TRUE(this->until([&] { return this->events.size() >= 2; }));
    refused->requestRead(); // nothing more comes from a refused connection
    runFor(this->base.get(), 50);
    EXPECT_EQ(this->events,
        (std::vector<Seen> { { NcmConn::Connect, ECONNREFUSED, 0u }, { NcmConn::Write, ECONNREFUSED, 0u } }));
}

TEST_F(ConnTcpTest, OnAnIpv6OnlyNetworkTheSynthesisedAddressIsUsed)
{
    // A /96 template whose synthesised addresses are IPv4-mapped, so the path stays on loopback.
    IpStackFacts facts;
    ASSERT_EQ(1, inet_pton(AF_INET6, "::ffff:192.0.0.170", facts.nat64Address));
    facts.ipv6Only = true;
    facts.nat64Known = true;
    TcpPeer mapped(base.get(), "127.0.4.30");
    NcmConnTcp* conn = makeConn();
    conn->connect(&facts, mapped.address(), 5);
    ASSERT_TRUE(until([&] { return !events.empty(); }));
    ASSERT_EQ(events[0].error, 0);
    sockaddr_in6 remote {};
    socklen_t length = sizeof remote;
    ASSERT_EQ(getpeername(conn->socket(), reinterpret_cast<sockaddr*>(&remote), &length), 0);
    ASSERT_EQ(remote.sin6_family, AF_INET6);
    char text[64];
    EXPECT_STREQ("::ffff:127.0.4.30", inet_ntop(AF_INET6, &remote.sin6_addr, text, sizeof text));
}

TEST_F(ConnKcpTest, PeerEndOfStreamIsAnsweredAtOnceAndStartsTheLinger)
{
    NcmConnKcp* conn = connected();
    peer->sendEndOfStream();
    ASSERT_TRUE(next(conn, true));
    EXPECT_EQ(events[0], (Seen { NcmConn::Read, 0, 0u }));
    ASSERT_TRUE(until([&] { return peer->clientEnded(); }));
    EXPECT_FALSE(conn->isClosed());
    // The linger counts from our marker: a close that late frees the channel at the next tick.
    Clock::advanceTicksForTest(NcmKcpManager::LingerTime);
    conn->close();
    EXPECT_EQ(manager->lingeringCount(), 1u);
    EXPECT_TRUE(until([&] { return manager->lingeringCount() == 0; }, 1500));
}

TEST_F(ConnKcpTest, CloseWithDataInFlightDeliversDataAndMarkerDuringTheLinger)
{
    NcmConnKcp* conn = connected();
    const int fd = conn->socket();
    const std::string payload = makePayload(200 * 1024, 4);
    evbuffer_add(conn->output(), payload.data(), payload.size());
    conn->requestDrain();
    ASSERT_TRUE(until([&] { return countOf(NcmConn::Write) == 1; }));
    EXPECT_EQ(events.back().size, payload.size()) << "everything moved into the engine";
    ASSERT_GT(conn->channel()->engine()->waitSend(), 0) << "and not all of it is through";
    conn->close();
    EXPECT_EQ(conn->channel(), nullptr);
    EXPECT_EQ(manager->lingeringCount(), 1u);
    ASSERT_TRUE(until([&] { return peer->clientEnded(); }, 4000));
    EXPECT_TRUE(peer->received() == payload);
    EXPECT_EQ(manager->lingeringCount(), 1u) << "lingers for the full time";
    EXPECT_TRUE(descriptorOpen(fd));
    Clock::advanceTicksForTest(NcmKcpManager::LingerTime);
    ASSERT_TRUE(until([&] { return manager->lingeringCount() == 0; }, 1500));
    EXPECT_FALSE(descriptorOpen(fd)) << "the socket goes with the channel";
    EXPECT_EQ(events.size(), 1u) << "nothing reaches a closed connection";
}

TEST_F(ConnKcpTest, ClosedBeforeConnectIsFreedAtOnceAfterItLingersUntilTheManagerGoes)
{
    peer->setAnswering(false); // never connects: closing still lingers, resending the Open
    NcmConnKcp* early = makeConn();
    early->requestRead();
    early->close();
    EXPECT_EQ(early->channel(), nullptr);
    EXPECT_EQ(manager->lingeringCount(), 0u);
    early->connect(&proxy.ipStack, peer->address(), 5);
    early->requestWrite();
    runFor(base.get(), 100);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(peer->conversationsSeen().empty()) << "not a datagram";
    std::vector<int> fds;
    for (int i = 0; i < 3; ++i) {
        NcmConnKcp* conn = makeConn();
        conn->connect(&proxy.ipStack, peer->address(), 5);
        fds.push_back(conn->socket());
        conn->close();
    }
    runFor(base.get(), 50);
    EXPECT_EQ(manager->lingeringCount(), 3u);
    EXPECT_EQ(peer->conversationsSeen().size(), 3u) << "each connection has its own conversation id";
    for (int fd : fds)
        EXPECT_TRUE(descriptorOpen(fd));
    manager.reset();
    for (int fd : fds)
        EXPECT_FALSE(descriptorOpen(fd));
    runFor(base.get(), 100); // no timer of a freed channel may fire
}
