// Report records and the proxy's report queue.
#include "resolver/DnsReports.h"
#include "proxy/NcmProxy.h"

#include <gtest/gtest.h>

// The exact records are checked where the client and the tasks queue them.
TEST(DnsReports, ClientTextCannotBreakTheRecordLateTimesKeepTheirDigitsAndTheQueueKeepsTheNewest)
{
    EXPECT_EQ(unusableIpReport("", "h", "i", 4102444800),
        "{\"uid\":\"\",\"host\":\"h\",\"ip\":\"i\",\"timestamp\":4102444800}");
    // A host name that tries to close the string and add a member.
    EXPECT_EQ(unusableIpReport("", "a\",\"admin\":true,\"x\":\"", "1.2.3.4", 1),
        "{\"uid\":\"\",\"host\":\"a\\\",\\\"admin\\\":true,\\\"x\\\":\\\"\",\"ip\":\"1.2.3.4\",\"timestamp\":"
        "1}");
    EXPECT_EQ(jsonStringContents("back\\slash"), "back\\\\slash");
    const char controls[] = "nl\n cr\r tab\t nul\0 bell\a";
    EXPECT_EQ(jsonStringContents(std::string(controls, sizeof controls - 1)),
        "nl\\n cr\\r tab\\t nul\\u0000 bell\\u0007");
    // Valid UTF-8 stays; bytes that are not UTF-8 become U+FFFD.
    EXPECT_EQ(jsonStringContents("b\u00fccher.test"), "b\u00fccher.test");
    EXPECT_EQ(jsonStringContents("\xe2\x82\xac \xf0\x9f\x98\x80"), "\xe2\x82\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(jsonStringContents("x\xffy"), "x\\ufffdy");
    EXPECT_EQ(jsonStringContents("\xc3"), "\\ufffd"); // cut short
    EXPECT_EQ(jsonStringContents("\xc0\xaf"), "\\ufffd\\ufffd"); // overlong '/'
    EXPECT_EQ(jsonStringContents("\xed\xa0\x80"), "\\ufffd\\ufffd\\ufffd"); // a surrogate
    NcmProxy proxy;
    proxy.config.uid = "q";
    EXPECT_EQ(proxy.takeReports(), "");
    for (int i = 0; i < 400; ++i)
        queueUnusableIpReport(proxy.resolverHost, "h" + std::to_string(i) + ".test", "10.0.0.1");
    {
        std::lock_guard<std::mutex> lock(proxy.reportLock);
        ASSERT_EQ(proxy.reportQueue.size(), 300u);
        EXPECT_NE(proxy.reportQueue.front().find("\"host\":\"h100.test\""), std::string::npos);
        EXPECT_NE(proxy.reportQueue.back().find("\"host\":\"h399.test\""), std::string::npos);
    }
    // A batch of HTTP-DNS errors goes in whole after trimming to 299.
    queueHttpDnsErrorReports(proxy.resolverHost, { "127.0.0.1:1", "127.0.0.1:2", "127.0.0.1:3" });
    {
        std::lock_guard<std::mutex> lock(proxy.reportLock);
        EXPECT_EQ(proxy.reportQueue.size(), 302u);
        proxy.reportQueue.clear();
    }
    proxy.appendReports({ "{\"a\":1}", "{\"b\":2}", "{\"c\":3}" });
    EXPECT_EQ(proxy.takeReports(), "[{\"a\":1},{\"b\":2},{\"c\":3}]");
    EXPECT_EQ(proxy.takeReports(), "");
}
