// The query builder, the name codec and the reply parser on hand-made bytes.
#include "resolver/DnsMessage.h"
#include "tests/support/DnsFakes.h"

#include <gtest/gtest.h>

#include <set>

#include <cstring>
#include <memory>

using namespace dnstest;

namespace {

const char AbCdQuery[] = "00 01 01 00 00 01 00 00 00 00 00 00 02 61 62 02 63 64 00 00 01 00 01";

Bytes encode(const std::string& name, size_t bufferSize = 300, int* result = nullptr)
{
    Bytes buffer(bufferSize, 0xEE);
    const int end = ncm_dns_encode_name(buffer.data(), buffer.size(), 0, name.data(), name.size());
    if (result)
        *result = end;
    if (end < 0)
        return {};
    buffer.resize(static_cast<size_t>(end));
    return buffer;
}

// Decodes from an exact-size heap copy so that AddressSanitizer sees any
// read past the message.
int decode(const Bytes& message, size_t& position, std::string& name, size_t outSize = 256)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[message.size()]);
    std::memcpy(copy.get(), message.data(), message.size());
    std::unique_ptr<char[]> out(new char[outSize]);
    const int rc = ncm_dns_decode_name(copy.get(), message.size(), position, out.get(), outSize);
    name = rc == 0 ? out.get() : "";
    return rc;
}

int parse(const Bytes& query, const Bytes& reply, std::vector<std::string>& out, bool wantA = true)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[reply.size() + 1]);
    if (!reply.empty())
        std::memcpy(copy.get(), reply.data(), reply.size());
    return ncm_dns_parse_response(query.data(), query.size(), copy.get(), reply.size(), out, wantA);
}

uint16_t idOf(const Bytes& framed)
{
    return static_cast<uint16_t>(framed[2] << 8 | framed[3]);
}

} // namespace

// ------------------------------------------------------------------ builder

TEST(DnsQueryBuilder, WritesTheAbCdExampleByteForByte)
{
    uint8_t buffer[64];
    const int length = ncm_dns_write_request("ab.cd", 5, 1, DnsTypeA, DnsClassIn, buffer, sizeof buffer);
    ASSERT_EQ(23, length);
    EXPECT_EQ(AbCdQuery, toHex(Bytes(buffer, buffer + length)));
}

TEST(DnsQueryBuilder, FramesTheMessageWithItsLengthAndAsksForTheRequestedType)
{
    Bytes a, aaaa;
    ASSERT_TRUE(ncm_dns_build_query("ab.cd", a, true));
    ASSERT_TRUE(ncm_dns_build_query("ab.cd", aaaa, false));

    ASSERT_EQ(25u, a.size());
    EXPECT_EQ("00 17", toHex(Bytes(a.begin(), a.begin() + 2)));
    EXPECT_EQ(23, ncm_dns_frame_length(a.data(), a.size()));
    // Everything after the identifier is the example query.
    const Bytes example = fromHex(AbCdQuery);
    EXPECT_EQ(Bytes(example.begin() + 2, example.end()), Bytes(a.begin() + 4, a.end()));
    EXPECT_EQ("00 1c 00 01", toHex(Bytes(aaaa.end() - 4, aaaa.end())));
}

TEST(DnsQueryBuilder, IdentifiersAreUnpredictable)
{
    Bytes q;
    std::set<uint16_t> ids;
    int successors = 0;
    uint16_t previous = 0;
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(ncm_dns_build_query("x", q, true));
        successors += idOf(q) == static_cast<uint16_t>(previous + 1);
        previous = idOf(q);
        ids.insert(previous);
    }
    EXPECT_GT(ids.size(), 56u);
    EXPECT_LT(successors, 4);
}

TEST(DnsQueryBuilder, RefusesNamesThatCannotBeAskedFor)
{
    const std::string label63(63, 'a');
    const std::string longest = label63 + "." + label63 + "." + label63 + "." + label63; // 255
    Bytes q { 1, 2, 3 };
    ASSERT_TRUE(ncm_dns_build_query(longest.c_str(), q, true));
    EXPECT_EQ(2u + 12 + 257 + 4, q.size());

    EXPECT_FALSE(ncm_dns_build_query((longest + "b").c_str(), q, true)); // 256 bytes
    EXPECT_TRUE(q.empty());
    q = { 1 };
    EXPECT_FALSE(ncm_dns_build_query(("www." + std::string(64, 'a') + ".test").c_str(), q, true));
    EXPECT_TRUE(q.empty());
}

TEST(DnsQueryBuilder, WriteRequestReportsMissingRoomAndBadNames)
{
    uint8_t buffer[300];
    EXPECT_EQ(-1, ncm_dns_write_request("ab.cd", 5, 1, 1, 1, buffer, 11)); // no room for the header
    EXPECT_EQ(-2, ncm_dns_write_request("ab.cd", 5, 1, 1, 1, buffer, 16)); // name does not fit
    EXPECT_EQ(-1, ncm_dns_write_request("ab.cd", 5, 1, 1, 1, buffer, 21)); // type and class do not
    EXPECT_EQ(23, ncm_dns_write_request("ab.cd", 5, 1, 1, 1, buffer, 23));
    const std::string label64(64, 'a');
    EXPECT_EQ(-1, ncm_dns_write_request(label64.c_str(), label64.size(), 1, 1, 1, buffer, sizeof buffer));
    const std::string tooLong(256, 'a');
    EXPECT_EQ(-2, ncm_dns_write_request(tooLong.c_str(), tooLong.size(), 1, 1, 1, buffer, sizeof buffer));
}

TEST(DnsNameEncoder, WritesEveryPieceAndOneTerminator)
{
    EXPECT_EQ("01 61 00", toHex(encode("a")));
    EXPECT_EQ("01 61 00", toHex(encode("a.")));
    EXPECT_EQ("00", toHex(encode("")));
    int empty = 0;
    for (const char* name : { ".a", "a..b", ".", "a.." }) {
        encode(name, 300, &empty);
        EXPECT_EQ(-1, empty) << name << ": an empty label would end the name early";
    }
    EXPECT_EQ("03 77 77 77 04 74 65 73 74 00", toHex(encode("www.test")));

    int rc = 0;
    encode(std::string(63, 'x'), 300, &rc);
    EXPECT_EQ(65, rc);
    encode(std::string(64, 'x'), 300, &rc);
    EXPECT_EQ(-1, rc);
    encode("ab", 3, &rc); // the label fits, the terminator does not
    EXPECT_EQ(-2, rc);
    encode("ab", 2, &rc);
    EXPECT_EQ(-2, rc);
}

// ------------------------------------------------------------------ decoder

TEST(DnsNameDecoder, FollowsPointersAndContinuesAfterTheFirstOne)
{
    // 12: "www.test", 22: pointer to 12, 24: "mail" + pointer to 16 ("test")
    Bytes m(12, 0);
    const Bytes www = labels("www.test");
    m.insert(m.end(), www.begin(), www.end());
    m.insert(m.end(), { 0xC0, 12 });
    m.insert(m.end(), { 4, 'm', 'a', 'i', 'l', 0xC0, 16 });
    m.push_back(0xAA); // something after the last name

    std::string name;
    size_t p = 12;
    ASSERT_EQ(0, decode(m, p, name));
    EXPECT_EQ("www.test", name);
    EXPECT_EQ(22u, p);

    ASSERT_EQ(0, decode(m, p, name));
    EXPECT_EQ("www.test", name);
    EXPECT_EQ(24u, p);

    ASSERT_EQ(0, decode(m, p, name));
    EXPECT_EQ("mail.test", name);
    EXPECT_EQ(31u, p);

    Bytes root = { 0, 0xAA };
    p = 0;
    ASSERT_EQ(0, decode(root, p, name));
    EXPECT_EQ("", name);
    EXPECT_EQ(1u, p);
}

TEST(DnsNameDecoder, RejectsLoopsAndEverythingOutsideTheMessage)
{
    Bytes selfPointer(12, 0);
    selfPointer.insert(selfPointer.end(), { 0xC0, 12 });
    const struct {
        Bytes message;
        size_t start;
        const char* what;
    } cases[] = {
        { selfPointer, 12, "pointer to itself" },
        { { 0xC0, 2, 0xC0, 0 }, 0, "two pointers in a loop" },
        { { 0xC0, 2 }, 0, "pointer past the end" },
        { { 1, 'a', 0xC0 }, 0, "half a pointer" },
        { { 5, 'a', 'b' }, 0, "label past the end" },
        { { 2, 'a', 'b' }, 0, "no terminator" },
        { { 0 }, 1, "start past the end" },
    };
    for (const auto& c : cases) {
        std::string name;
        size_t p = c.start;
        EXPECT_EQ(-1, decode(c.message, p, name)) << c.what;
    }
}

TEST(DnsNameDecoder, KeepsRoomForTheTerminatingNul)
{
    const std::string label63(63, 'q');
    const std::string name255 = label63 + "." + label63 + "." + label63 + "." + label63;
    const Bytes wire = encode(name255);
    std::string name;
    size_t p = 0;
    ASSERT_EQ(0, decode(wire, p, name, 256));
    EXPECT_EQ(name255, name);

    p = 0;
    EXPECT_EQ(-1, decode(wire, p, name, 255));

    // "ab.c" needs 5 bytes: 4 is too small whether the label or the dot overflows.
    const Bytes abc = encode("ab.c");
    p = 0;
    EXPECT_EQ(0, decode(abc, p, name, 5));
    p = 0;
    EXPECT_EQ(-1, decode(abc, p, name, 4));
    p = 0;
    EXPECT_EQ(-1, decode(abc, p, name, 3));

    // A label far larger than the output must not be copied at all (the
    // sanitizer build sees the heap buffer overflow otherwise).
    const Bytes longLabel = encode(std::string(40, 'z'));
    p = 0;
    EXPECT_EQ(-1, decode(longLabel, p, name, 4));
}

// ------------------------------------------------------------------- parser

class DnsReplyParser : public ::testing::Test {
protected:
    Bytes query = buildQueryMessage("www.example.test", true);
    Bytes query6 = buildQueryMessage("www.example.test", false);
    std::vector<std::string> out { "stale" };
};

TEST_F(DnsReplyParser, ReturnsTheAddressesInReplyOrder)
{
    const Bytes reply = makeReply(query, 0x8180, { aRecord("10.0.0.2"), aRecord("10.0.0.1") });
    ASSERT_EQ(0, parse(query, reply, out));
    EXPECT_EQ((std::vector<std::string> { "10.0.0.2", "10.0.0.1" }), out);

    const Bytes reply6
        = makeReply(query6, 0x8180, { aaaaRecord("2001:db8::1"), aaaaRecord("64:ff9b::102:304") });
    ASSERT_EQ(0, parse(query6, reply6, out, false));
    EXPECT_EQ((std::vector<std::string> { "2001:db8::1", "64:ff9b::102:304" }), out);
}

TEST_F(DnsReplyParser, IgnoresOnlyTheLetterCaseOfTheQuestion)
{
    Bytes reply = makeReply(query, 0x8180, { aRecord("10.0.0.1") });
    reply[12 + 1] = 'W'; // "Www.example.test"
    reply[12 + 6] = 'X'; // "Www.eXample.test"
    ASSERT_EQ(0, parse(query, reply, out));
    EXPECT_EQ(std::vector<std::string> { "10.0.0.1" }, out);
    reply[1] ^= 0xA5;
    EXPECT_EQ(-2, parse(query, reply, out)) << "another identifier: not the reply";
}

TEST_F(DnsReplyParser, SkipsRecordsOfOtherTypesAndClasses)
{
    Record cname { pointerTo(12), DnsTypeCname, DnsClassIn, 60, labels("alias.example.test") };
    Record ptr { pointerTo(12), DnsTypePtr, DnsClassIn, 60, labels("x.test") };
    Record chaosA = aRecord("10.9.9.9");
    chaosA.rclass = 3;
    const Bytes reply
        = makeReply(query, 0x8180, { cname, ptr, chaosA, aaaaRecord("2001:db8::1"), aRecord("10.0.0.3") });
    ASSERT_EQ(0, parse(query, reply, out));
    EXPECT_EQ(std::vector<std::string> { "10.0.0.3" }, out);

    // The same reply to an AAAA question yields only the AAAA address.
    Bytes reply6 = reply;
    reply6[12 + 18 + 1] = DnsTypeAaaa; // QTYPE low byte after the 18-byte name
    reply6[0] = query6[0];
    reply6[1] = query6[1];
    ASSERT_EQ(0, parse(query6, reply6, out, false));
    EXPECT_EQ(std::vector<std::string> { "2001:db8::1" }, out);
}

TEST_F(DnsReplyParser, StopsAtThirtyTwoAddresses)
{
    std::vector<Record> answers;
    for (int i = 1; i <= 40; ++i)
        answers.push_back(aRecord("10.0.1." + std::to_string(i)));
    Bytes reply = makeReply(query, 0x8180, answers);
    ASSERT_EQ(0, parse(query, reply, out));
    ASSERT_EQ(32u, out.size());
    EXPECT_EQ("10.0.1.1", out.front());
    EXPECT_EQ("10.0.1.32", out.back());

    // Records after the 32nd address are not read at all.
    reply.resize(reply.size() - 8 * 16 + 3);
    ASSERT_EQ(0, parse(query, reply, out));
    EXPECT_EQ(32u, out.size());
}

TEST_F(DnsReplyParser, RecordWithSeveralAddressesFillsOnlyTheRemainingRoom)
{
    std::vector<Record> answers;
    for (int i = 1; i <= 31; ++i)
        answers.push_back(aRecord("10.0.1." + std::to_string(i)));
    Record pair = aRecord("10.0.2.1");
    pair.rdata.insert(pair.rdata.end(), { 10, 0, 2, 2 });
    answers.push_back(pair);
    ASSERT_EQ(0, parse(query, makeReply(query, 0x8180, answers), out));
    ASSERT_EQ(32u, out.size());
    EXPECT_EQ("10.0.2.1", out.back());

    ASSERT_EQ(0, parse(query, makeReply(query, 0x8180, { pair }), out));
    EXPECT_EQ((std::vector<std::string> { "10.0.2.1", "10.0.2.2" }), out);
}

TEST_F(DnsReplyParser, AcceptsReplyWithoutAddresses)
{
    Bytes nxdomain = makeReply(query, 0x8183, {}, { soaRecord() });
    ASSERT_EQ(0, parse(query, nxdomain, out));
    EXPECT_TRUE(out.empty());

    Bytes nodata = makeReply(query, 0x8180, { aaaaRecord("2001:db8::1") }, { soaRecord() });
    ASSERT_EQ(0, parse(query, nodata, out));
    EXPECT_TRUE(out.empty());

    Record nsRecord { pointerTo(12), 2, DnsClassIn, 60, labels("ns.test") };
    ASSERT_EQ(0, parse(query, makeReply(query, 0x8183, {}, { nsRecord }), out));
}

TEST_F(DnsReplyParser, RejectsUnusableStatus)
{
    for (const uint16_t flags :
        { 0x8380 /* TC */, 0x8182 /* SERVFAIL */, 0x8185 /* REFUSED */, 0x0180 /* QR clear */ }) {
        EXPECT_NE(0, parse(query, makeReply(query, flags, { aRecord("10.0.0.1") }), out))
            << std::hex << flags;
        EXPECT_TRUE(out.empty());
    }
    EXPECT_NE(0, parse(query, makeReply(query, 0x8383, {}, { soaRecord() }), out)) << "TC with NXDOMAIN";
}

TEST_F(DnsReplyParser, RejectsQuestionsThatDoNotMatch)
{
    Bytes other = buildQueryMessage("www.example.tesu", true);
    other[0] = query[0];
    other[1] = query[1];
    EXPECT_EQ(-2, parse(query, makeReply(other, 0x8180, { aRecord("10.0.0.1") }), out));
    Bytes otherType = makeReply(query, 0x8180, { aRecord("10.0.0.1") });
    otherType[12 + 18 + 1] = DnsTypeAaaa;
    EXPECT_EQ(-2, parse(query, otherType, out)) << "an AAAA question";

    Bytes noQuestion = makeReply(query, 0x8180, {});
    noQuestion[5] = 0; // QDCOUNT 0
    EXPECT_NE(0, parse(query, noQuestion, out));

    Bytes header = makeReply(query, 0x8180, {});
    header.resize(11);
    EXPECT_NE(0, parse(query, header, out));
}

TEST_F(DnsReplyParser, RejectsMalformedRecords)
{
    Record six = aRecord("10.0.0.1");
    six.rdata.insert(six.rdata.end(), { 0, 0 });
    EXPECT_NE(0, parse(query, makeReply(query, 0x8180, { aRecord("10.0.0.9"), six }), out))
        << "A with RDLENGTH 6";
    EXPECT_TRUE(out.empty());

    Record v6short = aaaaRecord("2001:db8::1");
    v6short.rdata.resize(12);
    EXPECT_NE(0, parse(query6, makeReply(query6, 0x8180, { v6short }), out, false));

    Record lying = aRecord("10.0.0.1");
    lying.rdlengthOverride = 8; // promises two addresses, carries one
    EXPECT_NE(0, parse(query, makeReply(query, 0x8180, { lying }), out));

    Record selfPointing { pointerTo(0), DnsTypeA, DnsClassIn, 60, { 10, 0, 0, 1 } };
    Bytes reply = makeReply(query, 0x8180, { selfPointing });
    const size_t ownerAt = query.size();
    reply[ownerAt] = 0xC0;
    reply[ownerAt + 1] = static_cast<uint8_t>(ownerAt);
    EXPECT_NE(0, parse(query, reply, out)) << "owner name pointing to itself";

    Bytes runaway = makeReply(query, 0x8180, {});
    runaway[7] = 1; // ANCOUNT 1
    runaway.insert(runaway.end(), { 40, 'a', 'b', 'c' });
    EXPECT_NE(0, parse(query, runaway, out)) << "label running past the end";

    Record badSoa = soaRecord();
    badSoa.rdata.resize(badSoa.rdata.size() - 1);
    EXPECT_NE(0, parse(query, makeReply(query, 0x8183, {}, { badSoa }), out)) << "SOA cut short";
}

TEST_F(DnsReplyParser, RejectsEveryTruncationOfAValidReply)
{
    Record cname { pointerTo(12), DnsTypeCname, DnsClassIn, 60, labels("alias.example.test") };
    for (const Bytes& reply : { makeReply(query, 0x8180, { cname, aRecord("10.0.0.1"), aRecord("10.0.0.2") }),
             makeReply(query, 0x8183, {}, { soaRecord() }) }) {
        ASSERT_EQ(0, parse(query, reply, out));
        for (size_t length = 0; length < reply.size(); ++length) {
            const Bytes cut(reply.begin(), reply.begin() + static_cast<long>(length));
            EXPECT_NE(0, parse(query, cut, out)) << "length " << length;
            EXPECT_TRUE(out.empty());
        }
    }
}

TEST(DnsFrame, ReadsTheBigEndianLength)
{
    const uint8_t bytes[] = { 0x01, 0x02, 0xFF };
    EXPECT_EQ(-1, ncm_dns_frame_length(bytes, 0));
    EXPECT_EQ(-1, ncm_dns_frame_length(bytes, 1));
    EXPECT_EQ(258, ncm_dns_frame_length(bytes, 2));
    const uint8_t max[] = { 0xFF, 0xFF };
    EXPECT_EQ(65535, ncm_dns_frame_length(max, 2));
}
