#include "proxy/ShellConfig.h"
#include "base/Logger.h"
#include "base/ProxyConfig.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

TEST(ShellConfig, KcpFollowsTheIniSwitchAndADeploymentFileOverridesComposedLines)
{
    char pattern[] = "/tmp/lumaview-shellcfg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const auto write = [&](const std::string& name, const std::string& content) {
        std::ofstream(dir + "/" + name) << content;
    };
    const auto composed = [&] {
        ProxyConfig config;
        config.parse(composeShellProxyConfig(dir));
        rootLogger.setLevel('V'); // the composed text sets its own level
        return config;
    };
    write("lumashell.ini", "[setting]\nuse_kcp=1\n");
    EXPECT_TRUE(composed().kcpEnabled);
    EXPECT_EQ(composed().kcpHostMapping.size(), 3u);
    write("lumashell.ini", "[setting]\nuse_kcp=2\n");
    EXPECT_FALSE(composed().kcpEnabled);
    write("lumashell.ini", "[setting]\nproxy_config=site.conf\n");
    write("site.conf", "DnsUdp=127.0.0.53\nDebugUseFixedLocalPort=0");
    const ProxyConfig site = composed();
    EXPECT_EQ(site.dnsUdp, (std::vector<std::string> { "127.0.0.53" }));
    EXPECT_EQ(site.fixedLocalPort, 0);
    // A missing deployment file is reported and changes nothing.
    write("lumashell.ini", "[setting]\n");
    const std::string plain = composeShellProxyConfig(dir);
    testsupport::LogCapture capture;
    write("lumashell.ini", "[setting]\nproxy_config=missing.conf\n");
    EXPECT_EQ(composeShellProxyConfig(dir), plain);
    EXPECT_TRUE(capture.contains("missing.conf"));
    std::system(("rm -rf " + dir).c_str());
}
