// The IP stack decided from the kernel's routing tables.
#include "resolver/LocalIpStack.h"

#include <gtest/gtest.h>

namespace {

const std::string Ipv4Header
    = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
const std::string Ipv4Default = "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
const std::string Ipv4Subnet = "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";

// The kernel always lists an unreachable default on lo; it does not count.
const std::string Ipv6Base
    = "fe800000000000000000000000000000 40 00000000000000000000000000000000 00 "
      "00000000000000000000000000000000 00000100 00000002 00000000 00000001     eth0\n"
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
      "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n";
const std::string Ipv6Default
    = "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
      "fd000000000000000000000000000001 00000400 00000002 00000000 00000003     eth0\n";

} // namespace

TEST(LocalIpStack, OnlyUsableDefaultRoutesOfEachFamilyDecideTheStack)
{
    const std::string v4 = Ipv4Header + Ipv4Subnet + Ipv4Default;
    const std::string v4None = Ipv4Header + Ipv4Subnet;
    const std::string v6 = Ipv6Base + Ipv6Default;
    EXPECT_EQ(ELocalIPStack_Dual, localIpStackFromRoutes(v4, v6));
    EXPECT_EQ(ELocalIPStack_IPv4, localIpStackFromRoutes(v4, Ipv6Base));
    EXPECT_EQ(ELocalIPStack_IPv6, localIpStackFromRoutes(v4None, v6));
    EXPECT_EQ(ELocalIPStack_None, localIpStackFromRoutes(v4None, Ipv6Base));
    EXPECT_EQ(ELocalIPStack_None, localIpStackFromRoutes("", ""));

    // Routes that are down, rejecting or not default do not count.
    const char* notRoutes[] = {
        "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", // down
        "eth0\t00000000\t00000000\t0201\t0\t0\t0\t00000000\t0\t0\t0\n", // reject
        "lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n", // loopback
        "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000080\t0\t0\t0\n", // 0.0.0.0/1
    };
    for (const char* line : notRoutes)
        EXPECT_FALSE(hasIpv4DefaultRoute(Ipv4Header + line)) << line;
    EXPECT_TRUE(hasIpv4DefaultRoute(Ipv4Header + Ipv4Default));
    EXPECT_FALSE(hasIpv4DefaultRoute(Ipv4Default)) << "the first line is the header";
    EXPECT_FALSE(hasIpv6DefaultRoute("00000000000000000000000000000000 00 garbage\n"));
}
