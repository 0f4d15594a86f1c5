// Parsing of the proxy's configuration text.
#include "base/ProxyConfig.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

TEST(ProxyConfigParse, TrimsLinesKeysAndValuesAndSetsTheLevel)
{
    testsupport::LogCapture capture;
    ProxyConfig config;
    config.parse("  ResolveTimeoutDns =  7 \r\n\n\t\nUID=  user-1\n#comment\nNoSuchKey=1\nLogLevel=\n");
    EXPECT_EQ(config.resolveTimeoutDns, 7);
    EXPECT_EQ(config.uid, "user-1");
    EXPECT_EQ(capture.count("config option: INVALID"), 3u); // the comment, the unknown key, the empty level
    EXPECT_EQ(rootLogger.level(), 'V'); // the empty LogLevel changed nothing
    config.parse("LogLevel=Ignored\n");
    EXPECT_EQ(config.logLevel, 'I');
    EXPECT_EQ(rootLogger.level(), 'I');
    rootLogger.setLevel('V');
}

TEST(ProxyConfigParse, NumbersFollowAtoiListsKeepEmptiesMapsSkipMalformedEntriesAndLaterLinesReplace)
{
    ProxyConfig config;
    config.parse(
        "BackgroundIdleTimeoutToReactivate=abc\nResolveTimeoutHttp=-3x\nDnsHostIpCacheExpiration=+12 5\n"
        "ShowStatsOnAccept=0\nKcpEnabled=2\nUseSystemDns=0\nDebugUseFixedLocalPort=8080\n"
        "DebugUseFixedLocalPort=65536\nDebugUseFixedLocalPort=99999999999\n"
        "KcpSendWindow=512\nKcpSendWindow=0\nKcpSendWindow=65536\nKcpCongestionWindow=0\nKcpAckRepeat=7\n");
    EXPECT_EQ(config.backgroundIdleTimeoutToReactivate, 0);
    EXPECT_EQ(config.resolveTimeoutHttp, -3);
    EXPECT_EQ(config.dnsHostIpCacheExpiration, 12);
    EXPECT_FALSE(config.showStatsOnAccept);
    EXPECT_TRUE(config.kcpEnabled);
    EXPECT_FALSE(config.useSystemDns);
    EXPECT_EQ(config.fixedLocalPort, 8080); // ports above 65535 are invalid lines, not cut to another port
    EXPECT_EQ(config.kcpSendWindow, 512); // so are windows the engine would ignore or the wire cut
    EXPECT_EQ(config.kcpCongestionWindow, 0);
    EXPECT_EQ(config.kcpPacing, -1); // unset: the built-in value
    EXPECT_EQ(config.kcpAckRepeat, 1);
    config.parse("DnsUdp=127.0.0.1, ,127.0.0.2\nDnsTcp=127.0.0.9\nDnsTcp= 127.0.0.3 ,,127.0.0.4\nDnsHttp=\n");
    EXPECT_EQ(config.dnsUdp, (std::vector<std::string> { "127.0.0.1", "", "127.0.0.2" }));
    EXPECT_EQ(config.dnsTcp, (std::vector<std::string> { "127.0.0.3", "", "127.0.0.4" }));
    EXPECT_EQ(config.dnsHttp, (std::vector<std::string> { "" }));
    config.parse("DomainIps= a.example : 127.0.0.1 ,127.0.0.2 ; b.example:1:2 ;c.example\n"
                 "DomainIps=d.example:127.0.0.4\n"
                 "DomainIps=a.example:127.0.0.3\n"
                 "KcpHostMapping= .one.test # 127.0.0.1:9990 ;bad;x#y#z; two.test:8080#:9990\n"
                 "KcpHostMapping=.three.test#127.0.0.3:9990\n");
    EXPECT_EQ(config.domainIps,
        (decltype(config.domainIps) { { "a.example", { "127.0.0.3" } }, { "d.example", { "127.0.0.4" } } }));
    EXPECT_EQ(config.kcpHostMapping,
        (decltype(config.kcpHostMapping) { { ".one.test", "127.0.0.1:9990" }, { "two.test:8080", ":9990" },
            { ".three.test", "127.0.0.3:9990" } }));
}
