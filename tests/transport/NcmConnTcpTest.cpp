#include "transport/NcmConnTcp.h"
#include "proxy/NcmProxy.h"
#include "tests/support/TestSupport.h"
#include "transport/Nat64Address.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct Seen {
    NcmConn::Event event;
    int32_t error;
    uint32_t size;
};

class ConnTcpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        proxyGlobalInit();
        base.reset(event_base_new());
    }
    void TearDown() override
    {
        for (int fd : sockets)
            close(fd);
    }

    std::unique_ptr<NcmConnTcp> makeConn()
    {
        auto conn = std::make_unique<NcmConnTcp>(base.get());
        conn->setEventCallback([this](NcmConn*, NcmConn::Event e, int32_t error, uint32_t size) {
            events.push_back({ e, error, size });
        });
        return conn;
    }
    int listener(int& port, int backlog = 16)
    {
        int fd = testsupport::listenTcp("127.0.0.1", port, backlog);
        sockets.push_back(fd);
        return fd;
    }
    int acceptOne(int listenFd)
    {
        int fd = -1;
        testsupport::runUntil(base.get(), [&] {
            fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK);
            return fd >= 0;
        });
        if (fd >= 0) {
            int flags = 0;
            ioctl(fd, FIONBIO, &flags);
            sockets.push_back(fd);
        }
        return fd;
    }
    // A connection that has reported Connect, and the accepted peer socket.
    void connectedPair(std::unique_ptr<NcmConnTcp>& conn, int& peer)
    {
        int port = 0;
        int lfd = listener(port);
        conn = makeConn();
        conn->connect(&proxy.ipStack, "127.0.0.1:" + std::to_string(port), 5);
        ASSERT_TRUE(testsupport::runUntil(base.get(), [&] { return !events.empty(); }));
        peer = acceptOne(lfd);
        ASSERT_GE(peer, 0);
    }
    size_t countOf(NcmConn::Event e) const
    {
        size_t n = 0;
        for (const auto& s : events)
            n += s.event == e;
        return n;
    }

    EventBasePtr base;
    NcmProxy proxy;
    std::vector<Seen> events;
    std::vector<int> sockets;
};

} // namespace

TEST_F(ConnTcpTest, ConnectThenReadAndWriteOneShot)
{
    int port = 0;
    int lfd = listener(port);
    auto conn = makeConn();
    conn->connect(&proxy.ipStack, "127.0.0.1:" + std::to_string(port), 5);
    EXPECT_TRUE(events.empty()); // never reported from inside connect
    ASSERT_TRUE(testsupport::runUntil(base.get(), [&] { return !events.empty(); }));
    EXPECT_EQ(events[0].event, NcmConn::Connect);
    EXPECT_EQ(events[0].error, 0);
    int peer = acceptOne(lfd);
    ASSERT_GE(peer, 0);

    // Read: one event per request, sizes add up in bytesRead.
    events.clear();
    testsupport::sendAll(peer, "hello");
    conn->requestRead();
    ASSERT_TRUE(testsupport::runUntil(base.get(), [&] { return !events.empty(); }));
    testsupport::sendAll(peer, "again");
    testsupport::runFor(base.get(), 50);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, NcmConn::Read);
    EXPECT_EQ(events[0].size, 5u);
    conn->requestRead();
    ASSERT_TRUE(testsupport::runUntil(base.get(), [&] { return events.size() == 2; }));
    EXPECT_EQ(conn->bytesRead(), 10u);
    EXPECT_EQ(conn->inputLength(), 10u);

    // Write below the high-water mark: the Write event comes in the next turn.
    events.clear();
    evbuffer_add(conn->output(), "0123456789", 10);
    conn->requestWrite();
    EXPECT_TRUE(events.empty());
    ASSERT_TRUE(testsupport::runUntil(base.get(), [&] { return !events.empty(); }));
    EXPECT_EQ(events[0].event, NcmConn::Write);
    EXPECT_EQ(events[0].error, 0);
    EXPECT_EQ(events[0].size, 10u);
    EXPECT_EQ(testsupport::readSome(peer, 10), "0123456789");

    // End of stream: one Read(0, 0), later requests give nothing.
    events.clear();
    shutdown(peer, SHUT_WR);
    conn->requestRead();
    ASSERT_TRUE(testsupport::runUntil(base.get(), [&] { return !events.empty(); }));
    EXPECT_EQ(events[0].event, NcmConn::Read);
    EXPECT_EQ(events[0].error, 0);
    EXPECT_EQ(events[0].size, 0u);
    conn->requestRead();
    conn->requestWrite();
    testsupport::runFor(base.get(), 50);
    EXPECT_EQ(events.size(), 1u);
}

TEST_F(ConnTcpTest, WriteRequestedBeforeConnectFlushesInTheSameRun)
{
    int port = 0;
    int lfd = listener(port);
    auto conn = makeConn();
    evbuffer_add(conn->output(), "early", 5);
    conn->connect(&proxy.ipStack, "127.0.0.1:" + std::to_string(port), 5);
    conn->requestWrite();
    ASSERT_TRUE(testsupport::runUntil(base.get(), [&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0].event, NcmConn::Connect);
    EXPECT_EQ(events[1].event, NcmConn::Write);
    EXPECT_EQ(events[1].size, 5u);
    int peer = acceptOne(lfd);
    EXPECT_EQ(testsupport::readSome(peer, 5), "early");
}

TEST_F(ConnTcpTest, RefusedConnectIsAFailedConnect)
{
    int port = 0;
    int lfd = listener(port);
    close(lfd);
    sockets.clear();
    auto conn = makeConn();
    conn->connect(&proxy.ipStack, "127.0.0.1:" + std::to_string(port), 5);
    conn->requestWrite();
    ASSERT_TRUE(testsupport::runUntil(base.get(), [&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0].event, NcmConn::Connect);
    EXPECT_EQ(events[0].error, ECONNREFUSED);
    EXPECT_EQ(events[1].event, NcmConn::Write);
    conn->requestRead();
    testsupport::runFor(base.get(), 50);
    EXPECT_EQ(events.size(), 2u);
}

TEST_F(ConnTcpTest, UnparsableAddressFailsInTheNextTurn)
{
    auto conn = makeConn();
    conn->connect(&proxy.ipStack, "not-an-address:80", 5);
    conn->connect(&proxy.ipStack, "also bad", 5);
    EXPECT_TRUE(events.empty());
    ASSERT_TRUE(testsupport::runUntil(base.get(), [&] { return !events.empty(); }));
    testsupport::runFor(base.get(), 20);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, NcmConn::Connect);
    EXPECT_NE(events[0].error, 0);
}

TEST_F(ConnTcpTest, HangingConnectTimesOutOnceWithTheOwedWrite)
{
    // A listener whose accept queue is full drops new handshakes.
    int port = 0;
    int lfd = listener(port, 0);
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        sockets.push_back(fd);
    }
    usleep(100 * 1000);
    (void)lfd;
    auto conn = makeConn();
    conn->connect(&proxy.ipStack, "127.0.0.1:" + std::to_string(port), 1);
    conn->requestWrite();
    ASSERT_TRUE(testsupport::runUntil(
        base.get(), [&] { return events.size() >= 2; }, 4000));
    EXPECT_EQ(events[0].event, NcmConn::Connect);
    EXPECT_EQ(events[0].error, ETIMEDOUT);
    EXPECT_EQ(events[1].event, NcmConn::Write);
    EXPECT_EQ(events[1].error, 0);
    EXPECT_EQ(events[1].size, 0u);
}

TEST_F(ConnTcpTest, BackPressureHoldsTheWriteEventUntilTheQueueDrains)
{
    std::unique_ptr<NcmConnTcp> conn;
    int peer = -1;
    ASSERT_NO_FATAL_FAILURE(connectedPair(conn, peer));

    const std::string chunk(64 * 1024, 'x');
    const size_t total = 24 * 1024 * 1024; // more than the kernel buffers hold
    for (size_t i = 0; i < total / chunk.size(); ++i)
        evbuffer_add(conn->output(), chunk.data(), chunk.size());
    events.clear();
    conn->requestWrite();
    testsupport::runFor(base.get(), 100);
    EXPECT_EQ(countOf(NcmConn::Write), 0u) << "peer reads nothing, so the queue stays above the mark";
    EXPECT_GE(conn->outputLength(), static_cast<size_t>(NcmConn::OutputHighWater));

    size_t received = 0;
    while (countOf(NcmConn::Write) == 0 && received < total) {
        received += testsupport::readSome(peer, 1024 * 1024, 20).size();
        testsupport::runFor(base.get(), 5);
    }
    ASSERT_EQ(countOf(NcmConn::Write), 1u);
    EXPECT_LT(conn->outputLength(), static_cast<size_t>(NcmConn::OutputHighWater));
    EXPECT_EQ(events.back().size, conn->bytesWritten());
    EXPECT_EQ(conn->bytesWritten() + conn->outputLength(), total);
}

TEST_F(ConnTcpTest, CloseSilencesEverything)
{
    std::unique_ptr<NcmConnTcp> conn;
    int peer = -1;
    ASSERT_NO_FATAL_FAILURE(connectedPair(conn, peer));
    conn->requestRead();
    conn->close();
    conn->close();
    EXPECT_TRUE(conn->isClosed());
    EXPECT_FALSE(conn->isOutputDrained());
    testsupport::sendAll(peer, "ignored");
    conn->requestRead();
    conn->requestWrite();
    testsupport::runFor(base.get(), 50);
    EXPECT_EQ(events.size(), 1u);
    // The socket was closed at once: the peer sees the end of the stream.
    EXPECT_EQ(testsupport::readAll(peer, 1000), "");
}

TEST_F(ConnTcpTest, OwnerMayCloseAndReplaceCallbackInsideEvents)
{
    int port = 0;
    int lfd = listener(port);
    auto conn = std::make_unique<NcmConnTcp>(base.get());
    int calls = 0;
    conn->setEventCallback([&](NcmConn* c, NcmConn::Event, int32_t, uint32_t) {
        ++calls;
        c->close(); // closing inside the Connect event stops the owed Write
    });
    evbuffer_add(conn->output(), "x", 1);
    conn->connect(&proxy.ipStack, "127.0.0.1:" + std::to_string(port), 5);
    conn->requestWrite();
    testsupport::runFor(base.get(), 100);
    EXPECT_EQ(calls, 1);
    (void)lfd;
}

TEST_F(ConnTcpTest, OnAnIpv6OnlyNetworkTheSynthesisedAddressIsUsed)
{
    // ::ffff:0:0/96 with 192.0.0.170 is a valid /96 template whose synthesised
    // addresses are IPv4-mapped: an IPv6 socket reaches the IPv4 listener
    // through them, so the whole path runs on loopback.
    IpStackFacts facts;
    ASSERT_EQ(1, inet_pton(AF_INET6, "::ffff:192.0.0.170", facts.nat64Address));
    facts.ipv6Only = true;
    facts.nat64Known = true;
    int port = 0;
    const int lfd = testsupport::listenTcp("127.0.4.30", port);
    sockets.push_back(lfd);
    auto conn = makeConn();
    conn->connect(&facts, "127.0.4.30:" + std::to_string(port), 5);
    ASSERT_TRUE(testsupport::runUntil(base.get(), [&] { return !events.empty(); }));
    ASSERT_EQ(events[0].error, 0);
    sockaddr_in6 remote {};
    socklen_t length = sizeof remote;
    ASSERT_EQ(getpeername(conn->socket(), reinterpret_cast<sockaddr*>(&remote), &length), 0);
    ASSERT_EQ(remote.sin6_family, AF_INET6);
    char text[64];
    EXPECT_STREQ("::ffff:127.0.4.30", inet_ntop(AF_INET6, &remote.sin6_addr, text, sizeof text));
}
