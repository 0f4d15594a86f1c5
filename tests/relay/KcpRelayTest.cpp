// The relay on the test's event base, driven by the proxy's own KCP connections and by raw UDP peers.
#include "relay/KcpRelay.h"
#include "base/Clock.h"
#include "proxy/NcmProxy.h"
#include "tests/support/KcpSimulatedNetwork.h"
#include "tests/support/ProxyHarness.h"
#include "tests/support/TestSupport.h"
#include "transport/NcmConnKcp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

using testsupport::readHead;
using testsupport::runFor;
using testsupport::runUntil;
using testsupport::sendAll;
using testsupport::TestUpstream;

namespace {

const char* const UpstreamHost = "127.0.6.2";

// n as a big-endian field of the given width.
std::string be(size_t n, int bytes)
{
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>(n >> (8 * i));
    return out;
}

std::string tlsRecord(const std::string& handshake)
{
    return "\x16\x03\x01" + be(handshake.size(), 2) + handshake;
}

// A TLS record carrying a ClientHello, with a server name when one is given.
std::string clientHello(const std::string& serverName)
{
    std::string extensions("\x00\x0b\x00\x02\x01\x00", 6); // ec_point_formats, before the name
    if (!serverName.empty()) {
        const std::string list = std::string(1, '\0') + be(serverName.size(), 2) + serverName;
        extensions += std::string("\x00\x00", 2) + be(list.size() + 2, 2) + be(list.size(), 2) + list;
    }
    // Version, random, no session id, one cipher suite, null compression.
    const std::string body = std::string("\x03\x03", 2) + std::string(32, '\x11')
        + std::string("\x00\x00\x02\x13\x01\x01\x00", 7) + be(extensions.size(), 2) + extensions;
    return tlsRecord("\x01" + be(body.size(), 3) + body);
}

std::string segment(
    uint32_t conv, uint8_t cmd, uint32_t sn, uint32_t una, const std::string& data = {}, uint32_t ts = 0)
{
    return encodeKcp({ { conv, cmd, 0, 1024, ts, sn, una, data } });
}

// A client that forges, floods or falls silent, as no KCP connection of ours would.
class RawPeer {
public:
    RawPeer(const char* source, int relayPort)
        : m_fd(testsupport::bindSocket(source, 0, SOCK_DGRAM))
    {
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(relayPort));
        to.sin_addr.s_addr = htonl(0x7f000601); // 127.0.6.1
        connect(m_fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    void send(const std::string& datagram)
    {
        ::send(m_fd.get(), datagram.data(), datagram.size(), 0);
        sentBytes += datagram.size();
    }
    // Datagrams received since the last call; keeps the ts of each relay segment with sn 0 (its challenges).
    int drain()
    {
        char buffer[2048];
        int count = 0;
        ssize_t n;
        while ((n = recv(m_fd.get(), buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) {
            ++count;
            receivedBytes += static_cast<size_t>(n);
            for (const KcpWire& s : decodeKcp(std::string(buffer, static_cast<size_t>(n))))
                if ((s.cmd == KcpSegment::Open || s.cmd == KcpSegment::Push) && s.sn == 0)
                    zeros.emplace_back(s.cmd, s.ts);
        }
        return count;
    }
    // Echoes the ts of the relay's first sn-0 segment of that command, as a client does.
    bool echo(event_base* base, uint32_t conv, uint8_t cmd)
    {
        const auto found = [&] {
            return std::find_if(
                zeros.begin(), zeros.end(), [&](const auto& zero) { return zero.first == cmd; });
        };
        if (!runUntil(base, [&] { return drain(), found() != zeros.end(); }))
            return false;
        send(segment(conv, KcpSegment::Ack, 0, 1, {}, found()->second));
        return true;
    }

    size_t sentBytes = 0;
    size_t receivedBytes = 0;
    std::vector<std::pair<uint8_t, uint32_t>> zeros;

private:
    UniqueSocket m_fd;
};

TestUpstream::Handler answers(const std::string& text, bool afterHead = true)
{
    return [text, afterHead](int fd) {
        if (afterHead)
            readHead(fd);
        sendAll(fd, text);
        shutdown(fd, SHUT_RDWR);
    };
}

std::string sniff(const std::string& data)
{
    std::string host;
    switch (sniffTargetHost(reinterpret_cast<const uint8_t*>(data.data()), data.size(), host)) {
    case SniffResult::Found: return "found " + host;
    case SniffResult::NeedMore: return "need more";
    default: return "not found";
    }
}

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        proxyGlobalInit();
        std::signal(SIGPIPE, SIG_IGN);
        base.reset(event_base_new());
        manager = std::make_unique<NcmKcpManager>(base.get());
    }
    void TearDown() override { Clock::resetForTest(); }

    static std::string at(const TestUpstream& upstream)
    {
        return std::string(UpstreamHost) + ":" + std::to_string(upstream.port());
    }
    void startRelay(const TestUpstream& upstream,
        std::vector<std::pair<std::string, std::string>> routes = {},
        const std::function<void(KcpRelayOptions&)>& adjust = {})
    {
        KcpRelayOptions options;
        options.listen = "127.0.6.1:0";
        options.upstream = at(upstream);
        options.routes = std::move(routes);
        if (adjust)
            adjust(options);
        relay = std::make_unique<KcpRelay>(base.get(), options);
        std::string error;
        ASSERT_TRUE(relay->start(error)) << error;
    }

    struct Client {
        std::unique_ptr<NcmConnKcp> conn;
        size_t events = 0;
        bool ended = false; // Read with size 0 seen
    };

    Client* connect(bool ahead = false)
    {
        clients.push_back(std::make_unique<Client>());
        Client* client = clients.back().get();
        client->conn = manager->createConnection();
        applyProxySettings(*client->conn);
        client->conn->setOpenAhead(ahead);
        client->conn->setEventCallback([client](NcmConn*, NcmConn::Event e, int32_t error, uint32_t size) {
            EXPECT_TRUE(client->events++ > 0 || e == NcmConn::Connect);
            client->ended |= e == NcmConn::Read && (size == 0 || error != 0);
        });
        client->conn->connect(&proxy.ipStack, "127.0.6.1:" + std::to_string(relay->port()), 5);
        EXPECT_TRUE(runUntil(base.get(), [&] { return client->events > 0; }));
        return client;
    }
    bool forgetsAfter(int ms)
    {
        Clock::advanceTicksForTest(ms);
        return runUntil(
            base.get(), [&] { return relay->conversationCount() == 0; }, 2000);
    }
    void write(Client* client, const std::string& data)
    {
        evbuffer_add(client->conn->output(), data.data(), data.size());
        client->conn->requestWrite();
    }
    std::string take(Client* client)
    {
        std::string out(client->conn->inputLength(), '\0');
        evbuffer_remove(client->conn->input(), out.data(), out.size());
        return out;
    }
    std::string readToEnd(Client* client, int timeoutMs = 10000)
    {
        runUntil(
            base.get(), [&] { return client->ended || (client->conn->requestRead(), false); }, timeoutMs);
        return take(client);
    }

    EventBasePtr base;
    NcmProxy proxy;
    std::unique_ptr<KcpRelay> relay;
    std::unique_ptr<NcmKcpManager> manager; // goes before the relay, after the clients
    std::vector<std::unique_ptr<Client>> clients;
};

} // namespace

TEST(RelaySniffTest, FindsTheHostOfAnHttpHeadOrATlsClientHello)
{
    const std::string hello = clientHello("API.b.test");
    const std::string handshake = hello.substr(5);
    const size_t half = handshake.size() / 2;
    std::string forged = hello; // a lying extension length must not read past the data
    forged[forged.size() - 12] = '\x7f';
    const std::pair<std::string, std::string> cases[] = {
        { "GET / HTTP/1.1\r\nAccept: */*\r\nHOST: WWW.Example.Test:8080\r\n\r\n", "found www.example.test" },
        { "GET / HTTP/1.1\r\nHost: [::1]:80\r\n\r\n", "found ::1" },
        { "GET / HTTP/1.1\r\nHost: www.exam", "need more" },
        { "GET / HTTP/1.0\r\nAccept: */*\r\n\r\n", "not found" }, { "", "need more" },
        { hello, "found api.b.test" }, { hello.substr(0, hello.size() - 3), "need more" },
        { hello.substr(0, 3), "need more" }, { clientHello(""), "not found" },
        // The same handshake split over two records, as large hellos are.
        { tlsRecord(handshake.substr(0, half)) + tlsRecord(handshake.substr(half)), "found api.b.test" },
        { forged, "not found" },
        { std::string("\x16\x03\x01\x00\x04\x02\x00\x00\x00", 9), "not found" }, // not a ClientHello
    };
    for (const auto& [data, expected] : cases)
        EXPECT_EQ(sniff(data), expected) << data;
    EXPECT_TRUE(relayRouteMatches(".b.test", "api.b.test"));
    EXPECT_TRUE(relayRouteMatches(".b.test", "b.test"));
    EXPECT_TRUE(relayRouteMatches("B.test", "x.y.b.TEST"));
    EXPECT_FALSE(relayRouteMatches("b.test", "ab.test"));
    EXPECT_FALSE(relayRouteMatches(".", "anything"));
}

TEST_F(RelayTest, ClientEndHalfClosesTheUpstreamWhichMayStillAnswerThenTheRelayLingersForgetsOrDropsIdle)
{
    std::atomic<int> answered { 0 }; // after the end of the client's stream
    TestUpstream upstream(
        [&](int fd) {
            const std::string all = testsupport::readAll(fd, 10000);
            sendAll(fd, "got " + std::to_string(all.size()));
            shutdown(fd, SHUT_RDWR);
            ++answered;
        },
        UpstreamHost);
    startRelay(upstream, {}, [](KcpRelayOptions& o) { o.maxConversations = 1; });
    Client* client = connect();
    EXPECT_EQ(relay->stats().opened, 1u);
    write(client, makePayload(300 * 1024, 7));
    client->conn->requestDrain();
    ASSERT_TRUE(runUntil(base.get(), [&] { return client->conn->outputLength() == 0; }));
    // Our marker while this side still reads (the connection then no longer reports the relay's).
    client->conn->channel()->engine()->close();
    runUntil(
        base.get(), [&] { return client->conn->requestRead(), client->conn->inputLength() >= 10; }, 10000);
    EXPECT_EQ(take(client), "got 307200");
    // Both ends through: the relay lingers, and gives way to a new conversation that needs the only slot.
    client->conn->close();
    runFor(base.get(), 300);
    EXPECT_EQ(relay->conversationCount(), 1u);
    connect()->conn->close();
    ASSERT_TRUE(runUntil(base.get(), [&] { return relay->stats().finished == 1; }));
    EXPECT_EQ(relay->stats().refused, 0u);
    runFor(base.get(), 300);
    EXPECT_EQ(relay->conversationCount(), 1u);
    ASSERT_TRUE(forgetsAfter(5000));
    EXPECT_EQ(relay->stats().finished, 2u);
    EXPECT_EQ(relay->stats().idleDropped, 0u);
    // One that moves nothing either way is dropped once idle, and its upstream let go.
    connect();
    ASSERT_TRUE(
        runUntil(base.get(), [&] { return upstream.accepted() == 3 && relay->conversationCount() == 1; }));
    ASSERT_TRUE(forgetsAfter(61 * 1000));
    EXPECT_EQ(relay->stats().idleDropped, 1u);
    EXPECT_TRUE(runUntil(base.get(), [&] { return answered == 3; }));
}

// A client that sends nothing (server-first protocols) goes to the fallback after the route wait; one
// opened ahead waits for its routing bytes however long it sat, and unused reaches no upstream.
TEST_F(RelayTest, RoutesWaitForTheFirstBytesUnlessTheServerSpeaksFirst)
{
    TestUpstream greeter(answers("220 hello\r\n", false), UpstreamHost);
    TestUpstream routed(answers("routed"), UpstreamHost);
    startRelay(greeter, { { "a.test", at(routed) } });
    Client* used = connect(true);
    Client* unused = connect(true);
    ASSERT_TRUE(
        runUntil(base.get(), [&] { return used->conn->isReadyAhead() && unused->conn->isReadyAhead(); }));
    Client* greeted = connect();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readToEnd(greeted, 8000), "220 hello\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    Clock::advanceTicksForTest(2 * KcpRelayOptions().routeWaitMs);
    runFor(base.get(), 1200);
    EXPECT_EQ(greeter.accepted() + routed.accepted(), 1);
    used->conn->start();
    write(used, "GET / HTTP/1.1\r\nHost: www.a.test\r\n\r\n");
    EXPECT_EQ(readToEnd(used), "routed");
    unused->conn->close();
    runFor(base.get(), 300);
    EXPECT_EQ(greeter.accepted(), 1);
    EXPECT_EQ(routed.accepted(), 1);
    ASSERT_TRUE(forgetsAfter(5000));
    EXPECT_EQ(relay->stats().finished, 3u);
}

TEST_F(RelayTest, AClientThatStopsReadingHoldsTheUpstreamBackWithBoundedMemory)
{
    const std::string body = makePayload(24 << 20, 9);
    std::atomic<bool> allSent { false };
    TestUpstream upstream(
        [&](int fd) {
            readHead(fd);
            allSent = sendAll(fd, body);
            shutdown(fd, SHUT_RDWR);
        },
        UpstreamHost);
    startRelay(upstream);
    Client* client = connect();
    write(client, "GET /big HTTP/1.1\r\nHost: a\r\n\r\n");
    size_t peak = 0;
    for (int i = 0; i < 20; ++i) {
        runFor(base.get(), 50);
        peak = std::max(peak, relay->heldBytes());
    }
    EXPECT_FALSE(allSent.load());
    // One send window unsent or in flight, one receive window, and the upstream queue.
    const size_t window = static_cast<size_t>(KcpSendProfile().sendWindow);
    const size_t bound = (window + 2 * 1024) * 1336 + KcpRelay::UpstreamQueueLimit + 64 * 1024;
    EXPECT_LE(peak, bound);
    EXPECT_GT(peak, window * 1336 / 2) << "the engine was filled at all";
    const std::string got = readToEnd(client, 30000);
    EXPECT_TRUE(allSent.load());
    EXPECT_TRUE(got == body) << got.size() << " bytes";
}

// Sequence number 1 never comes: out-of-order segments are held, bounded by segment size and window.
TEST_F(RelayTest, OutOfOrderSegmentsAreBoundedBySegmentSizeAndWindow)
{
    TestUpstream upstream([](int fd) { testsupport::readAll(fd, 10000); }, UpstreamHost);
    const size_t mss = 1360 - KcpSegment::Overhead;
    const size_t capped = static_cast<size_t>(KcpRelay::maxReceiveWindow()) - 1; // sn 0 is the Open
    struct Row {
        size_t length;
        uint32_t count;
        int receiveWindow;
        size_t held;
        bool proves = true;
    } rows[] = {
        { 60000, 40, 1024, 0 }, { mss + 1, 40, 1024, 0 }, { mss, 40, 1024, 40 * mss },
        { mss, 2000, 65535, capped * mss },
        { mss, 40, 1024, 31 * mss, false }, // an unproven address: sn 2 to 32
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(
            testing::Message() << row.length << " bytes, window " << row.receiveWindow << row.proves);
        relay.reset();
        startRelay(upstream, {}, [&](KcpRelayOptions& o) { o.profile.receiveWindow = row.receiveWindow; });
        RawPeer peer("127.0.6.3", relay->port());
        peer.send(segment(7, KcpSegment::Open, 0, 0));
        if (row.proves) {
            ASSERT_TRUE(peer.echo(base.get(), 7, KcpSegment::Open));
        }
        ASSERT_TRUE(runUntil(base.get(), [&] {
            return relay->conversationCount() == 1 && relay->provenCount() == (row.proves ? 1u : 0u);
        }));
        // Twice over, in batches the socket buffer holds: a lost datagram would look like a dropped segment.
        const uint32_t batch = std::max<uint32_t>(1, 64 * 1024 / static_cast<uint32_t>(row.length));
        for (int pass = 0; pass < 2; ++pass) {
            for (uint32_t sn = 2; sn < row.count + 2; ++sn) {
                peer.send(segment(7, KcpSegment::Push, sn, 1, std::string(row.length, 'x')));
                if (sn % batch == 0)
                    runFor(base.get(), 2);
            }
        }
        runFor(base.get(), 200);
        EXPECT_EQ(relay->heldBytes(), row.held);
    }
}

// Forged Opens in a client's name neither count toward its address's share nor lock it out.
TEST_F(RelayTest, UnknownConversationsAndOpensPastTheAddressShareAreIgnored)
{
    TestUpstream upstream(answers("hello"), UpstreamHost);
    startRelay(upstream, {}, [](KcpRelayOptions& o) { o.maxConversationsPerSource = 2; });
    RawPeer first("127.0.6.3", relay->port());
    RawPeer samePlaceOtherPort("127.0.6.3", relay->port());
    RawPeer elsewhere("127.0.6.4", relay->port());
    samePlaceOtherPort.send(segment(0x12345678, KcpSegment::Push, 5, 0, "data"));
    samePlaceOtherPort.send("short");
    ASSERT_TRUE(runUntil(base.get(), [&] { return relay->stats().ignoredDatagrams == 2; }));
    runFor(base.get(), 100);
    EXPECT_EQ(relay->conversationCount(), 0u);
    EXPECT_EQ(upstream.accepted(), 0);
    for (uint32_t conv : { 1, 2 }) {
        first.send(segment(conv, KcpSegment::Open, 0, 0));
        ASSERT_TRUE(first.echo(base.get(), conv, KcpSegment::Open));
        first.zeros.clear();
    }
    ASSERT_TRUE(runUntil(base.get(), [&] { return relay->provenCount() == 2; }));
    first.send(segment(3, KcpSegment::Open, 0, 0));
    samePlaceOtherPort.send(segment(4, KcpSegment::Open, 0, 0));
    elsewhere.send(segment(5, KcpSegment::Open, 0, 0));
    ASSERT_TRUE(runUntil(base.get(), [&] { return relay->conversationCount() == 3; }));
    runFor(base.get(), 100);
    EXPECT_EQ(relay->conversationCount(), 3u);
    EXPECT_EQ(relay->stats().refused, 2u);
    EXPECT_EQ(samePlaceOtherPort.drain(), 0) << "nothing is answered";
    EXPECT_GT(elsewhere.drain(), 0);
    RawPeer forger("127.0.0.1", relay->port());
    for (uint32_t conv = 100; conv < 100 + 2 * KcpRelayOptions().maxUnprovenPerSource; ++conv)
        forger.send(segment(conv, KcpSegment::Open, 0, 0));
    runFor(base.get(), 100);
    const auto start = std::chrono::steady_clock::now();
    Client* client = connect();
    EXPECT_LT(
        std::chrono::steady_clock::now() - start, std::chrono::milliseconds(KcpRelayOptions().unprovenMs / 2))
        << "the client waited for the forged conversations to expire";
    write(client, "GET / HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(readToEnd(client), "hello");
    EXPECT_LE(relay->unprovenCount(), KcpRelayOptions().maxUnprovenPerSource + 1);
}

TEST_F(RelayTest, RelaysSharingAPortBothStartAndServe)
{
    TestUpstream upstream(answers("hello"), UpstreamHost);
    startRelay(upstream, {}, [](KcpRelayOptions& o) { o.reusePort = true; });
    const std::unique_ptr<KcpRelay> first = std::move(relay);
    startRelay(upstream, {}, [&](KcpRelayOptions& o) {
        o.reusePort = true;
        o.listen = "127.0.6.1:" + std::to_string(first->port());
    });
    Client* client = connect();
    write(client, "GET / HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(readToEnd(client), "hello");
}

// Unproven, a client reaches no upstream and gets back no more than it sent; silent for 10 s, it is let go.
TEST_F(RelayTest, UnprovenOrSilentClientsHoldNoUpstream)
{
    const std::string body = makePayload(100 * 1024, 3);
    const std::string request = "GET /big HTTP/1.1\r\nHost: a\r\n\r\n";
    enum Proof { None, WrongEcho, EchoOfOpen, EchoOfResent, EchoThenEnd };
    struct Row {
        const char* name;
        Proof proof;
        int idleTimeoutSeconds;
    } rows[] = {
        { "Open and request, never acknowledges", None, 60 },
        { "a wrong echo", WrongEcho, 60 },
        { "silent after its request", EchoOfOpen, 60 },
        { "silent, no idle time-out", EchoOfOpen, 0 },
        { "first echo lost, silent after its request", EchoOfResent, 60 },
        { "ends its stream unanswered, then gone: its address's only slot is free at once", EchoThenEnd, 60 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Clock::resetForTest();
        std::atomic<bool> upstreamEnded { false };
        TestUpstream upstream(
            [&](int fd) {
                readHead(fd);
                sendAll(fd, row.proof == EchoThenEnd ? std::string() : body);
                char c;
                upstreamEnded = recv(fd, &c, 1, 0) <= 0; // blocks until the relay lets go
                shutdown(fd, SHUT_WR);
            },
            UpstreamHost);
        relay.reset();
        startRelay(upstream, {}, [&](KcpRelayOptions& o) {
            o.idleTimeoutSeconds = row.idleTimeoutSeconds;
            o.maxConversationsPerSource = 1;
        });
        RawPeer peer("127.0.6.3", relay->port());
        peer.send(segment(9, KcpSegment::Open, 0, 0) + segment(9, KcpSegment::Push, 1, 1, request));
        ASSERT_TRUE(runUntil(base.get(), [&] { return relay->conversationCount() == 1; }));
        if (row.proof == WrongEcho) {
            peer.send(segment(9, KcpSegment::Ack, 0, 1, {}, 12345));
        } else if (row.proof == EchoOfOpen || row.proof == EchoThenEnd) {
            ASSERT_TRUE(peer.echo(base.get(), 9, KcpSegment::Open));
        } else if (row.proof == EchoOfResent) {
            peer.send(segment(9, KcpSegment::Push, 1, 1, request));
            ASSERT_TRUE(peer.echo(base.get(), 9, KcpSegment::Push));
        }
        runFor(base.get(), 300);
        const bool proven = row.proof != None && row.proof != WrongEcho;
        EXPECT_EQ(upstream.accepted(), proven ? 1 : 0);
        if (row.proof == EchoThenEnd) {
            peer.send(segment(9, KcpSegment::Push, 2, 1)); // its end; our end is never acknowledged
            ASSERT_TRUE(runUntil(base.get(), [&] { return upstreamEnded.load(); }));
            runFor(base.get(), 300); // the upstream's end, then ours, reach the relay's timer
            peer.zeros.clear();
            peer.send(segment(10, KcpSegment::Open, 0, 0));
            ASSERT_TRUE(peer.echo(base.get(), 10, KcpSegment::Open));
            EXPECT_TRUE(runUntil(base.get(), [&] { return relay->provenCount() == 2; }));
            EXPECT_EQ(relay->stats().refused, 0u);
            continue;
        }
        if (!proven) {
            EXPECT_EQ(relay->conversationCount(), row.proof == None ? 1u : 0u);
            Clock::advanceTicksForTest(static_cast<int>(KcpRelayOptions().unprovenMs));
            runFor(base.get(), 300);
            peer.drain();
            EXPECT_EQ(relay->conversationCount(), 0u);
            EXPECT_EQ(relay->stats().unprovenDropped, 1u);
            EXPECT_LE(peer.receivedBytes, peer.sentBytes);
            continue;
        }
        Clock::advanceTicksForTest(9000);
        runFor(base.get(), 100);
        EXPECT_EQ(relay->conversationCount(), 1u);
        ASSERT_TRUE(forgetsAfter(1000));
        EXPECT_EQ(relay->stats().silentDropped, 1u);
        EXPECT_TRUE(runUntil(base.get(), [&] { return upstreamEnded.load(); }));
        peer.drain();
        runFor(base.get(), 300);
        EXPECT_EQ(peer.drain(), 0) << "nothing is resent once dropped";
    }
}
