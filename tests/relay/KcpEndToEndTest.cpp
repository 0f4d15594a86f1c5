// Requests through the running proxy over KCP to the relay, which forwards
// them to a blocking upstream, with a lossy forwarder between proxy and
// relay. (Clean links are covered with curl and nginx by
// kcp_curl_nginx_test.sh.) Everything on 127.0.6.x.
#include "proxy/NcmProxy.h"
#include "relay/KcpRelay.h"
#include "relay/LossyLink.h"
#include "tests/support/KcpTestPeer.h"
#include "tests/support/ProxyHarness.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <optional>
#include <ostream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

// The relay, and optionally a lossy forwarder in front of it, on an event
// loop of their own.
class RelayRunner {
public:
    RelayRunner(const std::string& upstream, std::optional<ImpairmentProfile> impairment = std::nullopt,
        uint32_t seed = 1)
        : m_base(event_base_new())
    {
        KcpRelayOptions options;
        options.listen = "127.0.6.1:0";
        options.upstream = upstream;
        m_relay = std::make_unique<KcpRelay>(m_base.get(), options);
        std::string error;
        m_started = m_relay->start(error);
        m_entryPort = m_relay->port();
        if (m_started && impairment) {
            LossyUdpOptions lossy;
            lossy.listen = "127.0.6.1:0";
            lossy.target = "127.0.6.1:" + std::to_string(m_relay->port());
            lossy.toTarget = *impairment;
            lossy.toClient = *impairment;
            lossy.seed = seed;
            m_lossy = std::make_unique<LossyUdpForwarder>(m_base.get(), lossy);
            m_started = m_lossy->start(error);
            m_entryPort = m_lossy->port();
        }
        m_stopCheck.reset(event_new(m_base.get(), -1, EV_PERSIST, &RelayRunner::onStopCheck, this));
        timeval tv { 0, 20 * 1000 };
        event_add(m_stopCheck.get(), &tv);
        m_thread = std::thread([this] { event_base_dispatch(m_base.get()); });
    }
    ~RelayRunner() { stop(); }

    bool started() const { return m_started; }
    std::string entry() const { return "127.0.6.1:" + std::to_string(m_entryPort); }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    // After stop().
    const KcpRelay& relay() const { return *m_relay; }
    const LossyUdpForwarder* lossy() const { return m_lossy.get(); }

private:
    static void onStopCheck(evutil_socket_t, short, void* arg)
    {
        auto* self = static_cast<RelayRunner*>(arg);
        if (self->m_stop)
            event_base_loopbreak(self->m_base.get());
    }

    EventBasePtr m_base;
    std::unique_ptr<KcpRelay> m_relay;
    std::unique_ptr<LossyUdpForwarder> m_lossy;
    EventPtr m_stopCheck;
    bool m_started = false;
    int m_entryPort = -1;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

// Answers "GET /size/N/SEED" with N pattern bytes and anything else with
// "ok", Content-Length framed.
class PatternUpstream {
public:
    PatternUpstream()
        : m_server(
            [this](int fd) {
                const std::string head = readHead(fd);
                if (head.empty())
                    return;
                const size_t space = head.find(' ');
                const std::string path = head.substr(space + 1, head.find(' ', space + 1) - space - 1);
                std::string body = "ok";
                if (path.rfind("/size/", 0) == 0) {
                    const size_t slash = path.rfind('/');
                    body = pattern(std::stoul(path.substr(6, slash - 6)), std::stoul(path.substr(slash + 1)));
                }
                sendAll(fd,
                    "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
                shutdown(fd, SHUT_WR);
                readAll(fd, 5000); // the client's end arrives through the relay
            },
            "127.0.6.2")
    {
    }
    std::string address() const { return "127.0.6.2:" + std::to_string(m_server.port()); }

private:
    TestUpstream m_server;
};

// A GET through the proxy that reads until the proxy closes; the body when
// the status is 200 and the length matches, else the whole answer.
std::string fetch(int proxyPort, const std::string& path, int timeoutMs)
{
    int fd = connectTcp("127.0.0.1", proxyPort);
    if (fd < 0)
        return "connect failed";
    sendAll(fd,
        "GET http://www.relay.test" + path
            + " HTTP/1.1\r\nHost: www.relay.test\r\nProxy-Connection: close\r\n\r\n");
    std::string answer = readAll(fd, timeoutMs);
    close(fd);
    const size_t end = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 200 OK\r\n", 0) != 0 || end == std::string::npos)
        return answer;
    return answer.substr(end + 4);
}

class KcpEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
    bool startProxy(const std::string& relayEntry)
    {
        return proxy.start("LogLevel=W\nKcpEnabled=1\nKcpHostMapping=.relay.test#" + relayEntry + "\n");
    }
    PatternUpstream upstream;
    RunningProxy proxy;
};

} // namespace

struct LossCase {
    double loss;
    size_t size;
};

void PrintTo(const LossCase& c, std::ostream* os)
{
    *os << c.loss * 100 << "% loss, " << c.size << " bytes";
}

class KcpLossyLinkTest : public KcpEndToEndTest, public ::testing::WithParamInterface<LossCase> { };

TEST_P(KcpLossyLinkTest, BodyArrivesIntact)
{
    ImpairmentProfile impairment;
    impairment.loss = GetParam().loss;
    impairment.duplicate = 0.02;
    impairment.reorder = 0.02;
    RelayRunner relay(upstream.address(), impairment, 17);
    ASSERT_TRUE(relay.started());
    ASSERT_TRUE(startProxy(relay.entry()));
    const size_t size = GetParam().size;
    const std::string body = fetch(proxy.port(), "/size/" + std::to_string(size) + "/11", 120000);
    ASSERT_EQ(body.size(), size);
    EXPECT_TRUE(body == pattern(size, 11));
    proxy.stop();
    relay.stop();
    // The link really was that bad, both ways.
    const ImpairmentStats down = relay.lossy()->toClientStats();
    const ImpairmentStats up = relay.lossy()->toTargetStats();
    EXPECT_NEAR(static_cast<double>(down.dropped) / down.received, GetParam().loss, 0.03);
    EXPECT_NEAR(static_cast<double>(up.dropped) / up.received, GetParam().loss, 0.05);
    EXPECT_GT(down.duplicated, 0u);
    EXPECT_GT(down.reordered, 0u);
}

INSTANTIATE_TEST_SUITE_P(Loss, KcpLossyLinkTest,
    ::testing::Values(LossCase { 0.10, 4u << 20 }, LossCase { 0.30, 2u << 20 }),
    [](const ::testing::TestParamInfo<LossCase>& info) {
        return "Loss" + std::to_string(static_cast<int>(info.param.loss * 100 + 0.5)) + "Percent";
    });
