// Discovery of the NAT64 address: through the system resolver, else by an
// AAAA query for ipv4only.arpa to the first system DNS server.
#include "resolver/Nat64Discovery.h"
#include "proxy/NcmProxy.h"
#include "tests/support/DnsFakes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netdb.h>

using namespace dnstest;

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

class Nat64Discovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        setNat64ProbePortForTest(testsupport::DnsTestPort);
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
    std::string stored()
    {
        char text[64];
        return inet_ntop(AF_INET6, proxy.ipStack.nat64Address, text, sizeof text) ? text : "?";
    }

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
    FakeDnsServer server("127.0.4.40", always({ "2001:db8::c000:aa" }));

    discoverNat64(proxy, true, { "::ffff:127.0.4.40" });

    EXPECT_EQ(std::vector<std::string> { "ipv4only.arpa" }, lookedUp);
    EXPECT_TRUE(proxy.ipStack.nat64Known);
    EXPECT_EQ("64:ff9b::c000:ab", stored());
    EXPECT_TRUE(
        log.contains("[E][NcmDnsClient] AF_INET6 Nat64 addr invalid = 0064ff9b0000000000000000c00000ac"));
    EXPECT_EQ(server.count(), 0u) << "no direct query once the system resolver answered";
}

TEST_F(Nat64Discovery, AsksTheFirstSystemDnsServerDirectly)
{
    FakeDnsServer server(
        "127.0.4.42", always({ "64:ff9b::c000:ac", "64:ff9b::c000:aa", "64:ff9b::c000:ab" }));
    FakeDnsServer second("127.0.4.43", always({ "64:ff9b::c000:ab" }));

    discoverNat64(proxy, true, { "::ffff:127.0.4.42", "::ffff:127.0.4.43" });

    ASSERT_TRUE(proxy.ipStack.nat64Known);
    EXPECT_EQ("64:ff9b::c000:aa", stored()) << "the first valid one";
    // One datagram, the query without its TCP framing (else no name decodes).
    EXPECT_EQ(server.names(), std::vector<std::string> { "ipv4only.arpa" });
    EXPECT_EQ(second.count(), 0u);
}

TEST_F(Nat64Discovery, UnusableAnswersAndServersLeaveTheAddressUnknown)
{
    struct {
        const char* address;
        const char* serverText; // as the system DNS list gives it
        DnsAnswer answer;
        size_t asked;
        bool systemDnsKnown = true;
    } const cases[] = {
        { "127.0.4.44", "::ffff:127.0.4.44", DnsAnswer({ "64:ff9b::c000:aa" }, DnsAnswer::ServFail), 1 },
        { "127.0.4.45", "::ffff:127.0.4.45", DnsAnswer({ "2001:db8::1", "64:ff9b::c000:ac" }), 1 },
        { "127.0.4.46", "127.0.4.46", DnsAnswer({ "64:ff9b::c000:aa" }), 0 }, // not an IPv6 text
        // Without known system DNS only the system resolver is asked.
        { "127.0.4.41", "::ffff:127.0.4.41", DnsAnswer({ "64:ff9b::c000:aa" }), 0, false },
    };
    for (const auto& c : cases) {
        FakeDnsServer server(c.address, always(c.answer));
        discoverNat64(proxy, c.systemDnsKnown, { c.serverText });
        EXPECT_FALSE(proxy.ipStack.nat64Known) << c.address;
        EXPECT_EQ("::", stored()) << c.address;
        EXPECT_EQ(c.asked, server.count()) << c.address;
    }
}

TEST_F(Nat64Discovery, RepliesToAnotherQueryAreSkippedUntilTheReceiveTimeout)
{
    DnsAnswer forged(DnsAnswer::Silent);
    forged.forgedFirst = true; // garbage, then a reply with another identifier
    FakeDnsServer server("127.0.4.47", always(forged));

    const auto start = std::chrono::steady_clock::now();
    discoverNat64(proxy, true, { "::ffff:127.0.4.47" });
    const auto waited = std::chrono::steady_clock::now() - start;

    EXPECT_FALSE(proxy.ipStack.nat64Known);
    EXPECT_EQ(1u, server.count());
    EXPECT_GE(waited, std::chrono::milliseconds(4500));
    EXPECT_LT(waited, std::chrono::milliseconds(8000));
}
