// NAT64 discovery: the system resolver, else an AAAA query to the first system DNS server.
#include "resolver/Nat64Discovery.h"
#include "tests/support/DnsFakes.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>

using namespace dnstest;

TEST(Nat64Discovery, TheSystemResolverFirstThenOnlyTheFirstSystemDnsServer)
{
    setNat64ProbePortForTest(testsupport::DnsTestPort);
    FakeDnsServer second("127.0.4.43", always({ "64:ff9b::c000:ab" }));
    DnsAnswer junkFirst({ "64:ff9b::c000:aa" });
    junkFirst.forgedFirst = true;
    const struct {
        const char* what;
        std::vector<std::string> lookup;
        std::string server; // as the system DNS list gives it; the fake is on its IPv4 part
        DnsAnswer answer;
        std::string expected; // "::" when unknown
        size_t asked;
        bool systemDnsKnown = true;
    } cases[] = {
        { "the first valid address from the system resolver",
            { "192.0.0.170", "64:ff9b::c000:ac", "unix", "64:ff9b::c000:ab", "64:ff9b::c000:aa" },
            "::ffff:127.0.4.40", DnsAnswer({ "2001:db8::c000:aa" }), "64:ff9b::c000:ab", 0 },
        { "the first valid address from the server", {}, "::ffff:127.0.4.42",
            DnsAnswer({ "64:ff9b::c000:ac", "64:ff9b::c000:aa", "64:ff9b::c000:ab" }), "64:ff9b::c000:aa",
            1 },
        { "datagrams that are not the reply are skipped", {}, "::ffff:127.0.4.47", junkFirst,
            "64:ff9b::c000:aa", 1 },
        { "SERVFAIL", {}, "::ffff:127.0.4.44", DnsAnswer({ "64:ff9b::c000:aa" }, DnsAnswer::ServFail),
            "::", 1 },
        { "no valid address", {}, "::ffff:127.0.4.45", DnsAnswer({ "2001:db8::1", "64:ff9b::c000:ac" }),
            "::", 1 },
        { "server not an IPv6 text", {}, "127.0.4.46", DnsAnswer({ "64:ff9b::c000:aa" }), "::", 0 },
        { "system DNS not known", {}, "::ffff:127.0.4.41", DnsAnswer({ "64:ff9b::c000:aa" }), "::", 0,
            false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> lookedUp;
        // Stands in for the machine's resolver; no result is EAI_NONAME.
        setNat64LookupForTest([&](const char* host, std::vector<sockaddr_storage>& out) {
            lookedUp.push_back(host);
            for (const std::string& a : c.lookup)
                out.push_back(socketAddress(a));
            return c.lookup.empty() ? EAI_NONAME : 0;
        });
        FakeDnsServer server(c.server.substr(c.server.rfind(':') + 1), always(c.answer));
        Nat64Search search(c.systemDnsKnown, { c.server, "::ffff:127.0.4.43" });
        search.run();
        IpStackFacts stack {};
        search.storeIn(stack);
        char stored[64];
        EXPECT_EQ(lookedUp, std::vector<std::string> { "ipv4only.arpa" });
        EXPECT_EQ(stack.nat64Known, c.expected != "::");
        EXPECT_STREQ(inet_ntop(AF_INET6, stack.nat64Address, stored, sizeof stored), c.expected.c_str());
        // One datagram, the query without its TCP framing (else no name decodes).
        EXPECT_EQ(server.names(), std::vector<std::string>(c.asked, "ipv4only.arpa"));
    }
    EXPECT_EQ(second.count(), 0u);
    setNat64LookupForTest(nullptr);
    setNat64ProbePortForTest(0);
}
