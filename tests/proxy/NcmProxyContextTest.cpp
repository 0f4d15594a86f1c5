#include "proxy/NcmProxyContext.h"
#include "base/Clock.h"
#include "proxy/NcmProxy.h"
#include "relay/KcpRelay.h"
#include "tests/support/KcpSimulatedNetwork.h" // makePayload
#include "tests/support/ProxyHarness.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes(); // from the sanitizer's runtime
#else
#include <malloc.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <regex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

// What the client receives for an upstream's response: only the final head's Connection changes.
std::string closing(const std::string& response)
{
    size_t start = 0;
    while (response.compare(start, 10, "HTTP/1.1 1") == 0)
        start = response.find("\r\n\r\n", start) + 4;
    const size_t end = response.find("\r\n\r\n", start) + 2;
    const std::string head = std::regex_replace(
        response.substr(start, end - start), std::regex("\r\n(Connection|Keep-Alive):[^\r]*"), "");
    return response.substr(0, start) + head + "Connection: close\r\n" + response.substr(end);
}

size_t heapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// A relay on its own event loop in front of one TCP origin.
class RelayThread {
public:
    explicit RelayThread(int originPort)
    {
        KcpRelayOptions options;
        options.listen = "127.0.6.1:0";
        options.upstream = "127.0.0.1:" + std::to_string(originPort);
        m_relay = std::make_unique<KcpRelay>(m_base.get(), options);
        std::string error;
        if (m_relay->start(error))
            m_thread = std::thread([this] { event_base_loop(m_base.get(), EVLOOP_NO_EXIT_ON_EMPTY); });
    }
    ~RelayThread()
    {
        event_base_loopbreak(m_base.get());
        if (m_thread.joinable())
            m_thread.join();
    }
    int port() const { return m_thread.joinable() ? m_relay->port() : 0; }

private:
    EventBasePtr m_base { event_base_new() };
    std::unique_ptr<KcpRelay> m_relay;
    std::thread m_thread;
};

class ProxyContextTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(proxy.start("LogLevel=V\nShowStatsOnAccept=1\n")); }
    // From here on, hosts under relay.test go over KCP through a relay.
    void relayTo(int originPort)
    {
        relay = std::make_unique<RelayThread>(originPort);
        ASSERT_GT(relay->port(), 0);
        proxy.stop();
        ASSERT_TRUE(proxy.start("LogLevel=V\nKcpEnabled=1\nKcpHostMapping=.relay.test#127.0.6.1:"
            + std::to_string(relay->port()) + "\n"));
    }
    std::chrono::nanoseconds loopCpu()
    {
        clockid_t clock;
        timespec t {};
        if (pthread_getcpuclockid(proxy.proxy.runtime->loopThread.native_handle(), &clock) != 0
            || clock_gettime(clock, &t) != 0)
            ADD_FAILURE() << "no CPU clock for the loop thread";
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    }
    LogCapture log;
    RunningProxy proxy;
    std::unique_ptr<RelayThread> relay;
};

} // namespace

TEST_F(ProxyContextTest, OnlyTheOneRequestIsForwardedRewrittenExactly)
{
    std::string received;
    std::atomic<bool> done { false };
    TestUpstream upstream([&](int fd) {
        received = readHead(fd);
        received += readSome(fd, 11);
        received += readAll(fd, 300); // the pipelined second request must not come
        done = true;
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        readAll(fd, 3000);
    });
    const std::string host = "Host: 127.0.0.1:" + std::to_string(upstream.port()) + "\r\n";
    EXPECT_EQ(exchange(proxy.port(),
                  "POST " + upstream.url("/a?b=1#c")
                      + " HTTP/1.0\r\nZeta: last\r\nProxy-Connection: keep-alive\r\nConnection: "
                        "keep-alive\r\nProxy-Authorization: Basic c2VjcmV0\r\nAccept: text/html\r\n"
                      + host + "Accept: */*\r\nContent-Length: 11\r\n\r\nhello worldGET "
                      + upstream.url("/two") + " HTTP/1.1\r\nProxy-Authorization: Basic c2VjcmV0\r\n\r\n",
                  2000),
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    ASSERT_TRUE(done);
    EXPECT_EQ(received,
        "POST /a?b=1#c HTTP/1.0\r\nAccept: text/html, */*\r\nContent-Length: 11\r\n" + host
            + "Zeta: last\r\nX-Ncm-Proxy: Skylark/2.0\r\n\r\nhello world");
}

TEST_F(ProxyContextTest, ResponseFramingEndsTheExchange)
{
    struct Case {
        const char* method;
        std::string response;
        bool upstreamCloses;
        std::string answer = ""; // when not closing(response)
        bool overKcp = false;
    };
    const std::string big = makePayload(200000, 2);
    // Over KCP, chunks reach the parser as one chain per segment.
    std::string megabyte = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 1000; ++i)
        megabyte += "3e8\r\n" + makePayload(1000, i) + "\r\n";
    megabyte += "0\r\n\r\n";
    const std::vector<Case> cases = {
        { "GET", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false },
        { "GET", "HTTP/1.1 200 OK\r\nConnection: close\r\nKeep-Alive: timeout=5\r\n\r\n" + big, true },
        { "GET", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false },
        { "HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false,
            closing("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n") },
        { "GET", "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n0123456789", false,
            closing("HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n") },
        { "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false,
            "HTTP/1.0 502 Bad Gateway\r\nProxy-Agent: Skylark/2.0\r\n\r\n" },
        { "GET", megabyte, false, "", true }, // the last row: the proxy goes over KCP from here
    };
    for (const Case& c : cases) {
        TestUpstream upstream([&](int fd) {
            readHead(fd);
            const size_t split = std::min(c.response.find("\r\n") + 5, c.response.size());
            sendAll(fd, c.response.substr(0, split));
            usleep(20 * 1000);
            sendAll(fd, c.response.substr(split));
            if (c.upstreamCloses)
                shutdown(fd, SHUT_WR);
            else
                readAll(fd, 4000);
        });
        if (c.overKcp)
            relayTo(upstream.port());
        const std::string url = c.overKcp ? "http://www.relay.test/" : upstream.url("/");
        const auto start = std::chrono::steady_clock::now();
        const std::string answer
            = exchange(proxy.port(), std::string(c.method) + " " + url + " HTTP/1.1\r\n\r\n");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500)) << "waited";
        const std::string expected = c.answer.empty() ? closing(c.response) : c.answer;
        EXPECT_TRUE(answer == expected) << c.response.substr(0, 60) << "\n" << answer.substr(0, 200);
    }
}

TEST_F(ProxyContextTest, PeersThatStallAreHeldBackWithoutHoldingUpTheLoop)
{
    struct Row {
        const char* name;
        bool upload; // else a download the client stops reading
        bool overKcp;
        size_t clients = 1;
        std::atomic<size_t> originSent { 0 }, clientSent { 0 }, clientRead { 0 };
        std::atomic<bool> started { false }, done { false };
    };
    Row rows[] = {
        { "200 stalled readers over TCP", false, false, 200 },
        { "stalled upload over TCP", true, false },
        { "stalled reader over KCP", false, true },
        { "stalled upload over KCP", true, true },
    };
    std::atomic<Row*> current { nullptr };
    const std::string chunk(64 * 1024, 'z'); // shared: the heap is measured
    TestUpstream origin([&](int fd) {
        Row& row = *current.load();
        readHead(fd);
        if (row.upload) {
            while (!row.done)
                usleep(10 * 1000);
            return;
        }
        const int small = 64 * 1024; // with many clients, kernel buffers held small
        if (row.clients > 1)
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n");
        while (!row.done && sendAll(fd, chunk))
            row.originSent += chunk.size();
    });
    TestUpstream quick([](int fd) {
        readHead(fd);
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        readAll(fd, 3000);
    });
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.overKcp && !relay)
            relayTo(origin.port());
        if (row.clients > 1) {
            proxy.stop(); // no log lines in the heap measured
            ASSERT_TRUE(proxy.start("LogLevel=W\n"));
        }
        current = &row;
        const std::string url = row.overKcp ? "http://www.relay.test/" : origin.url("/");
        const size_t heapBefore = heapInUse();
        std::vector<int> clients;
        for (size_t i = 0; i < row.clients; ++i)
            clients.push_back(connectTcp("127.0.0.1", proxy.port(), row.clients > 1 ? 16 * 1024 : 0));
        std::thread peer([&] {
            if (row.upload) {
                sendAll(clients[0], "PUT " + url + " HTTP/1.1\r\nContent-Length: 1000000000\r\n\r\n");
                row.started = true;
                const std::string chunk(64 * 1024, 'u');
                while (!row.done && sendAll(clients[0], chunk))
                    row.clientSent += chunk.size();
                return;
            }
            for (int c : clients) {
                sendAll(c, "GET " + url + " HTTP/1.1\r\n\r\n");
                usleep(2000); // within the origin's accept queue
            }
            for (int c : clients)
                row.clientRead += readSome(c, 100000).size();
            row.started = true;
        });
        for (int i = 0; i < 1000 && !row.started; ++i)
            usleep(10 * 1000);
        // Until the pipes are full.
        for (size_t i = 0, last = 0, now;
             i < 50 && (now = row.originSent + row.clientSent) - last > (256u << 10); ++i) {
            last = now;
            usleep(200 * 1000);
        }
        const auto cpuBefore = loopCpu();
        const auto wallBefore = std::chrono::steady_clock::now();
        for (int i = 0; i < 2; ++i) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(exchange(proxy.port(), "GET " + quick.url("/") + " HTTP/1.1\r\n\r\n", 2500),
                closing("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "it waited";
        }
        std::this_thread::sleep_for(
            std::chrono::milliseconds(1000) - (std::chrono::steady_clock::now() - wallBefore));
        const double busy = std::chrono::duration<double>(loopCpu() - cpuBefore).count()
            / std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
        // A KCP sender facing a closed window still updates its engine; a spinning loop takes a core.
        EXPECT_LT(busy, 0.25) << "share of a core the loop used";
        if (row.upload) {
            EXPECT_LT(row.clientSent.load(), 32u << 20) << "the proxy kept reading the upload";
        } else {
            EXPECT_GE(row.clientRead.load(), row.clients * 100000);
            EXPECT_LT(row.originSent - row.clientRead, row.clients * (32u << 20))
                << "the proxy kept reading the download";
        }
        if (row.clients > 1) {
            EXPECT_LT(static_cast<double>(heapInUse()) - heapBefore, row.clients * 64 * 1024.0);
        }
        row.done = true;
        for (int c : clients)
            shutdown(c, SHUT_RDWR);
        peer.join();
        for (int c : clients)
            close(c);
    }
}

TEST_F(ProxyContextTest, AnswersAndUploadsArriveWholeWhateverTheClientSendsMeanwhile)
{
    const struct {
        const char* name;
        const char* method;
        std::string headers;
        size_t upload; // body bytes the client sends
        std::string after; // what the client sends after its request
        size_t answerSize;
        bool originReadsBody; // after answering; otherwise it stops reading soon
        bool breaksOff = false; // the client ends its upload short once answered
    } rows[] = {
        { "early answer to an upload", "PUT", "Content-Length: 4000000\r\n", 4000000, "", 1000000, false },
        // More than the kernel buffers hold: the upload is still being forwarded after the answer.
        { "origin reads the body after answering", "PUT", "Content-Length: 16000000\r\n", 16000000, "", 2,
            true },
        { "bytes after a closing request", "GET", "Connection: close\r\n", 0, "\r\n", 4 << 20, false },
        { "closing client breaks off its upload after the answer", "PUT",
            "Connection: close\r\nContent-Length: 4000000\r\n", 1000000, "", 2, true, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string body = makePayload(row.answerSize, 4);
        const std::string response
            = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        const std::string upload = makePayload(row.upload, 5);
        std::string received;
        int endError = 0; // of the origin's last read
        TestUpstream upstream([&](int fd) {
            readHead(fd);
            usleep(200 * 1000); // what the client sends after its request arrives first
            sendAll(fd, response);
            received = row.originReadsBody ? readSome(fd, upload.size(), 10000) : readAll(fd, 300);
            pollfd ready { fd, POLLIN, 0 };
            char byte;
            if (row.breaksOff && (poll(&ready, 1, 5000) != 1 || recv(fd, &byte, 1, 0) != 0))
                endError = errno ? errno : EPROTO;
            shutdown(fd, SHUT_RDWR);
        });
        int client = connectTcp("127.0.0.1", proxy.port());
        std::thread writer([&] {
            sendAll(client,
                std::string(row.method) + " " + upstream.url("/") + " HTTP/1.1\r\n" + row.headers + "\r\n"
                    + upload);
            usleep(100 * 1000); // after the request has been read
            sendAll(client, row.after);
            if (row.breaksOff) {
                usleep(300 * 1000); // after the answer arrived
                shutdown(client, SHUT_WR);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const std::string answer = readAll(client, 10000);
        shutdown(client, SHUT_RDWR);
        writer.join();
        close(client);
        upstream.stop();
        EXPECT_TRUE(answer == closing(response)) << answer.size() << " bytes";
        if (row.originReadsBody) {
            EXPECT_TRUE(received == upload) << received.size() << " bytes";
        }
        EXPECT_EQ(endError, 0) << "the origin's end of stream: " << strerror(endError);
    }
}

TEST_F(ProxyContextTest, ClientThatAbortsEndsTheUpstreamTooAndAnIdleOneIsSweptAtTheNextAccept)
{
    std::atomic<bool> upstreamEnded { false };
    TestUpstream upstream([&](int fd) {
        readHead(fd);
        readSome(fd, 5);
        usleep(200 * 1000); // the client is gone by now
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n");
        const std::string chunk(64 * 1024, 'z');
        for (int i = 0; i < 300 && !upstreamEnded; ++i) {
            upstreamEnded = !sendAll(fd, chunk);
            usleep(10 * 1000);
        }
    });
    int client = connectTcp("127.0.0.1", proxy.port());
    sendAll(client, "POST " + upstream.url("/") + " HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello");
    usleep(50 * 1000);
    linger reset { 1, 0 };
    setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(client);
    for (int i = 0; i < 200 && !upstreamEnded; ++i)
        usleep(10 * 1000);
    EXPECT_TRUE(upstreamEnded) << "the upstream connection outlived the client";
    // A client that never completes its head is swept at the next accept.
    log.clear();
    int idle = connectTcp("127.0.0.1", proxy.port());
    sendAll(idle, "GET http://127.0.0.1:1/ HT"); // never completes its head
    ASSERT_TRUE(log.waitFor("onConnEventLocal"));
    Clock::advanceSecondsForTest(30);
    int next = connectTcp("127.0.0.1", proxy.port());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readAll(idle, 3000), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500))
        << "the idle client stayed";
    close(idle);
    close(next);
}

TEST_F(ProxyContextTest, OutOfDescriptorsPausesAcceptingAndKeepsTheUpstreamAddress)
{
#if defined(__SANITIZE_ADDRESS__)
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
    const auto release = [&](size_t count) {
        for (; count > 0 && !filler.empty(); --count) {
            close(filler.back());
            filler.pop_back();
        }
    };
    // Room for the client only: accepting pauses (one line) until one more is free; none for the upstream.
    release(1);
    int client = connectTcp("127.0.0.1", proxy.port());
    sendAll(client, "GET http://emfile.test:1/ HTTP/1.1\r\n\r\n");
    usleep(1300 * 1000); // two retries
    const size_t pausedLines = log.count("accept paused");
    release(1);
    const std::string answer = readAll(client, 5000);
    release(filler.size());
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(pausedLines, 1u);
    EXPECT_EQ(answer, Answer504);
    EXPECT_EQ(proxy.proxy.takeReports(), "");
    EXPECT_FALSE(log.contains("discardUnusableIp"));
    close(client);
}

TEST_F(ProxyContextTest, UnusableRequestsGetTheirErrorAnswerOrNone)
{
    std::string longHead = "GET http://127.0.0.1:1/ HTTP/1.1\r\n";
    while (longHead.size() < 20000)
        longHead += "X-Filler: " + std::string(100, 'f') + "\r\n";
    const auto get
        = [](const char* target) { return "GET " + std::string(target) + " HTTP/1.1\r\nHost: h\r\n\r\n"; };
    // No resolver is configured here.
    const std::pair<std::string, std::string> cases[] = {
        { get("http://[::1]:8080/"), "HTTP/1.0 400 Bad Request\r\nProxy-Agent: Skylark/2.0\r\n\r\n" },
        { get("http://unresolvable.invalid/"), Answer504 }, { get("/index.html"), Answer504 },
        { std::string("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x50", 13), "" }, // SOCKS5
        { longHead, "" }, // a head that never ends
        { longHead + "\r\n" + std::string(4000, 'b'), "" }, // ends only past the limit
        { "\r\n\r\n\r\n", "" }, // an empty request line
    };
    for (const auto& [request, answer] : cases)
        EXPECT_EQ(exchange(proxy.port(), request), answer) << request.substr(0, 40);
    EXPECT_TRUE(log.contains("socks5 not implemented: read socks5 req"));
    EXPECT_GE(log.count("can not parse local request"), 4u);
    EXPECT_EQ(log.count("[D][NcmRemote] newEndpoint"), 2u) << "a refused target is not looked up";
}
