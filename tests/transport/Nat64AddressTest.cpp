#include "transport/Nat64Address.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <array>
#include <cstring>

namespace {

using Address6 = std::array<uint8_t, 16>;

Address6 v6(const char* text)
{
    Address6 a {};
    EXPECT_EQ(1, inet_pton(AF_INET6, text, a.data())) << text;
    return a;
}

std::string text6(const uint8_t* a)
{
    char out[64];
    return inet_ntop(AF_INET6, a, out, sizeof out) ? out : "?";
}

std::string synthesize(const char* templateText, const char* ipv4)
{
    Address6 a = v6(templateText);
    uint8_t v4[4];
    EXPECT_EQ(1, inet_pton(AF_INET, ipv4, v4));
    SynthesizeNat64Address(a.data(), v4);
    return text6(a.data());
}

bool check(const char* text)
{
    return CheckNat64Address(v6(text).data());
}

// 192.0.0.170 behind a prefix of every RFC 6052 length, with the RFC's examples for 192.0.2.33.
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

TEST(Nat64Address, EveryPrefixLengthValidatesAndSynthesisesItsLayoutAndOnlyIpv6OnlyNetworksUseIt)
{
    for (const PrefixCase& c : Prefixes) {
        EXPECT_EQ(c.suffixZeroCount, suffixZeroCount(v6(c.wellKnown).data())) << c.prefixLength;
        EXPECT_TRUE(check(c.wellKnown)) << c.prefixLength;
        EXPECT_EQ(text6(v6(c.rfcExample).data()), synthesize(c.wellKnown, "192.0.2.33")) << c.prefixLength;
    }
    // Below /64 byte 8 (the u-octet) is cleared and skipped.
    EXPECT_EQ("2001:db8:122:30a:1:203::", synthesize("2001:db8:122:3c0:ff00:aa::", "10.1.2.3"));
    // Only the well-known addresses at valid layouts are accepted.
    const std::pair<const char*, bool> cases[] = {
        { "64:ff9b::c000:aa", true },
        { "64:ff9b::c000:ab", true },
        { "64:ff9b::c000:ac", false },
        { "64:ff9b::c100:aa", false },
        { "2001:db8:1c0:0:1aa::", false }, // /40 with a non-zero byte 8
        { "2001:db8:122:c000:100:aa00::", false }, // /48
        { "2001:db8:122:3c0:100:aa::", false }, // /56
        { "2001:db8:122:344:ffc0:0:aa00:0", true }, // /64 does not look at byte 8
        { "64:ff9b::c000:aa00", false }, // suffix zero counts 1, 2, 7, 9, 16
        { "64:ff9b::aa:0", false },
        { "2001:db8:c000:aa:100::", false },
        { "2001:db8:c000:aa00::", false },
        { "::", false },
    };
    for (const auto& [address, valid] : cases)
        EXPECT_EQ(valid, check(address)) << address;
    // An invalid template still receives the address in its last four bytes.
    EXPECT_EQ("2001:db8:c000:aa:100:0:a01:203", synthesize("2001:db8:c000:aa:100::", "10.1.2.3"));
    // Connect texts are synthesised only on IPv6-only networks with a known address.
    IpStackFacts facts;
    std::memcpy(facts.nat64Address, v6("64:ff9b::c000:aa").data(), 16);
    std::string out;
    bool isIpv6 = true;
    facts.nat64Known = true;
    ASSERT_TRUE(nat64AddressFor(facts, "1.2.3.4", out, isIpv6));
    EXPECT_EQ("1.2.3.4", out) << "not IPv6-only";
    EXPECT_FALSE(isIpv6);
    facts.ipv6Only = true;
    facts.nat64Known = false;
    ASSERT_TRUE(nat64AddressFor(facts, "1.2.3.4", out, isIpv6));
    EXPECT_EQ("1.2.3.4", out) << "no NAT64 address";
    facts.nat64Known = true;
    ASSERT_TRUE(nat64AddressFor(facts, "1.2.3.4", out, isIpv6));
    EXPECT_EQ("64:ff9b::102:304", out);
    EXPECT_TRUE(isIpv6);
    EXPECT_EQ("64:ff9b::c000:aa", text6(facts.nat64Address)) << "the template is not changed";
    EXPECT_FALSE(nat64AddressFor(facts, "not-an-address", out, isIpv6));
}
