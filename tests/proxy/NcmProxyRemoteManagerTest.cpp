#include "base/Clock.h"
#include "proxy/NcmProxy.h"
#include "tests/support/ProxyHarness.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

// Serves any number of requests per connection, each answered with "ok".
void keepAliveHandler(int fd)
{
    for (;;) {
        if (readHead(fd, 5000).empty())
            return;
        if (!sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"))
            return;
    }
}

// The proxy says that the client connection ends with the answer.
const std::string OkAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

class RemoteManagerTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        proxy.stop();
        rootLogger.setLevel('V');
        Clock::resetForTest();
    }
    // Keep-alive is fixed off in the product; the pool is exercised here.
    void startWithPool()
    {
        proxy.proxy.config.logLevel = 'V';
        proxy.proxy.config.showStatsOnAccept = true;
        proxy.proxy.config.keepAliveDisabled = false;
        ASSERT_TRUE(proxy.startWithCurrentConfig());
    }
    LogCapture log;
    RunningProxy proxy;
};

} // namespace

TEST_F(RemoteManagerTest, NumericHostsSkipTheResolver)
{
    ASSERT_TRUE(proxy.start("LogLevel=V\n"));
    TestUpstream upstream(keepAliveHandler);
    EXPECT_EQ(proxyGet(proxy.port(), "http://127.0.0.1:" + std::to_string(upstream.port()) + "/"), OkAnswer);
    EXPECT_FALSE(log.contains("can not resolve ip"));
}

TEST_F(RemoteManagerTest, SilentRelayTimesOutEveryAttemptThenAnswers504)
{
    // A relay address that takes datagrams and never answers.
    int relay = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.6.1", &address.sin_addr);
    ASSERT_EQ(bind(relay, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(relay, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string relayAddress = "127.0.6.1:" + std::to_string(ntohs(address.sin_port));

    proxy.proxy.config.logLevel = 'V';
    proxy.proxy.config.kcpEnabled = true;
    proxy.proxy.config.kcpHostMapping = { { ".relay.test", relayAddress } };
    proxy.proxy.config.connectTimeout = 1;
    ASSERT_TRUE(proxy.startWithCurrentConfig());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(proxyGet(proxy.port(), "http://www.relay.test/"),
        "HTTP/1.0 504 Gateway Timeout\r\nProxy-Agent: Skylark/2.0\r\n\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(3))
        << "each of the three attempts waits out its time-out";
    // One Connect failure per attempt, each a time-out.
    EXPECT_EQ(log.count("connect event"), 3u);
    EXPECT_EQ(log.count("connect event 1, err=" + std::to_string(ETIMEDOUT)), 3u);
    EXPECT_EQ(log.count("connecting"), 3u);

    // Every attempt opened its own conversation, and only Opens were sent.
    std::set<uint32_t> conversations;
    uint8_t datagram[2048];
    ssize_t n;
    while ((n = recv(relay, datagram, sizeof datagram, 0)) > 0) {
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

TEST_F(RemoteManagerTest, PooledConnectionServesTheNextRequest)
{
    startWithPool();
    TestUpstream upstream(keepAliveHandler);
    const std::string url = "http://127.0.0.1:" + std::to_string(upstream.port()) + "/";
    EXPECT_EQ(proxyGet(proxy.port(), url), OkAnswer);
    EXPECT_EQ(proxyGet(proxy.port(), url), OkAnswer);
    EXPECT_EQ(proxyGet(proxy.port(), url), OkAnswer);
    EXPECT_EQ(upstream.accepted(), 1);
    EXPECT_EQ(log.count("acquireEndpointHttp pop"), 2u);
    EXPECT_TRUE(log.contains("httpPool=1(1)"));
}

TEST_F(RemoteManagerTest, PoolKeepsThreePerNameAndDropsIdleOnes)
{
    startWithPool();
    // Four requests held until all four have arrived, so that four upstream
    // connections are released together.
    std::mutex mutex;
    std::condition_variable allArrived;
    int arrived = 0;
    std::vector<int> upstreamFds;
    TestUpstream upstream([&](int fd) {
        if (readHead(fd).empty())
            return;
        {
            std::unique_lock<std::mutex> lock(mutex);
            upstreamFds.push_back(fd);
            ++arrived;
            allArrived.notify_all();
            allArrived.wait_for(lock, std::chrono::seconds(5), [&] { return arrived >= 4; });
        }
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        readAll(fd, 8000);
    });
    const std::string url = "http://127.0.0.1:" + std::to_string(upstream.port()) + "/";
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&] { EXPECT_EQ(proxyGet(proxy.port(), url), OkAnswer); });
    for (auto& t : clients)
        t.join();
    for (int i = 0; i < 200 && !log.contains("httpPool=1(3)"); ++i)
        usleep(10 * 1000);
    EXPECT_TRUE(log.contains("httpPool=1(3)"));
    EXPECT_FALSE(log.contains("httpPool=1(4)"));

    // One pooled upstream hangs up after the others have aged: the idle
    // event frees it together with every entry 10 seconds old.
    Clock::advanceSecondsForTest(10);
    log.clear();
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (int fd : upstreamFds)
            shutdown(fd, SHUT_WR);
    }
    for (int i = 0; i < 300 && !log.contains("clearHttpPoolHostConn"); ++i)
        usleep(10 * 1000);
    EXPECT_TRUE(log.contains("clearHttpPoolHostConn"));
    // A new request now opens a fresh connection: nothing is left to pop.
    TestUpstream fresh(keepAliveHandler);
    EXPECT_EQ(proxyGet(proxy.port(), "http://127.0.0.1:" + std::to_string(fresh.port()) + "/"), OkAnswer);
    // Every statistics line after the purge shows the emptied pool.
    bool purged = false;
    for (const std::string& line : log.lines()) {
        purged = purged || line.find("clearHttpPoolHostConn") != std::string::npos;
        if (purged) {
            EXPECT_EQ(line.find("httpPool=1(3)"), std::string::npos) << line;
        }
    }
}
