// NAT64 address validation and synthesis, the local IP stack detection, the
// discovery of the NAT64 address and its use when connecting.
#include "proxy/NcmProxy.h"
#include "resolver/DnsMessage.h"
#include "resolver/LocalIpStack.h"
#include "resolver/Nat64Discovery.h"
#include "resolver/NcmSys.h"
#include "tests/support/DnsTestSupport.h"
#include "tests/support/TestSupport.h"
#include "transport/Nat64Address.h"
#include "transport/NcmConnTcp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

using namespace dnstest;

namespace {

using Address6 = std::array<uint8_t, 16>;

Address6 v6(const char* text)
{
    Address6 a {};
    EXPECT_EQ(1, inet_pton(AF_INET6, text, a.data())) << text;
    return a;
}

std::string text6(const Address6& a)
{
    char out[64];
    return inet_ntop(AF_INET6, a.data(), out, sizeof out) ? out : "?";
}

Address6 synthesize(const char* templateText, const char* ipv4)
{
    Address6 a = v6(templateText);
    uint8_t v4[4];
    EXPECT_EQ(1, inet_pton(AF_INET, ipv4, v4));
    SynthesizeNat64Address(a.data(), v4);
    return a;
}

bool check(const char* text)
{
    return CheckNat64Address(v6(text).data());
}

// The address of ipv4only.arpa (192.0.0.170) behind NAT64 prefixes of every
// RFC 6052 length, paired with the RFC's own examples for 192.0.2.33.
struct PrefixCase {
    int prefixLength;
    int suffixZeroCount;
    const char* wellKnown;
    const char* rfcExample;
};
const PrefixCase Prefixes[] = {
    { 32, 8, "2001:db8:c000:aa::", "2001:db8:c000:221::" },
    { 40, 6, "2001:db8:1c0:0:aa::", "2001:db8:1c0:2:21::" },
    { 48, 5, "2001:db8:122:c000:0:aa00::", "2001:db8:122:c000:2:2100::" },
    { 56, 4, "2001:db8:122:3c0:0:aa::", "2001:db8:122:3c0:0:221::" },
    { 64, 3, "2001:db8:122:344:c0:0:aa00:0", "2001:db8:122:344:c0:2:2100:0" },
    { 96, 0, "2001:db8:122:344::c000:aa", "2001:db8:122:344::c000:221" },
};

} // namespace

// ------------------------------------------------------ validation/synthesis

TEST(Nat64Address, AcceptsOnlyTheWellKnownAddressesAtValidPrefixLengths)
{
    EXPECT_TRUE(check("64:ff9b::c000:aa"));
    EXPECT_TRUE(check("64:ff9b::c000:ab"));
    EXPECT_FALSE(check("64:ff9b::c000:ac"));
    EXPECT_FALSE(check("64:ff9b::c100:aa"));
    for (const PrefixCase& c : Prefixes) {
        EXPECT_EQ(c.suffixZeroCount, suffixZeroCount(v6(c.wellKnown).data())) << c.prefixLength;
        EXPECT_TRUE(check(c.wellKnown)) << c.prefixLength;
    }
}

TEST(Nat64Address, ByteEightMustBeZeroBelowSixtyFourBits)
{
    EXPECT_FALSE(check("2001:db8:1c0:0:1aa::")); // /40
    EXPECT_FALSE(check("2001:db8:122:c000:100:aa00::")); // /48
    EXPECT_FALSE(check("2001:db8:122:3c0:100:aa::")); // /56
    EXPECT_TRUE(check("2001:db8:122:344:ffc0:0:aa00:0")); // /64 does not look at it
}

TEST(Nat64Address, RejectsOtherSuffixLengthsWithAnErrorLine)
{
    const char* invalid[] = {
        "64:ff9b::c000:aa00", // 1
        "64:ff9b::aa:0", // 2
        "2001:db8:c000:aa:100::", // 7
        "2001:db8:c000:aa00::", // 9
        "::", // 16
    };
    const int counts[] = { 1, 2, 7, 9, 16 };
    for (int i = 0; i < 5; ++i) {
        testsupport::LogCapture log;
        EXPECT_FALSE(check(invalid[i])) << invalid[i];
        const std::string count = std::to_string(counts[i]);
        EXPECT_TRUE(logged(log, 'E', "Nat64PrefixUtil", "suffix_zero_count=" + count)) << dump(log);
        EXPECT_TRUE(logged(log, 'W', "Nat64PrefixUtil",
            "suffix_zero_count=" + count
                + ", _replaced_nat64_addr=" + toHexString(v6(invalid[i]).data(), 16)))
            << dump(log);
    }

    testsupport::LogCapture quiet;
    EXPECT_TRUE(check("64:ff9b::c000:aa"));
    EXPECT_TRUE(quiet.lines().empty()) << dump(quiet);
}

TEST(Nat64Address, SynthesisFollowsTheRfc6052Layouts)
{
    EXPECT_EQ("64:ff9b::102:304", text6(synthesize("64:ff9b::c000:aa", "1.2.3.4")));
    for (const PrefixCase& c : Prefixes)
        EXPECT_EQ(text6(v6(c.rfcExample)), text6(synthesize(c.wellKnown, "192.0.2.33"))) << c.prefixLength;
}

TEST(Nat64Address, SynthesisTouchesOnlyTheAddressBytes)
{
    // /64: bytes 9..12 receive the address, everything else stays.
    const Address6 t64 = v6("2001:db8:122:344:77c0:0:aa00:0");
    const Address6 s64 = synthesize("2001:db8:122:344:77c0:0:aa00:0", "10.1.2.3");
    for (int i = 0; i < 16; ++i) {
        if (i >= 9 && i <= 12)
            continue;
        EXPECT_EQ(t64[i], s64[i]) << "byte " << i;
    }
    EXPECT_EQ((std::array<uint8_t, 4> { 10, 1, 2, 3 }),
        (std::array<uint8_t, 4> { s64[9], s64[10], s64[11], s64[12] }));

    // /56: byte 8 is cleared and the address skips it.
    const Address6 s56 = synthesize("2001:db8:122:3c0:ff00:aa::", "10.1.2.3");
    EXPECT_EQ(0, s56[8]);
    EXPECT_EQ((std::array<uint8_t, 4> { 10, 1, 2, 3 }),
        (std::array<uint8_t, 4> { s56[7], s56[9], s56[10], s56[11] }));
    EXPECT_EQ(0x03, s56[6]);
}

TEST(Nat64Address, SynthesisWithAnInvalidTemplateFallsBackToTheLastFourBytes)
{
    testsupport::LogCapture log;
    const Address6 s = synthesize("2001:db8:c000:aa:100::", "10.1.2.3"); // suffix_zero_count 7
    EXPECT_EQ("2001:db8:c000:aa:100:0:a01:203", text6(s));
    EXPECT_TRUE(logged(log, 'E', "Nat64PrefixUtil", "suffix_zero_count=7")) << dump(log);
}

// ------------------------------------------------------- synthesis at connect

TEST(Nat64Connect, AddressTextIsSynthesisedOnlyOnIpv6OnlyNetworksWithAKnownAddress)
{
    NcmProxy proxy;
    std::memcpy(proxy.ipStack.nat64Address, v6("64:ff9b::c000:aa").data(), 16);
    std::string out;
    bool isIpv6 = true;

    proxy.ipStack.nat64Known = true;
    ASSERT_TRUE(nat64AddressFor(proxy.ipStack, "1.2.3.4", out, isIpv6));
    EXPECT_EQ("1.2.3.4", out) << "not IPv6-only";
    EXPECT_FALSE(isIpv6);

    proxy.ipStack.ipv6Only = true;
    proxy.ipStack.nat64Known = false;
    ASSERT_TRUE(nat64AddressFor(proxy.ipStack, "1.2.3.4", out, isIpv6));
    EXPECT_EQ("1.2.3.4", out) << "no NAT64 address";

    proxy.ipStack.nat64Known = true;
    ASSERT_TRUE(nat64AddressFor(proxy.ipStack, "1.2.3.4", out, isIpv6));
    EXPECT_EQ("64:ff9b::102:304", out);
    EXPECT_TRUE(isIpv6);
    EXPECT_EQ("64:ff9b::c000:aa", text6(*reinterpret_cast<Address6*>(proxy.ipStack.nat64Address)))
        << "the stored address is a template, not changed by synthesis";

    EXPECT_FALSE(nat64AddressFor(proxy.ipStack, "not-an-address", out, isIpv6));
}

namespace {

// Connects an NcmConnTcp to listenerHost:port with the proxy's state and
// returns the family of the connection's own socket (0 on failure).
int connectAndGetFamily(NcmProxy& proxy, const char* listenerHost, std::string* peer = nullptr)
{
    int port = 0;
    const evutil_socket_t listener = testsupport::listenTcp(listenerHost, port);
    EXPECT_GE(listener, 0);
    if (listener < 0)
        return 0;
    EventBasePtr base(event_base_new());
    NcmConnTcp conn(base.get());
    bool done = false;
    int32_t connectError = -1;
    conn.setEventCallback([&](NcmConn*, NcmConn::Event event, int32_t error, uint32_t) {
        if (event == NcmConn::Connect) {
            done = true;
            connectError = error;
        }
    });
    conn.connect(&proxy.ipStack, std::string(listenerHost) + ":" + std::to_string(port), 5);
    EXPECT_TRUE(testsupport::runUntil(
        base.get(), [&] { return done; }, 5000));
    EXPECT_EQ(0, connectError);

    int family = 0;
    sockaddr_storage local;
    socklen_t length = sizeof local;
    if (connectError == 0 && getsockname(conn.socket(), reinterpret_cast<sockaddr*>(&local), &length) == 0)
        family = local.ss_family;
    if (peer && family == AF_INET6) {
        sockaddr_in6 remote;
        length = sizeof remote;
        getpeername(conn.socket(), reinterpret_cast<sockaddr*>(&remote), &length);
        char text[64];
        *peer = inet_ntop(AF_INET6, &remote.sin6_addr, text, sizeof text) ? text : "";
    }
    conn.close();
    close(listener);
    return family;
}

} // namespace

TEST(Nat64Connect, TcpConnectionUsesTheSynthesisedIpv6Address)
{
    // ::ffff:0:0/96 with 192.0.0.170 is a valid /96 template, and its
    // synthesised addresses are IPv4-mapped: an IPv6 socket reaches the IPv4
    // listener through them, so the whole path can run on loopback.
    NcmProxy proxy;
    std::memcpy(proxy.ipStack.nat64Address, v6("::ffff:192.0.0.170").data(), 16);
    ASSERT_TRUE(CheckNat64Address(proxy.ipStack.nat64Address));

    EXPECT_EQ(AF_INET, connectAndGetFamily(proxy, "127.0.4.30"));

    proxy.localIpStack = ELocalIPStack_IPv6;
    proxy.ipStack.ipv6Only = true;
    proxy.ipStack.nat64Known = true;
    std::string peer;
    EXPECT_EQ(AF_INET6, connectAndGetFamily(proxy, "127.0.4.30", &peer));
    EXPECT_EQ("::ffff:127.0.4.30", peer);
}

// --------------------------------------------------------- local IP stack

namespace {

const char Ipv4Header[]
    = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
const char Ipv4Default[] = "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
const char Ipv4Subnet[] = "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";

// The kernel always lists an unreachable default on lo; it does not count.
const char Ipv6Base[] = "fe800000000000000000000000000000 40 00000000000000000000000000000000 00 "
                        "00000000000000000000000000000000 00000100 00000002 00000000 00000001     eth0\n"
                        "00000000000000000000000000000001 80 00000000000000000000000000000000 00 "
                        "00000000000000000000000000000000 00000000 00000002 00000000 80200001       lo\n"
                        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
                        "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n";
const char Ipv6Default[] = "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
                           "fd000000000000000000000000000001 00000400 00000002 00000000 00000003     eth0\n";

} // namespace

TEST(LocalIpStack, DefaultRoutesOfEachFamilyDecideTheStack)
{
    const std::string v4 = std::string(Ipv4Header) + Ipv4Subnet + Ipv4Default;
    const std::string v4None = std::string(Ipv4Header) + Ipv4Subnet;
    const std::string v6 = std::string(Ipv6Base) + Ipv6Default;
    const std::string v6None = Ipv6Base;

    EXPECT_EQ(ELocalIPStack_Dual, localIpStackFromRoutes(v4, v6));
    EXPECT_EQ(ELocalIPStack_IPv4, localIpStackFromRoutes(v4, v6None));
    EXPECT_EQ(ELocalIPStack_IPv6, localIpStackFromRoutes(v4None, v6));
    EXPECT_EQ(ELocalIPStack_None, localIpStackFromRoutes(v4None, v6None));
    EXPECT_EQ(ELocalIPStack_None, localIpStackFromRoutes("", ""));
}

TEST(LocalIpStack, RoutesThatAreDownOrRejectingDoNotCount)
{
    const std::string down
        = std::string(Ipv4Header) + "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n";
    const std::string reject
        = std::string(Ipv4Header) + "eth0\t00000000\t00000000\t0201\t0\t0\t0\t00000000\t0\t0\t0\n";
    const std::string onLoopback
        = std::string(Ipv4Header) + "lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n";
    const std::string notDefault
        = std::string(Ipv4Header) + "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000080\t0\t0\t0\n";
    EXPECT_FALSE(hasIpv4DefaultRoute(down));
    EXPECT_FALSE(hasIpv4DefaultRoute(reject));
    EXPECT_FALSE(hasIpv4DefaultRoute(onLoopback));
    EXPECT_FALSE(hasIpv4DefaultRoute(notDefault)) << "0.0.0.0/1 is not a default route";
    EXPECT_TRUE(hasIpv4DefaultRoute(std::string(Ipv4Header) + Ipv4Default));
    // A header alone, or a garbled line, is no route.
    EXPECT_FALSE(hasIpv4DefaultRoute(Ipv4Default));
    EXPECT_FALSE(hasIpv6DefaultRoute("00000000000000000000000000000000 00 garbage\n"));
}

TEST(LocalIpStack, TestDetectorReplacesTheKernelTablesUntilReset)
{
    int calls = 0;
    setLocalIpStackDetectorForTest([&calls] {
        ++calls;
        return ELocalIPStack_IPv6;
    });
    EXPECT_EQ(ELocalIPStack_IPv6, DetectLocalIPStack());
    EXPECT_EQ(1, calls);
    setLocalIpStackDetectorForTest(nullptr);
    DetectLocalIPStack();
    EXPECT_EQ(1, calls);
}

TEST(NcmSys, SystemDnsIsNotAvailableAndSaysSo)
{
    testsupport::LogCapture log;
    EXPECT_TRUE(NcmSys::getSystemDns().empty());
    EXPECT_TRUE(logged(log, 'E', "", "NcmSys::getSystemDns not implemented on Windows")) << dump(log);
}

// --------------------------------------------------------------- discovery

namespace {

sockaddr_storage socketAddress(const char* text)
{
    sockaddr_storage s;
    std::memset(&s, 0, sizeof s);
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&s);
    auto* sin = reinterpret_cast<sockaddr_in*>(&s);
    if (inet_pton(AF_INET6, text, &sin6->sin6_addr) == 1)
        sin6->sin6_family = AF_INET6;
    else if (inet_pton(AF_INET, text, &sin->sin_addr) == 1)
        sin->sin_family = AF_INET;
    else
        s.ss_family = AF_UNIX;
    return s;
}

// Answers the AAAA question for ipv4only.arpa with the given addresses.
FakeUdpResolver::Handler answering(std::vector<std::string> addresses, uint16_t flags = 0x8180)
{
    return [addresses, flags](const Bytes& query) {
        std::vector<Record> answers;
        for (const std::string& a : addresses)
            answers.push_back(aaaaRecord(a));
        return makeReply(query, flags, answers);
    };
}

class Nat64Discovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The system resolver would ask the machine's real DNS servers.
        setNat64LookupForTest([this](const char* host, std::vector<sockaddr_storage>& results) {
            lookedUp.push_back(host);
            if (lookupError)
                return lookupError;
            for (const std::string& a : lookupResults)
                results.push_back(socketAddress(a.c_str()));
            return 0;
        });
    }
    void TearDown() override
    {
        setNat64LookupForTest(nullptr);
        setNat64ProbePortForTest(0);
    }
    std::string stored() { return text6(*reinterpret_cast<Address6*>(proxy.ipStack.nat64Address)); }

    NcmProxy proxy;
    testsupport::LogCapture log;
    std::vector<std::string> lookedUp;
    int lookupError = EAI_NONAME;
    std::vector<std::string> lookupResults;
};

} // namespace

TEST_F(Nat64Discovery, TakesTheFirstValidAddressFromTheSystemResolver)
{
    lookupError = 0;
    lookupResults = { "192.0.0.170", "64:ff9b::c000:ac", "unix", "64:ff9b::c000:ab", "64:ff9b::c000:aa" };
    FakeUdpResolver server("127.0.4.40", answering({ "2001:db8::c000:aa" }));
    setNat64ProbePortForTest(server.port());

    discoverNat64(proxy, true, { "::ffff:127.0.4.40" });

    EXPECT_EQ(std::vector<std::string> { "ipv4only.arpa" }, lookedUp);
    EXPECT_TRUE(proxy.ipStack.nat64Known);
    EXPECT_EQ("64:ff9b::c000:ab", stored());
    EXPECT_TRUE(logged(log, 'D', "NcmDnsClient", "AF_INET ip_str = 192.0.0.170")) << dump(log);
    EXPECT_TRUE(
        logged(log, 'E', "NcmDnsClient", "AF_INET6 Nat64 addr invalid = 0064ff9b0000000000000000c00000ac"))
        << dump(log);
    EXPECT_TRUE(logged(log, 'E', "NcmDnsClient", "invalid ai_family = 1")) << dump(log);
    EXPECT_TRUE(logged(log, 'D', "NcmDnsClient", "AF_INET6 Nat64 ip_str = 64:ff9b::c000:ab")) << dump(log);
    EXPECT_TRUE(server.received().empty()) << "no direct query once the system resolver answered";
}

TEST_F(Nat64Discovery, WithoutKnownSystemDnsOnlyTheSystemResolverIsAsked)
{
    FakeUdpResolver server("127.0.4.41", answering({ "64:ff9b::c000:aa" }));
    setNat64ProbePortForTest(server.port());

    discoverNat64(proxy, false, { "::ffff:127.0.4.41" });

    EXPECT_FALSE(proxy.ipStack.nat64Known);
    EXPECT_TRUE(logged(log, 'E', "NcmDnsClient", "getaddrinfo error = " + std::to_string(EAI_NONAME)))
        << dump(log);
    EXPECT_TRUE(server.received().empty());
}

TEST_F(Nat64Discovery, AsksTheFirstSystemDnsServerDirectly)
{
    FakeUdpResolver server(
        "127.0.4.42", answering({ "64:ff9b::c000:ac", "64:ff9b::c000:aa", "64:ff9b::c000:ab" }));
    FakeUdpResolver second("127.0.4.43", answering({ "64:ff9b::c000:ab" }));
    setNat64ProbePortForTest(server.port());

    discoverNat64(proxy, true, { "::ffff:127.0.4.42", "::ffff:127.0.4.43" });

    ASSERT_TRUE(proxy.ipStack.nat64Known) << dump(log);
    EXPECT_EQ("64:ff9b::c000:aa", stored());
    ASSERT_EQ(1u, server.received().size());
    EXPECT_TRUE(second.received().empty());

    // The datagram is the AAAA query without its TCP framing.
    const Bytes query = server.received()[0];
    const Bytes expected = buildQueryMessage("ipv4only.arpa", false);
    ASSERT_EQ(expected.size(), query.size());
    EXPECT_EQ(Bytes(expected.begin() + 2, expected.end()), Bytes(query.begin() + 2, query.end()));

    EXPECT_TRUE(logged(log, 'D', "NcmDnsClient", "udp over 'ipv4only.arpa' with 3 ip")) << dump(log);
    EXPECT_TRUE(logged(log, 'D', "NcmDnsClient", "udp over 'ipv4only.arpa': 64:ff9b::c000:ac"));
    EXPECT_TRUE(
        logged(log, 'E', "NcmDnsClient", "AF_INET6 Nat64 addr invalid = 0064ff9b0000000000000000c00000ac"));
    EXPECT_TRUE(logged(log, 'D', "NcmDnsClient", "AF_INET6 Nat64 ip_str = 64:ff9b::c000:aa"));
    EXPECT_FALSE(logged(log, 'D', "NcmDnsClient", "udp over 'ipv4only.arpa': 64:ff9b::c000:ab"))
        << "the walk stops at the first valid one";
}

TEST_F(Nat64Discovery, ReachesAServerOnIpv6Loopback)
{
    FakeUdpResolver server("::1", answering({ "2001:db8:122:344::c000:ab" }));
    setNat64ProbePortForTest(server.port());

    discoverNat64(proxy, true, { "::1" });

    ASSERT_TRUE(proxy.ipStack.nat64Known) << dump(log);
    EXPECT_EQ("2001:db8:122:344::c000:ab", stored());
}

TEST_F(Nat64Discovery, UnusableAnswersLeaveTheAddressUnknown)
{
    {
        FakeUdpResolver server("127.0.4.44", answering({ "64:ff9b::c000:aa" }, 0x8182));
        setNat64ProbePortForTest(server.port());
        discoverNat64(proxy, true, { "::ffff:127.0.4.44" });
        EXPECT_FALSE(proxy.ipStack.nat64Known);
        EXPECT_TRUE(logged(log, 'E', "NcmDnsClient", "ncm_dns_parse_response response valid fail"))
            << dump(log);
    }
    {
        FakeUdpResolver server("127.0.4.45", answering({ "2001:db8::1", "64:ff9b::c000:ac" }));
        setNat64ProbePortForTest(server.port());
        discoverNat64(proxy, true, { "::ffff:127.0.4.45" });
        EXPECT_FALSE(proxy.ipStack.nat64Known);
        EXPECT_TRUE(logged(log, 'D', "NcmDnsClient", "udp over 'ipv4only.arpa' with 2 ip")) << dump(log);
        EXPECT_EQ("::", stored());
    }
}

TEST_F(Nat64Discovery, ServerTextMustBeAnIpv6Address)
{
    FakeUdpResolver server("127.0.4.46", answering({ "64:ff9b::c000:aa" }));
    setNat64ProbePortForTest(server.port());

    discoverNat64(proxy, true, { "127.0.4.46" });

    EXPECT_FALSE(proxy.ipStack.nat64Known);
    EXPECT_TRUE(logged(log, 'E', "NcmDnsClient", "evutil_parse_sockaddr_port error: 127.0.4.46"))
        << dump(log);
    EXPECT_TRUE(server.received().empty());
}

TEST_F(Nat64Discovery, SilentServerIsGivenUpAfterTheReceiveTimeout)
{
    FakeUdpResolver server("127.0.4.47", nullptr);
    setNat64ProbePortForTest(server.port());

    const auto start = std::chrono::steady_clock::now();
    discoverNat64(proxy, true, { "::ffff:127.0.4.47" });
    const auto waited = std::chrono::steady_clock::now() - start;

    EXPECT_FALSE(proxy.ipStack.nat64Known);
    EXPECT_EQ(1u, server.received().size());
    EXPECT_GE(waited, std::chrono::milliseconds(4500));
    EXPECT_LT(waited, std::chrono::milliseconds(8000));
    EXPECT_TRUE(logged(log, 'E', "NcmDnsClient", "recvfrom error: -1([]:0)")) << dump(log);
}

TEST_F(Nat64Discovery, WorksAgainstDnsmasq)
{
    if (!Dnsmasq::installed())
        GTEST_SKIP() << "dnsmasq is not installed (/usr/sbin/dnsmasq)";
    Dnsmasq dnsmasq("127.0.4.48", { "--host-record=ipv4only.arpa,64:ff9b::c000:aa" });
    ASSERT_EQ("", dnsmasq.failure());
    setNat64ProbePortForTest(testsupport::DnsTestPort);

    discoverNat64(proxy, true, { "::ffff:127.0.4.48" });

    ASSERT_TRUE(proxy.ipStack.nat64Known) << dump(log) << dnsmasq.log();
    EXPECT_EQ("64:ff9b::c000:aa", stored());
}
