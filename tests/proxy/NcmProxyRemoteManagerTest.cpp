#include "base/Clock.h"
#include "base/SocketUtil.h"
#include "proxy/NcmProxy.h"
#include "tests/support/ProxyHarness.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

const std::string Ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
// The proxy says that the client connection ends with the answer.
const std::string OkAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

class RemoteManagerTest : public ::testing::Test {
protected:
    LogCapture log;
    RunningProxy proxy;
};

} // namespace

TEST_F(RemoteManagerTest, SilentRelayTimesOutEveryAttemptThenAnswers504)
{
    // A relay address that takes datagrams and never answers.
    int relay = bindSocket("127.0.6.1", 0, SOCK_DGRAM);
    ASSERT_GE(relay, 0);
    proxy.proxy.config.logLevel = 'V';
    proxy.proxy.config.kcpEnabled = true;
    proxy.proxy.config.kcpHostMapping
        = { { ".relay.test", "127.0.6.1:" + std::to_string(boundPort(relay)) } };
    proxy.proxy.config.connectTimeout = 1;
    ASSERT_TRUE(proxy.start(""));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(proxy.get("http://www.relay.test/"), Answer504);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(3))
        << "each of the three attempts waits out its time-out";
    EXPECT_EQ(log.count("connect event 1, err=" + std::to_string(ETIMEDOUT)), 3u);

    // Every attempt opened its own conversation, and only Opens were sent.
    std::set<uint32_t> conversations;
    uint8_t datagram[2048];
    for (ssize_t n; (n = recv(relay, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;) {
        ASSERT_GE(n, 24);
        EXPECT_EQ(datagram[4], 80) << "an Open";
        EXPECT_EQ(datagram[6] | (datagram[7] << 8), 1024) << "the receive window was set before connect";
        conversations.insert(datagram[0] | (datagram[1] << 8) | (datagram[2] << 16)
            | (static_cast<uint32_t>(datagram[3]) << 24));
    }
    EXPECT_EQ(conversations.size(), 3u);
    close(relay);
    proxy.stop();
    EXPECT_TRUE(log.contains("pxyctx=0, remoteconn=0"));
}

TEST_F(RemoteManagerTest, PoolKeepsThreePerNameServesFromThemAndDropsIdleOnes)
{
    // Keep-alive is fixed off in the product; the pool is exercised here.
    proxy.proxy.config.logLevel = 'V';
    proxy.proxy.config.showStatsOnAccept = true;
    proxy.proxy.config.keepAliveDisabled = false;
    ASSERT_TRUE(proxy.start(""));
    // The first request on each connection is held until four have arrived,
    // so that four upstream connections are released together.
    std::mutex mutex;
    std::condition_variable allArrived;
    int arrived = 0;
    std::vector<int> upstreamFds;
    TestUpstream upstream([&](int fd) {
        for (bool first = true; !readHead(fd).empty(); first = false) {
            if (first) {
                std::unique_lock<std::mutex> lock(mutex);
                upstreamFds.push_back(fd);
                ++arrived;
                allArrived.notify_all();
                allArrived.wait_for(lock, std::chrono::seconds(5), [&] { return arrived >= 4; });
            }
            if (!sendAll(fd, Ok))
                return;
        }
    });
    const std::string url = upstream.url("/");
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&] { EXPECT_EQ(proxy.get(url), OkAnswer); });
    for (auto& t : clients)
        t.join();
    EXPECT_TRUE(log.waitFor("httpPool=1(3)"));
    EXPECT_FALSE(log.contains("httpPool=1(4)"));
    // Later requests are served by pooled connections.
    EXPECT_EQ(proxy.get(url), OkAnswer);
    EXPECT_EQ(proxy.get(url), OkAnswer);
    EXPECT_EQ(upstream.accepted(), 4);
    EXPECT_EQ(log.count("acquireEndpointHttp pop"), 2u);
    // The client has its answer before the proxy hands the connection back.
    EXPECT_TRUE(log.waitFor("releaseHttp ", 3000, 6));

    // The pooled upstreams hang up after aging: the idle event frees them.
    Clock::advanceSecondsForTest(10);
    log.clear();
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (int fd : upstreamFds)
            shutdown(fd, SHUT_WR);
    }
    EXPECT_TRUE(log.waitFor("clearHttpPoolHostConn"));
    // Nothing is left to pop: the statistics line of the next arrival shows an empty pool.
    EXPECT_EQ(proxy.get(url), OkAnswer);
    EXPECT_EQ(upstream.accepted(), 5);
    const auto lines = log.lines();
    const auto arrival = std::find_if(lines.begin(), lines.end(),
        [](const std::string& line) { return line.find("pxyreq=7") != std::string::npos; });
    ASSERT_NE(arrival, lines.end());
    EXPECT_NE(arrival->find("httpPool=0(0)"), std::string::npos) << *arrival;

    // A response the client left unfinished does not hand its connection
    // back: the next request gets a connection of its own.
    std::atomic<bool> cutShort { true };
    TestUpstream cut([&](int fd) {
        while (!readHead(fd).empty())
            if (!sendAll(
                    fd, cutShort.exchange(false) ? "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc" : Ok))
                return;
    });
    log.clear();
    int client = connectTcp("127.0.0.1", proxy.port());
    sendAll(client, "GET " + cut.url("/") + " HTTP/1.1\r\n\r\n");
    EXPECT_NE(readSome(client, 61).find("abc"), std::string::npos);
    close(client);
    ASSERT_TRUE(log.waitFor("finishTransport"));
    EXPECT_EQ(proxy.get(cut.url("/")), OkAnswer);
    EXPECT_EQ(cut.accepted(), 2);
}
