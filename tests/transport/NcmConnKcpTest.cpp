#include "transport/NcmConnKcp.h"
#include "base/Clock.h"
#include "proxy/NcmProxy.h"
#include "tests/support/KcpTestPeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using testsupport::runFor;
using testsupport::runUntil;

namespace {

struct Seen {
    NcmConn::Event event;
    int32_t error;
    uint32_t size;
};

std::string drain(evbuffer* buffer)
{
    std::string out(evbuffer_get_length(buffer), '\0');
    evbuffer_remove(buffer, out.data(), out.size());
    return out;
}

bool descriptorOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

class ConnKcpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        proxyGlobalInit();
        base.reset(event_base_new());
        manager = std::make_unique<NcmKcpManager>(base.get());
        peer = std::make_unique<KcpTestPeer>(base.get());
    }
    void TearDown() override
    {
        conns.clear();
        manager.reset();
        peer.reset();
        Clock::resetForTest();
    }

    // A connection with the remote manager's settings whose events land in `events`.
    NcmConnKcp* makeConn()
    {
        conns.push_back(manager->createConnection());
        NcmConnKcp* conn = conns.back().get();
        conn->setMtu(1360);
        conn->setNoDelay(1, 20, 2, 0);
        conn->setWindowSize(1204, 1024);
        conn->setEventCallback([this](NcmConn*, NcmConn::Event e, int32_t error, uint32_t size) {
            events.push_back({ e, error, size });
        });
        return conn;
    }
    NcmConnKcp* connected()
    {
        NcmConnKcp* conn = makeConn();
        conn->connect(&proxy.ipStack, peer->address(), 5);
        EXPECT_TRUE(runUntil(base.get(), [&] { return !events.empty(); }));
        EXPECT_EQ(events.size(), 1u);
        if (!events.empty()) {
            EXPECT_EQ(events[0].event, NcmConn::Connect);
            EXPECT_EQ(events[0].error, 0);
        }
        events.clear();
        return conn;
    }
    size_t countOf(NcmConn::Event e) const
    {
        size_t n = 0;
        for (const auto& s : events)
            n += s.event == e;
        return n;
    }
    // Keeps asking for data until `bytes` arrived or the stream ended.
    void readUntil(NcmConnKcp* conn, size_t bytes, int timeoutMs = 10000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (conn->inputLength() < bytes && std::chrono::steady_clock::now() < deadline) {
            size_t before = events.size();
            conn->requestRead();
            if (!runUntil(
                    base.get(), [&] { return events.size() > before; }, timeoutMs))
                return;
            if (events.back().event == NcmConn::Read && events.back().size == 0)
                return;
        }
    }

    EventBasePtr base;
    NcmProxy proxy;
    std::unique_ptr<NcmKcpManager> manager;
    std::unique_ptr<KcpTestPeer> peer;
    std::vector<std::unique_ptr<NcmConnKcp>> conns;
    std::vector<Seen> events;
};

} // namespace

TEST_F(ConnKcpTest, ConnectThenOneShotReadsAndWritesWithTheirSizes)
{
    NcmConnKcp* conn = makeConn();
    conn->connect(&proxy.ipStack, peer->address(), 5);
    EXPECT_TRUE(events.empty()); // never from inside connect
    ASSERT_TRUE(runUntil(base.get(), [&] { return !events.empty(); }));
    EXPECT_EQ(events[0].event, NcmConn::Connect);
    EXPECT_EQ(events[0].error, 0);
    EXPECT_EQ(events[0].size, 0u);
    EXPECT_EQ(peer->conv(), conn->conv());

    // Write below the mark: the event comes in a later turn, with the bytes moved.
    events.clear();
    evbuffer_add(conn->output(), "0123456789", 10);
    conn->requestWrite();
    EXPECT_TRUE(events.empty());
    ASSERT_TRUE(runUntil(base.get(), [&] { return !events.empty(); }));
    EXPECT_EQ(events[0].event, NcmConn::Write);
    EXPECT_EQ(events[0].error, 0);
    EXPECT_EQ(events[0].size, 10u);
    ASSERT_TRUE(runUntil(base.get(), [&] { return peer->received().size() == 10; }));
    EXPECT_EQ(peer->received(), "0123456789");

    // Nothing to read: no event until data arrives, then exactly one.
    events.clear();
    conn->requestRead();
    runFor(base.get(), 100);
    EXPECT_TRUE(events.empty());
    peer->send("hello");
    ASSERT_TRUE(runUntil(base.get(), [&] { return !events.empty(); }));
    peer->send("again");
    runFor(base.get(), 100);
    ASSERT_EQ(events.size(), 1u) << "one Read per request";
    EXPECT_EQ(events[0].event, NcmConn::Read);
    EXPECT_EQ(events[0].size, 5u);
    conn->requestRead();
    EXPECT_EQ(conn->inputLength(), 5u) << "bytes enter the input only with their Read";
    ASSERT_TRUE(runUntil(base.get(), [&] { return events.size() == 2; }));
    EXPECT_EQ(events[1].size, 5u);
    EXPECT_EQ(drain(conn->input()), "helloagain");

    // A megabyte each way: sizes add up to the counters and the bytes are intact.
    const std::string down = pattern(1 << 20, 1);
    const std::string up = pattern(1 << 20, 2);
    peer->send(down);
    evbuffer_add(conn->output(), up.data(), up.size());
    conn->requestWrite();
    readUntil(conn, down.size());
    EXPECT_EQ(drain(conn->input()), down);
    EXPECT_EQ(conn->bytesRead(), 10u + down.size());
    uint32_t readSum = 0;
    for (const auto& s : events)
        readSum += s.event == NcmConn::Read ? s.size : 0;
    EXPECT_EQ(readSum, conn->bytesRead());
    while (conn->outputLength() > 0) {
        size_t before = events.size();
        conn->requestWrite();
        ASSERT_TRUE(runUntil(base.get(), [&] { return events.size() > before; }));
    }
    conn->requestWrite(); // collects the size of the last move
    runFor(base.get(), 20);
    uint32_t writeSum = 0;
    for (const auto& s : events)
        writeSum += s.event == NcmConn::Write ? s.size : 0;
    EXPECT_EQ(writeSum + 10u, conn->bytesWritten());
    EXPECT_EQ(conn->bytesWritten(), 10u + up.size());
    ASSERT_TRUE(runUntil(base.get(), [&] { return peer->received().size() == 10 + up.size(); }));
    EXPECT_EQ(peer->received().substr(10), up);
}

TEST_F(ConnKcpTest, RequestWriteOwesAWriteNextTurnEvenWhenNothingCanMove)
{
    // Before connect nothing may go ahead of the Open, but the Write is still owed.
    NcmConnKcp* conn = makeConn();
    evbuffer_add(conn->output(), "early", 5);
    conn->requestWrite();
    EXPECT_TRUE(events.empty());
    ASSERT_TRUE(runUntil(base.get(), [&] { return !events.empty(); }));
    EXPECT_EQ(events[0].event, NcmConn::Write);
    EXPECT_EQ(events[0].size, 0u);
    EXPECT_EQ(conn->outputLength(), 5u);

    // After the Open the bytes follow it on the next arrival.
    events.clear();
    conn->connect(&proxy.ipStack, peer->address(), 5);
    ASSERT_TRUE(runUntil(base.get(), [&] { return peer->received() == "early"; }));
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, NcmConn::Connect);
}

TEST_F(ConnKcpTest, BackPressureHoldsWriteUntilThePeerReadsAgain)
{
    NcmConnKcp* conn = connected();
    peer->setReading(false);
    const std::string payload = pattern(6 << 20, 3); // more than twice the send window of segments
    evbuffer_add(conn->output(), payload.data(), payload.size());
    conn->requestWrite();
    runFor(base.get(), 400);
    EXPECT_EQ(countOf(NcmConn::Write), 0u) << "the engine is full and the peer's window closed";
    EXPECT_GE(conn->outputLength(), static_cast<size_t>(NcmConn::OutputHighWater));
    ASSERT_NE(conn->channel(), nullptr);
    EXPECT_LE(conn->channel()->engine()->waitSend(), 2 * 1204 + 1);

    peer->setReading(true);
    ASSERT_TRUE(runUntil(
        base.get(), [&] { return countOf(NcmConn::Write) == 1; }, 20000));
    EXPECT_LT(conn->outputLength(), static_cast<size_t>(NcmConn::OutputHighWater));
    EXPECT_EQ(events.back().size, conn->bytesWritten());
    EXPECT_EQ(conn->bytesWritten() + conn->outputLength(), payload.size());
    conn->requestDrain();
    ASSERT_TRUE(runUntil(base.get(), [&] { return countOf(NcmConn::Write) == 2; }));
    EXPECT_EQ(conn->outputLength(), 0u) << "a drain is owed only once the output is empty";
    ASSERT_TRUE(runUntil(
        base.get(), [&] { return peer->received().size() == payload.size(); }, 20000));
    EXPECT_TRUE(peer->received() == payload);
}

TEST_F(ConnKcpTest, PeerEndOfStreamIsAnsweredAtOnceAndStartsTheLinger)
{
    NcmConnKcp* conn = connected();
    peer->send("tail");
    peer->sendEndOfStream();
    conn->requestRead();
    ASSERT_TRUE(runUntil(base.get(), [&] { return !events.empty(); }));
    EXPECT_EQ(events[0].event, NcmConn::Read);
    EXPECT_EQ(events[0].size, 4u);
    conn->requestRead();
    ASSERT_TRUE(runUntil(base.get(), [&] { return events.size() == 2; }));
    EXPECT_EQ(events[1].event, NcmConn::Read);
    EXPECT_EQ(events[1].error, 0);
    EXPECT_EQ(events[1].size, 0u);
    // Our marker went out without waiting for the owner's close.
    ASSERT_TRUE(runUntil(base.get(), [&] { return peer->clientEnded(); }));
    EXPECT_FALSE(conn->isClosed());
    conn->requestRead();
    runFor(base.get(), 50);
    EXPECT_EQ(events.size(), 2u) << "nothing after the end of the stream";

    // The linger counted from the marker: once that is 5 s ago, a close
    // frees the channel at the next tick instead of 5 s later.
    Clock::advanceTicksForTest(NcmKcpManager::LingerTime);
    conn->close();
    EXPECT_EQ(manager->lingeringCount(), 1u);
    EXPECT_TRUE(runUntil(
        base.get(), [&] { return manager->lingeringCount() == 0; }, 1500));
}

TEST_F(ConnKcpTest, ConnectTimeoutIsReportedOnceAndALateOpenStillConnects)
{
    peer->setAnswering(false);
    NcmConnKcp* conn = makeConn();
    const auto start = std::chrono::steady_clock::now();
    conn->connect(&proxy.ipStack, peer->address(), 1);
    ASSERT_TRUE(runUntil(
        base.get(), [&] { return !events.empty(); }, 4000));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1000));
    EXPECT_EQ(events[0].event, NcmConn::Connect);
    EXPECT_EQ(events[0].error, ETIMEDOUT);
    EXPECT_EQ(events[0].size, 0u);
    runFor(base.get(), 500);
    EXPECT_EQ(events.size(), 1u) << "the time-out is reported once";

    // The relay wakes up: the Open that is still being resent gets its answer.
    peer->setAnswering(true);
    ASSERT_TRUE(runUntil(
        base.get(), [&] { return events.size() == 2; }, 4000));
    EXPECT_EQ(events[1].event, NcmConn::Connect);
    EXPECT_EQ(events[1].error, 0);
    EXPECT_TRUE(peer->established());
}

TEST_F(ConnKcpTest, ClosedAfterTheTimeoutALateOpenReportsNothing)
{
    peer->setAnswering(false);
    NcmConnKcp* conn = makeConn();
    conn->connect(&proxy.ipStack, peer->address(), 1);
    ASSERT_TRUE(runUntil(
        base.get(), [&] { return !events.empty(); }, 4000));
    conn->close();
    peer->setAnswering(true);
    ASSERT_TRUE(runUntil(
        base.get(), [&] { return peer->established(); }, 4000));
    runFor(base.get(), 100);
    EXPECT_EQ(events.size(), 1u);
}

TEST_F(ConnKcpTest, CloseWithDataInFlightDeliversDataAndMarkerDuringTheLinger)
{
    NcmConnKcp* conn = connected();
    const int fd = conn->socket();
    peer->setDropping(true); // the link goes dead before anything is through
    const std::string payload = pattern(200 * 1024, 4);
    evbuffer_add(conn->output(), payload.data(), payload.size());
    conn->requestDrain();
    ASSERT_TRUE(runUntil(base.get(), [&] { return countOf(NcmConn::Write) == 1; }));
    EXPECT_EQ(events.back().size, payload.size()) << "everything moved into the engine";
    conn->close();
    EXPECT_EQ(conn->channel(), nullptr);
    EXPECT_EQ(manager->lingeringCount(), 1u);
    runFor(base.get(), 300);
    EXPECT_TRUE(peer->received().empty());

    peer->setDropping(false);
    ASSERT_TRUE(runUntil(
        base.get(), [&] { return peer->clientEnded(); }, 4000));
    EXPECT_TRUE(peer->received() == payload);
    EXPECT_EQ(manager->lingeringCount(), 1u) << "lingers for the full time";
    EXPECT_TRUE(descriptorOpen(fd));

    Clock::advanceTicksForTest(NcmKcpManager::LingerTime);
    ASSERT_TRUE(runUntil(
        base.get(), [&] { return manager->lingeringCount() == 0; }, 1500));
    EXPECT_FALSE(descriptorOpen(fd)) << "the socket goes with the channel";
    EXPECT_EQ(events.size(), 1u) << "nothing reaches a closed connection";
}

TEST_F(ConnKcpTest, ManagerDestructionDestroysLingeringChannelsAtOnce)
{
    peer->setAnswering(false); // never connects: closing still lingers, resending the Open
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

TEST_F(ConnKcpTest, ClosedBeforeConnectIsFreedAtOnce)
{
    NcmConnKcp* conn = makeConn();
    conn->requestRead();
    conn->close();
    EXPECT_EQ(conn->channel(), nullptr);
    EXPECT_EQ(manager->lingeringCount(), 0u);
    conn->connect(&proxy.ipStack, peer->address(), 5);
    conn->requestWrite();
    runFor(base.get(), 100);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(peer->datagrams(), 0u);
}

TEST_F(ConnKcpTest, ClosingInsideTheReadSkipsTheMergedWrite)
{
    NcmConnKcp* conn = connected();
    peer->send("data");
    ASSERT_TRUE(runUntil(base.get(), [&] { return conn->channel()->engine()->peekSize() > 0; }));
    int calls = 0;
    conn->setEventCallback([&](NcmConn* c, NcmConn::Event e, int32_t, uint32_t) {
        ++calls;
        EXPECT_EQ(e, NcmConn::Read);
        c->close();
    });
    // Both owed in the same turn: one notify run carries both flags.
    conn->requestRead();
    conn->requestWrite();
    runFor(base.get(), 100);
    EXPECT_EQ(calls, 1);
}

TEST_F(ConnKcpTest, UnparsableAddressFailsInALaterTurn)
{
    NcmConnKcp* conn = makeConn();
    conn->connect(&proxy.ipStack, "not-an-address:80", 5);
    conn->connect(&proxy.ipStack, "also bad", 5);
    EXPECT_TRUE(events.empty());
    ASSERT_TRUE(runUntil(base.get(), [&] { return !events.empty(); }));
    runFor(base.get(), 50);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, NcmConn::Connect);
    EXPECT_NE(events[0].error, 0);
    conn->close();
    EXPECT_EQ(manager->lingeringCount(), 0u);
}
