#include "base/SocketUtil.h"
#include "proxy/NcmProxy.h"
#include "tests/support/ProxyHarness.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

using namespace testsupport;

namespace {

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
