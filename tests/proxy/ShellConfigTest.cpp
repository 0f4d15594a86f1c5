// The configuration text the desktop client composes for the proxy.
#include "proxy/ShellConfig.h"
#include "base/Logger.h"
#include "base/StringUtil.h"
#include "proxy/ProxyConfig.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

using testsupport::LogCapture;

namespace {

// A scratch application directory with its own INI files.
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
    std::string dir;
};

std::vector<std::string> keysOf(const std::string& text)
{
    std::vector<std::string> keys;
    for (const auto& line : StringUtil::split(text, '\n')) {
        if (!line.empty())
            keys.push_back(line.substr(0, line.find('=')));
    }
    return keys;
}

} // namespace

TEST_F(ShellConfigTest, KcpLinesFollowTheIniSwitch)
{
    write("lumashell.ini", "[setting]\nuse_kcp=1\n");
    ProxyConfig config;
    config.parse(composeShellProxyConfig(dir));
    rootLogger.setLevel('V');
    EXPECT_TRUE(config.kcpEnabled);
    ASSERT_EQ(config.kcpHostMapping.size(), 3u);
    for (const auto& mapping : config.kcpHostMapping) {
        EXPECT_EQ(mapping.first[0], '.');
        EXPECT_TRUE(StringUtil::endsWith(mapping.second, ":9990"));
    }

    write("lumashell.ini", "[setting]\nuse_kcp=2\n");
    EXPECT_EQ(composeShellProxyConfig(dir).find("KcpEnabled"), std::string::npos);
}

TEST_F(ShellConfigTest, DeploymentFileOverridesComposedLines)
{
    write("lumashell.ini", "[setting]\nproxy_config=site.conf\n");
    write("site.conf", "DnsUdp=127.0.0.53\nDebugUseFixedLocalPort=0");
    ProxyConfig config;
    config.parse(composeShellProxyConfig(dir));
    rootLogger.setLevel('V');
    EXPECT_EQ(config.dnsUdp, (std::vector<std::string> { "127.0.0.53" }));
    EXPECT_EQ(config.fixedLocalPort, 0);

    LogCapture capture;
    write("lumashell.ini", "[setting]\nproxy_config=missing.conf\n");
    const std::string text = composeShellProxyConfig(dir);
    EXPECT_EQ(keysOf(text).size(), 9u);
    EXPECT_TRUE(capture.contains("missing.conf"));
}
