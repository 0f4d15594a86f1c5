// Queries built by ncm_dns_build_query, sent to a real resolver (dnsmasq
// serving local records on a loopback address), and its replies parsed.
#include "resolver/DnsMessage.h"
#include "tests/support/DnsTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <set>

using namespace dnstest;

namespace {

class DnsmasqReplies : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Dnsmasq::installed())
            GTEST_SKIP() << "dnsmasq is not installed (/usr/sbin/dnsmasq)";
    }

    // Each test has its own address so that tests can run in parallel.
    void start(const std::string& address)
    {
        m_address = address;
        std::vector<std::string> options = {
            "--local=/test/", // names under test/ that are not listed get NXDOMAIN
            "--host-record=a.test,10.0.0.1",
            "--host-record=v6.test,2001:db8::1",
            "--host-record=dual.test,10.0.0.2,2001:db8::2",
            "--host-record=target.test,10.0.0.7",
            "--cname=alias1.test,alias2.test",
            "--cname=alias2.test,target.test",
        };
        for (int i = 1; i <= 40; ++i)
            options.push_back("--host-record=many.test,10.0.1." + std::to_string(i));
        m_dnsmasq = std::make_unique<Dnsmasq>(address, options);
        ASSERT_EQ("", m_dnsmasq->failure());
    }

    // Sends the query over UDP and returns the raw reply.
    Bytes ask(const char* name, bool wantA, Bytes* queryOut = nullptr)
    {
        Bytes framed;
        EXPECT_TRUE(ncm_dns_build_query(name, framed, wantA));
        const Bytes query(framed.begin() + 2, framed.end());
        if (queryOut)
            *queryOut = query;
        const Bytes reply = udpExchange(m_address, testsupport::DnsTestPort, query);
        EXPECT_FALSE(reply.empty()) << "no reply for " << name << "\n" << m_dnsmasq->log();
        return reply;
    }

    // Resolves over UDP; returns the parser's result.
    int resolve(const char* name, bool wantA, std::vector<std::string>& out)
    {
        Bytes query;
        const Bytes reply = ask(name, wantA, &query);
        return ncm_dns_parse_response(query.data(), query.size(), reply.data(), reply.size(), out, wantA);
    }

    static uint16_t flags(const Bytes& reply) { return static_cast<uint16_t>(reply[2] << 8 | reply[3]); }
    static uint16_t count(const Bytes& reply, int index)
    {
        return static_cast<uint16_t>(reply[4 + 2 * index] << 8 | reply[5 + 2 * index]);
    }

    std::string m_address;
    std::unique_ptr<Dnsmasq> m_dnsmasq;
    std::vector<std::string> out { "stale" };
};

} // namespace

TEST_F(DnsmasqReplies, AddressRecordsOfTheRequestedFamily)
{
    ASSERT_NO_FATAL_FAILURE(start("127.0.4.10"));
    ASSERT_EQ(0, resolve("a.test", true, out));
    EXPECT_EQ(std::vector<std::string> { "10.0.0.1" }, out);
    ASSERT_EQ(0, resolve("v6.test", false, out));
    EXPECT_EQ(std::vector<std::string> { "2001:db8::1" }, out);
    ASSERT_EQ(0, resolve("dual.test", true, out));
    EXPECT_EQ(std::vector<std::string> { "10.0.0.2" }, out);
    ASSERT_EQ(0, resolve("dual.test", false, out));
    EXPECT_EQ(std::vector<std::string> { "2001:db8::2" }, out);
    ASSERT_EQ(0, resolve("A.Test", true, out));
    EXPECT_EQ(std::vector<std::string> { "10.0.0.1" }, out);

    // The name exists without an address of that family: accepted, empty.
    ASSERT_EQ(0, resolve("v6.test", true, out));
    EXPECT_TRUE(out.empty());
    ASSERT_EQ(0, resolve("a.test", false, out));
    EXPECT_TRUE(out.empty());
}

TEST_F(DnsmasqReplies, CnameChainIsSkippedToTheAddress)
{
    ASSERT_NO_FATAL_FAILURE(start("127.0.4.11"));
    Bytes query;
    const Bytes reply = ask("alias1.test", true, &query);
    ASSERT_GE(reply.size(), 12u);
    ASSERT_EQ(3, count(reply, 1)) << "two CNAME records and the A record: " << toHex(reply);
    ASSERT_EQ(0, ncm_dns_parse_response(query.data(), query.size(), reply.data(), reply.size(), out, true));
    EXPECT_EQ(std::vector<std::string> { "10.0.0.7" }, out);
}

TEST_F(DnsmasqReplies, FortyAddressesTruncateOverUdpAndGiveThirtyTwoOverTcp)
{
    ASSERT_NO_FATAL_FAILURE(start("127.0.4.12"));

    Bytes query;
    const Bytes udpReply = ask("many.test", true, &query);
    ASSERT_GE(udpReply.size(), 12u);
    ASSERT_TRUE(flags(udpReply) & DnsFlagTc) << "40 A records do not fit 512 bytes";
    EXPECT_NE(
        0, ncm_dns_parse_response(query.data(), query.size(), udpReply.data(), udpReply.size(), out, true));
    EXPECT_TRUE(out.empty());

    Bytes framed;
    ASSERT_TRUE(ncm_dns_build_query("many.test", framed, true));
    const Bytes reply = tcpExchange(m_address, testsupport::DnsTestPort, framed);
    ASSERT_FALSE(reply.empty()) << m_dnsmasq->log();
    ASSERT_EQ(40, count(reply, 1));
    ASSERT_EQ(0,
        ncm_dns_parse_response(framed.data() + 2, framed.size() - 2, reply.data(), reply.size(), out, true));
    ASSERT_EQ(32u, out.size());

    // The first 32 records in the order the server sent them. Each record is
    // a 2-byte pointer, 10 bytes of fixed fields and 4 bytes of address.
    const size_t answersAt = framed.size() - 2;
    std::set<std::string> distinct;
    for (size_t i = 0; i < 32; ++i) {
        char text[16];
        inet_ntop(AF_INET, &reply[answersAt + 16 * i + 12], text, sizeof text);
        EXPECT_EQ(text, out[i]) << "record " << i;
        distinct.insert(out[i]);
    }
    EXPECT_EQ(32u, distinct.size());
}

TEST_F(DnsmasqReplies, NxDomainIsAcceptedWithoutAddresses)
{
    ASSERT_NO_FATAL_FAILURE(start("127.0.4.13"));
    Bytes query;
    const Bytes reply = ask("missing.test", true, &query);
    ASSERT_GE(reply.size(), 12u);
    ASSERT_EQ(DnsRcodeNxDomain, flags(reply) & DnsRcodeMask);
    ASSERT_EQ(0, ncm_dns_parse_response(query.data(), query.size(), reply.data(), reply.size(), out, true));
    EXPECT_TRUE(out.empty());

    // dnsmasq leaves the authority section empty here; add the zone's SOA as
    // an authoritative server would and parse again, whole and cut short.
    const Record soa = soaRecord(labels("test"));
    Bytes withSoa = makeReply(query, flags(reply), {}, { soa });
    ASSERT_EQ(
        Bytes(reply.begin() + 12, reply.end()), Bytes(withSoa.begin() + 12, withSoa.begin() + reply.size()));
    EXPECT_EQ(
        0, ncm_dns_parse_response(query.data(), query.size(), withSoa.data(), withSoa.size(), out, true));
    EXPECT_TRUE(out.empty());
    withSoa.pop_back();
    EXPECT_NE(
        0, ncm_dns_parse_response(query.data(), query.size(), withSoa.data(), withSoa.size(), out, true));
}

TEST_F(DnsmasqReplies, RefusedQueryIsRejected)
{
    ASSERT_NO_FATAL_FAILURE(start("127.0.4.14"));
    Bytes query;
    // Outside the local domain and with no upstream server: REFUSED.
    const Bytes reply = ask("www.example.org", true, &query);
    ASSERT_GE(reply.size(), 12u);
    ASSERT_EQ(5, flags(reply) & DnsRcodeMask);
    EXPECT_NE(0, ncm_dns_parse_response(query.data(), query.size(), reply.data(), reply.size(), out, true));
    EXPECT_TRUE(out.empty());
}
