#include "proxy/NcmProxyContext.h"
#include "base/Clock.h"
#include "base/StringUtil.h"
#include "proxy/NcmProxy.h"
#include "tests/support/KcpSimulatedNetwork.h" // makePayload
#include "tests/support/ProxyHarness.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

const char* const LoopbackConfig = "LogLevel=V\nShowStatsOnAccept=1\n";

// True when the peer closes its side within the time given.
bool closesWithin(int fd, int timeoutMs)
{
    pollfd p { fd, POLLIN, 0 };
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    char c;
    return recv(fd, &c, 1, MSG_PEEK) == 0;
}

// What the client receives for an upstream's response: the final head says
// that the connection closes, and nothing else changes.
std::string closing(const std::string& response)
{
    size_t start = 0;
    while (response.compare(start, 10, "HTTP/1.1 1") == 0)
        start = response.find("\r\n\r\n", start) + 4;
    const size_t end = response.find("\r\n\r\n", start) + 2;
    std::string head;
    for (size_t line = start; line < end;) {
        const size_t next = response.find("\r\n", line) + 2;
        const std::string text = response.substr(line, next - line);
        if (text.rfind("Connection:", 0) != 0 && text.rfind("Keep-Alive:", 0) != 0)
            head += text;
        line = next;
    }
    return response.substr(0, start) + head + "Connection: close\r\n" + response.substr(end);
}

class ProxyContextTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(proxy.start(LoopbackConfig)); }
    void TearDown() override
    {
        proxy.stop();
        rootLogger.setLevel('V');
        Clock::resetForTest();
    }
    LogCapture log;
    RunningProxy proxy;
};

} // namespace

TEST_F(ProxyContextTest, ForwardedRequestIsRewrittenExactly)
{
    std::string received;
    std::atomic<bool> done { false };
    TestUpstream upstream([&](int fd) {
        std::string head = readHead(fd);
        received = head + readSome(fd, 11);
        done = true;
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        readAll(fd, 3000); // keeps the connection open: the length ends the response
    });
    const std::string port = std::to_string(upstream.port());
    int client = connectTcp("127.0.0.1", proxy.port());
    sendAll(client,
        "POST http://127.0.0.1:" + port
            + "/a?b=1#c HTTP/1.0\r\n"
              "Zeta: last\r\n"
              "Proxy-Connection: keep-alive\r\n"
              "Connection: keep-alive\r\n"
              "Accept: text/html\r\n"
              "Host: 127.0.0.1:"
            + port
            + "\r\n"
              "Accept: */*\r\n"
              "Content-Length: 11\r\n"
              "\r\nhello world");
    std::string answer = readAll(client, 2000);
    EXPECT_EQ(answer, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    close(client);
    ASSERT_TRUE(done);
    EXPECT_EQ(received,
        "POST /a?b=1#c HTTP/1.0\r\n"
        "Accept: text/html, */*\r\n"
        "Content-Length: 11\r\n"
        "Host: 127.0.0.1:"
            + port
            + "\r\n"
              "Zeta: last\r\n"
              "X-Ncm-Proxy: Skylark/2.0\r\n"
              "\r\nhello world");
}

TEST_F(ProxyContextTest, ResponseFramingEndsTheExchange)
{
    struct Case {
        const char* name;
        std::string response;
        bool upstreamCloses;
    };
    const std::string big = makePayload(200000, 2);
    const std::vector<Case> cases = {
        { "length", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big,
            false },
        { "zero length", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false },
        { "chunked",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: "
            "chunked\r\n\r\n5\r\nhello\r\n1;ext=1\r\n!\r\n0\r\nTrailer: x\r\n\r\n",
            false },
        { "close", "HTTP/1.1 200 OK\r\nConnection: close\r\nKeep-Alive: timeout=5\r\n\r\n" + big, true },
        { "length then close", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\n" + big,
            true },
    };
    for (const Case& c : cases) {
        TestUpstream upstream([&](int fd) {
            readHead(fd);
            // Dribble the head across writes to exercise the incremental parser.
            const size_t split = c.response.find("\r\n") + 5;
            sendAll(fd, c.response.substr(0, split));
            usleep(20 * 1000);
            sendAll(fd, c.response.substr(split));
            if (c.upstreamCloses) {
                shutdown(fd, SHUT_WR);
                return;
            }
            readAll(fd, 4000);
        });
        int client = connectTcp("127.0.0.1", proxy.port());
        sendAll(client, "GET http://127.0.0.1:" + std::to_string(upstream.port()) + "/ HTTP/1.1\r\n\r\n");
        auto start = std::chrono::steady_clock::now();
        std::string answer = readAll(client, 3000);
        auto took = std::chrono::steady_clock::now() - start;
        close(client);
        EXPECT_EQ(answer.size(), closing(c.response).size()) << c.name;
        EXPECT_TRUE(answer == closing(c.response)) << c.name;
        EXPECT_LT(took, std::chrono::milliseconds(2500)) << c.name << ": the client waited for the upstream";
    }
}

TEST_F(ProxyContextTest, BodilessAnswersEndWithTheirHead)
{
    struct Case {
        const char* method;
        std::string response;
    };
    const std::vector<Case> cases = {
        { "HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\n\r\n" },
        { "GET", "HTTP/1.1 204 No Content\r\n\r\n" },
        { "GET", "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n" },
        { "GET", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" },
    };
    for (const Case& c : cases) {
        TestUpstream upstream([&](int fd) {
            readHead(fd);
            sendAll(fd, c.response);
            readAll(fd, 4000); // the upstream keeps its connection open
        });
        int client = connectTcp("127.0.0.1", proxy.port());
        sendAll(client,
            std::string(c.method) + " http://127.0.0.1:" + std::to_string(upstream.port())
                + "/ HTTP/1.1\r\n\r\n");
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(readAll(client, 3000), closing(c.response)) << c.method;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500)) << c.response;
        close(client);
    }
}

TEST_F(ProxyContextTest, OnlyTheOneRequestReachesTheUpstream)
{
    std::string received;
    TestUpstream upstream([&](int fd) {
        received = readHead(fd);
        received += readSome(fd, 3, 1000);
        received += readAll(fd, 300); // anything more would be a second request
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    });
    int client = connectTcp("127.0.0.1", proxy.port());
    const std::string url = "http://127.0.0.1:" + std::to_string(upstream.port());
    sendAll(client,
        "POST " + url
            + "/one HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"
              "GET "
            + url + "/two HTTP/1.1\r\nProxy-Authorization: Basic c2VjcmV0\r\n\r\n");
    EXPECT_EQ(readAll(client, 3000), closing("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    close(client);
    EXPECT_TRUE(StringUtil::endsWith(received, "\r\n\r\nabc")) << received;
    EXPECT_EQ(received.find("/two"), std::string::npos);
}

TEST_F(ProxyContextTest, SlowClientKeepsProxyMemoryBounded)
{
    const size_t total = 64 * 1024 * 1024;
    std::atomic<size_t> sent { 0 };
    TestUpstream upstream([&](int fd) {
        readHead(fd);
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(total) + "\r\n\r\n");
        const std::string chunk(64 * 1024, 'z');
        while (sent < total) {
            if (!sendAll(fd, chunk))
                return;
            sent += chunk.size();
        }
        readAll(fd, 30000); // kept open: only the length ends the response
    });
    int client = connectTcp("127.0.0.1", proxy.port());
    sendAll(client, "GET http://127.0.0.1:" + std::to_string(upstream.port()) + "/big HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    // Only the sockets' kernel buffers and one high-water mark hold data:
    // the proxy must not have drained the upstream into memory.
    EXPECT_LT(sent.load(), 32u * 1024 * 1024) << "the proxy kept reading from the upstream";
    const auto start = std::chrono::steady_clock::now();
    std::string all = readAll(client, 25000);
    close(client);
    EXPECT_EQ(all.size(),
        total + closing("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(total) + "\r\n\r\n").size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << "the end was not seen";
}

TEST_F(ProxyContextTest, EarlyAnswerToAnUploadArrivesWhole)
{
    const std::string body = makePayload(1000000, 4);
    const std::string response
        = "HTTP/1.1 413 Too Large\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    TestUpstream upstream([&](int fd) {
        readHead(fd);
        sendAll(fd, response);
        readAll(fd, 300);
    });
    int client = connectTcp("127.0.0.1", proxy.port());
    std::thread writer([&] {
        sendAll(client,
            "PUT http://127.0.0.1:" + std::to_string(upstream.port())
                + "/up HTTP/1.1\r\nContent-Length: 4000000\r\n\r\n" + makePayload(4000000, 5));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the answer is complete before it is read
    const std::string answer = readAll(client, 10000);
    shutdown(client, SHUT_RDWR);
    writer.join();
    close(client);
    EXPECT_EQ(answer.size(), closing(response).size());
    EXPECT_TRUE(answer == closing(response));
}

TEST_F(ProxyContextTest, ClientThatAbortsEndsTheUpstreamToo)
{
    std::atomic<bool> upstreamEnded { false };
    TestUpstream upstream([&](int fd) {
        readHead(fd);
        readSome(fd, 5);
        usleep(200 * 1000); // the client is gone by now
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n");
        const std::string chunk(64 * 1024, 'z');
        for (int i = 0; i < 300; ++i) {
            if (!sendAll(fd, chunk)) {
                upstreamEnded = true;
                return;
            }
            usleep(10 * 1000);
        }
    });
    int client = connectTcp("127.0.0.1", proxy.port());
    sendAll(client,
        "POST http://127.0.0.1:" + std::to_string(upstream.port())
            + "/ HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello");
    usleep(50 * 1000);
    linger reset { 1, 0 };
    setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(client);
    for (int i = 0; i < 200 && !upstreamEnded; ++i)
        usleep(10 * 1000);
    EXPECT_TRUE(upstreamEnded) << "the upstream connection outlived the client";
}

TEST_F(ProxyContextTest, OutOfDescriptorsUpstreamKeepsItsAddress)
{
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks open descriptors (a pipe to probe memory)
    // and report a false fault when none is left.
    GTEST_SKIP() << "needs every descriptor taken, which the sanitizer runtime cannot work with";
#endif
    proxy.stop();
    ASSERT_TRUE(proxy.start("LogLevel=V\nDomainIps=emfile.test:127.0.0.1\n"));
    rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = dup(0)) >= 0;)
        filler.push_back(fd);
    // Room for the client's socket and the accepted one, none for the upstream.
    for (int i = 0; i < 2 && !filler.empty(); ++i) {
        close(filler.back());
        filler.pop_back();
    }
    const std::string answer = proxyGet(proxy.port(), "http://emfile.test:1/");
    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(answer, "HTTP/1.0 504 Gateway Timeout\r\nProxy-Agent: Skylark/2.0\r\n\r\n");
    EXPECT_EQ(proxy.proxy.takeReports(), "");
    EXPECT_FALSE(log.contains("discardUnusableIp"));
}

TEST_F(ProxyContextTest, MalformedRequestGets400WithoutLookup)
{
    EXPECT_EQ(proxyGet(proxy.port(), "http://[::1]:8080/"),
        "HTTP/1.0 400 Bad Request\r\nProxy-Agent: Skylark/2.0\r\n\r\n");
    EXPECT_FALSE(log.contains("chooseUsableIp"));
    EXPECT_FALSE(log.contains("newEndpoint"));
}

TEST_F(ProxyContextTest, NamedAndOriginFormTargetsEndIn504)
{
    // No resolver is configured here, and an origin-form target has no host.
    EXPECT_EQ(proxyGet(proxy.port(), "http://unresolvable.invalid/"),
        "HTTP/1.0 504 Gateway Timeout\r\nProxy-Agent: Skylark/2.0\r\n\r\n");
    EXPECT_EQ(proxyGet(proxy.port(), "/index.html"),
        "HTTP/1.0 504 Gateway Timeout\r\nProxy-Agent: Skylark/2.0\r\n\r\n");
    EXPECT_TRUE(log.contains("unhandled http request: /index.html"));
}

TEST_F(ProxyContextTest, RefusedClientsGetNoAnswer)
{
    // A SOCKS5 greeting and request.
    int socks = connectTcp("127.0.0.1", proxy.port());
    sendAll(socks, std::string("\x05\x01\x00", 3));
    usleep(20 * 1000);
    sendAll(socks, std::string("\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x50", 10));
    EXPECT_EQ(readAll(socks, 3000), "");
    close(socks);
    EXPECT_TRUE(log.contains("socks5 not implemented: read socks5 req"));

    // A head that never ends.
    int longHead = connectTcp("127.0.0.1", proxy.port());
    std::string head = "GET http://127.0.0.1:1/ HTTP/1.1\r\n";
    while (head.size() < 20000)
        head += "X-Filler: " + std::string(100, 'f') + "\r\n";
    sendAll(longHead, head);
    EXPECT_EQ(readAll(longHead, 3000), "");
    close(longHead);

    // A head that ends only past the limit, arriving in one piece with a body.
    int lateEnd = connectTcp("127.0.0.1", proxy.port());
    sendAll(lateEnd, head + "\r\n" + std::string(4000, 'b'));
    EXPECT_EQ(readAll(lateEnd, 3000), "");
    close(lateEnd);

    // An empty request line.
    int empty = connectTcp("127.0.0.1", proxy.port());
    sendAll(empty, "\r\n\r\n\r\n");
    EXPECT_EQ(readAll(empty, 3000), "");
    close(empty);
    EXPECT_GE(log.count("can not parse local request"), 4u);
}

TEST_F(ProxyContextTest, IdleContextsAreSweptAtTheNextAccept)
{
    int idle = connectTcp("127.0.0.1", proxy.port());
    sendAll(idle, "GET http://127.0.0.1:1/ HT"); // never completes its head
    for (int i = 0; i < 300 && !log.contains("onConnEventLocal"); ++i)
        usleep(10 * 1000);
    ASSERT_TRUE(log.contains("onConnEventLocal"));
    Clock::advanceSecondsForTest(30);
    int next = connectTcp("127.0.0.1", proxy.port());
    EXPECT_TRUE(closesWithin(idle, 3000)) << "the idle client was not disconnected";
    EXPECT_TRUE(log.contains("destroy timeout context:"));
    EXPECT_TRUE(log.contains(", no remote)"));
    close(idle);
    close(next);
}

TEST_F(ProxyContextTest, CountersReturnToZeroWhenAllIsDone)
{
    TestUpstream upstream([](int fd) {
        readHead(fd);
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx");
        readAll(fd, 2000);
    });
    std::vector<std::thread> clients;
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back([&] {
            EXPECT_EQ(proxyGet(proxy.port(), "http://127.0.0.1:" + std::to_string(upstream.port()) + "/"),
                "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nConnection: close\r\n\r\nx");
        });
    }
    for (auto& t : clients)
        t.join();
    proxy.stop();
    EXPECT_TRUE(log.contains(
        "stats: {dnsctx=0, pxyctx=0, remoteconn=0} dnsreq=0, pxyreq=8, remotesuc=8, remotefail=0"));
    EXPECT_EQ(log.count("releaseHttp 0x"), 8u);
    EXPECT_EQ(log.count("keep alive disabled. close."), 8u);
    EXPECT_EQ(log.count("httpPool=0(0)"), log.count("[mgr: "));
}

TEST(ProxyContextEndpointName, KcpMappingRules)
{
    NcmProxy proxy;
    proxy.stats = std::make_shared<NcmStats>();
    proxy.config.kcpHostMapping = { { ".Example.test", "127.0.0.9:9990" }, { ".mixed.test", ":9990" },
        { "port.test:8443", "127.0.0.8:9990" }, { "exact.test", "127.0.0.7:9990" } };
    NcmProxyContext context(&proxy);
    EXPECT_EQ(context.buildEndpointName("Www.Mixed.Test", "443"), "tcp:Www.Mixed.Test:443") << "KCP is off";

    proxy.config.kcpEnabled = true;
    EXPECT_EQ(context.buildEndpointName("Www.Mixed.Test", "443"), "kcp:Www.Mixed.Test:9990");
    EXPECT_EQ(context.buildEndpointName("a.example.test", "80"), "tcp:a.example.test:80")
        << "keys are not lowered";
    EXPECT_EQ(context.buildEndpointName("port.test", "8443"), "kcp:127.0.0.8:9990");
    EXPECT_EQ(context.buildEndpointName("port.test", "443"), "tcp:port.test:443");
    EXPECT_EQ(context.buildEndpointName("EXACT.test", "80"), "kcp:127.0.0.7:9990");
    EXPECT_EQ(context.buildEndpointName("notexact.test", "80"), "tcp:notexact.test:80");
    EXPECT_EQ(context.buildEndpointName("mixed.test", "80"), "tcp:mixed.test:80")
        << "a dotted key needs the dot";
}

TEST(ProxyContextHeaders, HeaderLinesSplitAtTheFirstColon)
{
    std::string name, value;
    parseHeaderLine("Host:  example:8080 ", name, value);
    EXPECT_EQ(name, "Host");
    EXPECT_EQ(value, "example:8080 ");
    parseHeaderLine("NoColon", name, value);
    EXPECT_EQ(name, "NoColon");
    EXPECT_EQ(value, "");
}
