#include "base/Logger.h"
#include "tests/support/TestSupport.h"

#include <event2/event.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override { rootLogger.setLevel('V'); }
    testsupport::LogCapture capture;
};

} // namespace

TEST_F(LoggerTest, RootLevelIsTheThresholdOfEveryModule)
{
    const std::string levels = "EWIDV";
    for (const char level : levels) {
        rootLogger.setLevel(level);
        capture.clear();
        logProxy.error("e-line");
        logProxy.warn("w-line");
        logDnsClient.info("i-line");
        logDnsClient.debug("d-line");
        logProxy.verbose("v-line");
        EXPECT_EQ(capture.lines().size(), levels.find(level) + 1) << level;
    }
    EXPECT_TRUE(capture.contains("[D][NcmDnsClient] d-line"));
}

TEST_F(LoggerTest, LinesCarryTimeThreadLevelAndTagLibeventsUseTheRootTagLongOnesGrowToALimit)
{
    logContext.info("value=%d", 42);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(std::regex_match(capture.lines()[0],
        std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \{0x[0-9A-F]{8}\}\[I\]\[NcmProxyContext\] value=42)")))
        << capture.lines()[0];

    // libevent's messages keep their level under the root tag.
    libeventLogHook(EVENT_LOG_WARN, "careful");
    libeventLogHook(EVENT_LOG_DEBUG, "detail");
    libeventLogHook(99, "odd");
    EXPECT_TRUE(capture.contains("[W][] event2: careful"));
    EXPECT_TRUE(capture.contains("[D][] event2: detail"));
    EXPECT_TRUE(capture.contains("[E][] event2(unknown): odd"));
    // Long messages grow the line up to a limit.
    capture.clear();
    const std::string kilobytes(6000, 'k');
    logProxy.debug("%s", kilobytes.c_str());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_NE(capture.lines()[0].find(kilobytes), std::string::npos);
    capture.clear();
    const std::string huge(2 * 1024 * 1024, 'h');
    logProxy.debug("%s", huge.c_str());
    ASSERT_EQ(capture.lines().size(), 1u);
    const std::string line = capture.lines()[0];
    EXPECT_LT(line.size(), 100u);
    EXPECT_EQ(line.substr(line.size() - 11), "[NcmProxy] ") << line;
}
