#include "base/Clock.h"
#include "proxy/NcmProxy.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <unistd.h>

namespace {

class ActivationTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        Clock::resetForTest();
        rootLogger.setLevel('V');
    }
    testsupport::LogCapture capture;
};

} // namespace

TEST_F(ActivationTest, ActivateListensStopEndsTheLoopAtOnceWhateverTheStateAndATakenPortIsRetried)
{
    NcmProxy proxy;
    proxy.lastAcceptTime = 12345;
    const auto start = std::chrono::steady_clock::now();
    proxy.stop(); // never started
    EXPECT_EQ(proxy.lastAcceptTime.load(), 0);
    for (int i = 0; i < 20; ++i) {
        proxy.activate("BackgroundIdleTimeoutToReactivate=0\n");
        proxy.stop(); // right after activate
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    capture.clear();
    proxy.activate("LogLevel=V\nShowStatsOnAccept=0\n");
    const int port = proxy.port();
    ASSERT_GT(port, 0);
    EXPECT_TRUE(proxy.isRunning());
    EXPECT_NE(proxy.lastAcceptTime.load(), 0);
    evutil_socket_t client = testsupport::connectTcp("127.0.0.1", port);
    EXPECT_GE(client, 0);
    close(client);
    proxy.stop();
    EXPECT_EQ(proxy.port(), -1);
    EXPECT_FALSE(proxy.isRunning());
    EXPECT_EQ(proxy.lastAcceptTime.load(), 0);
    EXPECT_EQ(capture.count("stats: {dnsctx=0"), 1u);
    EXPECT_LT(testsupport::connectTcp("127.0.0.1", port), 0) << "the listener outlived stop";
    // A taken fixed port reports -1, and the next activate tries it again.
    int fixed = 0;
    evutil_socket_t holder = testsupport::listenTcp("127.0.0.1", fixed);
    ASSERT_GE(holder, 0);
    const std::string text
        = "DebugUseFixedLocalPort=" + std::to_string(fixed) + "\nBackgroundIdleTimeoutToReactivate=0\n";
    proxy.activate(text.c_str());
    EXPECT_EQ(proxy.port(), -1);
    EXPECT_FALSE(proxy.isRunning());
    close(holder);
    proxy.activate(text.c_str());
    EXPECT_EQ(proxy.port(), fixed);
    proxy.stop();
}

TEST_F(ActivationTest, SecondActivateRestartsOnlyAnIdleServiceAndEmptyTextKeepsTheConfig)
{
    const struct {
        const char* first;
        int idleSeconds;
        const char* second;
        bool restarted;
        int resolveTimeoutDns;
    } cases[] = {
        { "ResolveTimeoutDns=3\n", 0, "ResolveTimeoutDns=4\n", false, 3 },
        { "ResolveTimeoutDns=3\n", 61, "ResolveTimeoutDns=4\n", true, 4 },
        // A zero idle time restarts at every activate.
        { "BackgroundIdleTimeoutToReactivate=never\nResolveTimeoutDns=3\n", 0, "", true, 3 },
    };
    for (const auto& c : cases) {
        NcmProxy proxy;
        proxy.activate(c.first);
        ASSERT_GT(proxy.port(), 0);
        Clock::advanceSecondsForTest(c.idleSeconds);
        capture.clear();
        proxy.activate(c.second);
        EXPECT_EQ(capture.contains("event loop over"), c.restarted);
        EXPECT_EQ(capture.lines().empty(), !c.restarted);
        EXPECT_TRUE(proxy.isRunning());
        EXPECT_EQ(proxy.config.resolveTimeoutDns, c.resolveTimeoutDns) << c.second;
        proxy.stop();
        Clock::resetForTest();
    }
}
