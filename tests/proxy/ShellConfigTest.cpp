#include "proxy/ShellConfig.h"
#include "base/Logger.h"
#include "base/ProxyConfig.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

class ShellConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/lumaview-shellcfg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
    void write(const std::string& name, const std::string& content)
    {
        std::ofstream(dir + "/" + name) << content;
    }
    ProxyConfig composed()
    {
        ProxyConfig config;
        config.parse(composeShellProxyConfig(dir));
        rootLogger.setLevel('V'); // the composed text sets its own level
        return config;
    }
    std::string dir;
};

} // namespace

TEST_F(ShellConfigTest, KcpLinesFollowTheIniSwitch)
{
    write("lumashell.ini", "[setting]\nuse_kcp=1\n");
    const ProxyConfig kcp = composed();
    EXPECT_TRUE(kcp.kcpEnabled);
    EXPECT_EQ(kcp.kcpHostMapping.size(), 3u);
    write("lumashell.ini", "[setting]\nuse_kcp=2\n");
    EXPECT_FALSE(composed().kcpEnabled);
}

TEST_F(ShellConfigTest, DeploymentFileOverridesComposedLines)
{
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
}
