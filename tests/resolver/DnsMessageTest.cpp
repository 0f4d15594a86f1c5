// The query builder, the name codec and the reply parser on hand-made bytes.
#include "resolver/DnsMessage.h"
#include "tests/support/DnsFakes.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

using namespace dnstest;

namespace {

// "0a 1b ..."
std::string toHex(const Bytes& bytes)
{
    std::string out;
    for (uint8_t b : bytes)
        out += std::string(out.empty() ? "" : " ") + "0123456789abcdef"[b >> 4] + "0123456789abcdef"[b & 15];
    return out;
}

// "a.b" -> 01 61 01 62 00
Bytes labels(const std::string& name)
{
    Bytes out;
    std::string piece;
    std::istringstream in(name);
    while (std::getline(in, piece, '.')) {
        out.push_back(static_cast<uint8_t>(piece.size()));
        out.insert(out.end(), piece.begin(), piece.end());
    }
    out.push_back(0);
    return out;
}

Record soaRecord()
{
    // The two names, then serial, refresh, retry, expire and minimum.
    Bytes data = labels("ns.test"), mailbox = labels("hostmaster.test");
    data.insert(data.end(), mailbox.begin(), mailbox.end());
    data.resize(data.size() + 20, 1);
    return { pointerTo(12), DnsTypeSoa, DnsClassIn, data };
}

// The message part of a framed query.
Bytes buildQueryMessage(const char* name, bool wantA)
{
    Bytes framed;
    if (!ncm_dns_build_query(name, framed, wantA))
        throw std::invalid_argument(name);
    return Bytes(framed.begin() + 2, framed.end());
}

const char AbCdQuery[] = "00 01 01 00 00 01 00 00 00 00 00 00 02 61 62 02 63 64 00 00 01 00 01";
const std::string Label63(63, 'a');
const std::string Name255 = Label63 + "." + Label63 + "." + Label63 + "." + Label63;

// The encoded name in hex, or the error code.
std::string encoded(const std::string& name, size_t room = 300)
{
    Bytes buffer(room, 0xEE);
    const int end = ncm_dns_encode_name(buffer.data(), room, 0, name.data(), name.size());
    return end < 0 ? std::to_string(end) : toHex(Bytes(buffer.begin(), buffer.begin() + end));
}

// Exact-size heap copies, so that AddressSanitizer sees any access past the message or the output.
std::unique_ptr<uint8_t[]> heapCopy(const Bytes& bytes)
{
    auto copy = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return copy;
}

int decode(const Bytes& message, size_t& position, std::string& name, size_t outSize = 256)
{
    auto out = std::make_unique<char[]>(outSize);
    const int rc = ncm_dns_decode_name(heapCopy(message).get(), message.size(), position, out.get(), outSize);
    name = rc == 0 ? out.get() : "";
    return rc;
}

int parse(const Bytes& query, const Bytes& reply, std::vector<std::string>& out, bool wantA = true)
{
    return ncm_dns_parse_response(
        query.data(), query.size(), heapCopy(reply).get(), reply.size(), out, wantA);
}

std::vector<std::string> range(const std::string& prefix, int from, int to)
{
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i)
        out.push_back(prefix + std::to_string(i));
    return out;
}

std::vector<Record> records(const std::vector<std::string>& addresses)
{
    std::vector<Record> out;
    for (const std::string& address : addresses)
        out.push_back(addressRecord(address));
    return out;
}

Bytes patched(Bytes bytes, size_t at, uint8_t value)
{
    bytes.at(at) = value;
    return bytes;
}

} // namespace

TEST(DnsQueryBuilder, WritesTheAbCdExampleFramesItAndRefusesWhatCannotBeAskedFor)
{
    uint8_t buffer[300];
    const int length = ncm_dns_write_request("ab.cd", 5, 1, DnsTypeA, DnsClassIn, buffer, 23); // room for all
    ASSERT_EQ(23, length);
    EXPECT_EQ(AbCdQuery, toHex(Bytes(buffer, buffer + length)));
    Bytes a, aaaa;
    ASSERT_TRUE(ncm_dns_build_query("ab.cd", a, true));
    ASSERT_TRUE(ncm_dns_build_query("ab.cd", aaaa, false));
    // The length, a random identifier, then the example after its identifier.
    EXPECT_EQ(23, ncm_dns_frame_length(a.data(), a.size()));
    EXPECT_EQ(toHex(Bytes(a.begin() + 4, a.end())), std::string(AbCdQuery).substr(6));
    EXPECT_EQ("00 1c 00 01", toHex(Bytes(aaaa.end() - 4, aaaa.end())));
    const uint8_t frames[] = { 0x01, 0x02, 0xFF, 0xFF };
    EXPECT_EQ(-1, ncm_dns_frame_length(frames, 1));
    EXPECT_EQ(258, ncm_dns_frame_length(frames, 2));
    EXPECT_EQ(65535, ncm_dns_frame_length(frames + 2, 2));
    Bytes q { 1, 2, 3 };
    ASSERT_TRUE(ncm_dns_build_query(Name255.c_str(), q, true));
    EXPECT_EQ(2u + 12 + 257 + 4, q.size());
    for (const std::string& name : { Name255 + "b", "www." + Label63 + "a.test" }) {
        q = { 1 };
        EXPECT_FALSE(ncm_dns_build_query(name.c_str(), q, true)) << name.size();
        EXPECT_TRUE(q.empty());
    }
    EXPECT_EQ(-1, ncm_dns_write_request("ab.cd", 5, 1, 1, 1, buffer, 11)); // no room for the header
    EXPECT_EQ(-2, ncm_dns_write_request("ab.cd", 5, 1, 1, 1, buffer, 16)); // name does not fit
    EXPECT_EQ(-1, ncm_dns_write_request("ab.cd", 5, 1, 1, 1, buffer, 21)); // type and class do not
    const std::string tooLong(256, 'a'); // checked before its labels
    EXPECT_EQ(-2, ncm_dns_write_request(tooLong.c_str(), tooLong.size(), 1, 1, 1, buffer, sizeof buffer));
}

TEST(DnsQueryBuilder, IdentifiersAreUnpredictable)
{
    Bytes q;
    std::set<uint16_t> ids;
    int successors = 0;
    uint16_t previous = 0;
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(ncm_dns_build_query("x", q, true));
        const uint16_t id = static_cast<uint16_t>(q[2] << 8 | q[3]);
        successors += id == static_cast<uint16_t>(previous + 1);
        ids.insert(previous = id);
    }
    EXPECT_GT(ids.size(), 56u);
    EXPECT_LT(successors, 4);
}

TEST(DnsNameEncoder, WritesEveryLabelAndOneTerminator)
{
    const struct {
        std::string name;
        size_t room;
        std::string expected;
    } cases[] = {
        { "a", 300, "01 61 00" }, { "a.", 300, "01 61 00" }, { "", 300, "00" },
        { "www.test", 300, "03 77 77 77 04 74 65 73 74 00" }, { Label63, 300, toHex(labels(Label63)) },
        { Label63 + "a", 300, "-1" },
        // An empty label would end the name early.
        { ".a", 300, "-1" }, { "a..b", 300, "-1" }, { ".", 300, "-1" }, { "a..", 300, "-1" },
        { "ab", 3, "-2" }, { "ab", 2, "-2" }, // the label fits, the terminator does not
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, encoded(c.name, c.room)) << "'" << c.name << "' in " << c.room;
}

TEST(DnsNameDecoder, FollowsPointersAndRejectsLoopsOverflowsAndAnythingOutsideTheMessage)
{
    // 12: "www.test", 22: pointer to 12, 24: "mail" + pointer to 16 ("test")
    Bytes m(12, 0);
    const Bytes www = labels("www.test");
    m.insert(m.end(), www.begin(), www.end());
    m.insert(m.end(), { 0xC0, 12, 4, 'm', 'a', 'i', 'l', 0xC0, 16, 0xAA });
    const Bytes name255 = labels(Name255);
    Bytes selfPointer(12, 0);
    selfPointer.insert(selfPointer.end(), { 0xC0, 12 });
    const char* const Fails = nullptr;
    const struct {
        Bytes message;
        size_t start, outSize;
        const char* expected; // name, or Fails
        size_t end; // position after the name
    } cases[] = {
        { m, 12, 256, "www.test", 22 }, { m, 22, 256, "www.test", 24 }, // continues after the first pointer
        { m, 24, 256, "mail.test", 31 }, { { 0, 0xAA }, 0, 256, "", 1 },
        { name255, 0, 256, Name255.c_str(), 257 }, { labels("ab.c"), 0, 5, "ab.c", 6 },
        { selfPointer, 12, 256, Fails, 12 }, // a pointer to itself
        { { 0xC0, 2, 0xC0, 0 }, 0, 256, Fails, 0 }, // two pointers in a loop
        { { 0xC0, 2 }, 0, 256, Fails, 0 }, // pointer past the end
        { { 1, 'a', 0xC0 }, 0, 256, Fails, 0 }, // half a pointer
        { { 5, 'a', 'b' }, 0, 256, Fails, 0 }, // label past the end
        { { 2, 'a', 'b' }, 0, 256, Fails, 0 }, // no terminator
        { { 0 }, 1, 256, Fails, 1 }, // start past the end
        // The output keeps room for the terminating NUL.
        { name255, 0, 255, Fails, 0 }, { labels("ab.c"), 0, 4, Fails, 0 }, // the dot overflows
        { labels("ab.c"), 0, 3, Fails, 0 }, // the label overflows
        { labels(std::string(40, 'z')), 0, 4, Fails, 0 }, // a label far larger than the output
    };
    for (const auto& c : cases) {
        std::string name;
        size_t p = c.start;
        EXPECT_EQ(c.expected ? 0 : -1, decode(c.message, p, name, c.outSize)) << toHex(c.message);
        EXPECT_EQ(c.expected ? c.expected : "", name) << toHex(c.message);
        EXPECT_EQ(c.end, p) << toHex(c.message);
    }
}

TEST(DnsReplyParser, AcceptsTheUsableAndRejectsTheRest)
{
    const Bytes query = buildQueryMessage("www.example.test", true);
    const Bytes query6 = buildQueryMessage("www.example.test", false);
    const size_t qtype = 12 + 18 + 1; // QTYPE low byte after the 18-byte name
    const auto ok = [&](const std::vector<Record>& answers) { return makeReply(query, 0x8180, answers); };
    const Record cname { pointerTo(12), DnsTypeCname, DnsClassIn, labels("alias.example.test") };
    const Record ptr { pointerTo(12), DnsTypePtr, DnsClassIn, labels("x.test") };
    const Record ns { pointerTo(12), 2, DnsClassIn, labels("ns.test") };
    Record chaosA = addressRecord("10.9.9.9"), pair = addressRecord("10.0.1.32"), six = pair;
    chaosA.rclass = 3;
    pair.rdata.insert(pair.rdata.end(), { 10, 0, 1, 33 });
    six.rdata.insert(six.rdata.end(), { 0, 0 });
    Record v6short = addressRecord("2001:db8::1"), badSoa = soaRecord();
    v6short.rdata.resize(12);
    badSoa.rdata.pop_back();
    const std::vector<Record> mixed
        = { cname, ptr, chaosA, addressRecord("2001:db8::1"), addressRecord("10.0.0.3") };
    std::vector<Record> forty = records(range("10.0.1.", 1, 40)),
                        thirtyOneAndPair = records(range("10.0.1.", 1, 31));
    thirtyOneAndPair.push_back(pair);
    // Records after the 32nd address are not read at all: a cut there is fine.
    Bytes cutAfter32 = ok(forty);
    cutAfter32.resize(cutAfter32.size() - 8 * 16 + 3);
    Bytes otherName = buildQueryMessage("www.example.tesu", true);
    otherName[0] = query[0];
    otherName[1] = query[1];
    Bytes selfPointing = ok({ addressRecord("10.0.0.1", { 0xC0, 0 }) });
    selfPointing[query.size() + 1] = static_cast<uint8_t>(query.size());
    Bytes runaway = patched(ok({}), 7, 1); // ANCOUNT 1
    runaway.insert(runaway.end(), { 40, 'a', 'b', 'c' });
    const Bytes a1 = ok({ addressRecord("10.0.0.1") }), header(a1.begin(), a1.begin() + 11);
    const int Error = 1; // any non-zero result
    const struct {
        const char* what;
        Bytes reply;
        int rc;
        std::vector<std::string> expected;
        bool wantA = true;
        bool everyCutFails = false;
    } cases[] = {
        { "A in reply order", ok(records({ "10.0.0.2", "10.0.0.1" })), 0, { "10.0.0.2", "10.0.0.1" } },
        { "AAAA in reply order", makeReply(query6, 0x8180, records({ "2001:db8::1", "64:ff9b::102:304" })), 0,
            { "2001:db8::1", "64:ff9b::102:304" }, false },
        { "question in other letter case", patched(patched(a1, 13, 'W'), 18, 'X'), 0, { "10.0.0.1" } },
        { "other types and classes skipped", ok(mixed), 0, { "10.0.0.3" }, true, true },
        { "the same for AAAA", makeReply(query6, 0x8180, mixed), 0, { "2001:db8::1" }, false },
        { "forty addresses", ok(forty), 0, range("10.0.1.", 1, 32) },
        { "cut after the 32nd", cutAfter32, 0, range("10.0.1.", 1, 32) },
        { "a record of two fills only the room left", ok(thirtyOneAndPair), 0, range("10.0.1.", 1, 32) },
        { "a record of two addresses", ok({ pair }), 0, { "10.0.1.32", "10.0.1.33" } },
        { "NXDOMAIN", makeReply(query, 0x8183, {}, { soaRecord() }), 0, {}, true, true },
        { "no data", makeReply(query, 0x8180, records({ "2001:db8::1" }), { soaRecord() }), 0, {} },
        { "NXDOMAIN with NS authority", makeReply(query, 0x8183, {}, { ns }), 0, {} },
        { "another identifier", patched(a1, 1, a1[1] ^ 0xA5), -2, {} },
        { "another name", makeReply(otherName, 0x8180, records({ "10.0.0.1" })), -2, {} },
        { "an AAAA question", patched(a1, qtype, DnsTypeAaaa), -2, {} },
        { "TC", makeReply(query, 0x8380, records({ "10.0.0.1" })), Error, {} },
        { "SERVFAIL", makeReply(query, 0x8182, records({ "10.0.0.1" })), Error, {} },
        { "REFUSED", makeReply(query, 0x8185, records({ "10.0.0.1" })), Error, {} },
        { "QR clear", makeReply(query, 0x0180, records({ "10.0.0.1" })), Error, {} },
        { "TC with NXDOMAIN", makeReply(query, 0x8383, {}, { soaRecord() }), Error, {} },
        { "QDCOUNT 0", patched(ok({}), 5, 0), Error, {} },
        { "header cut short", header, Error, {} },
        { "A with RDLENGTH 6", ok({ addressRecord("10.0.0.9"), six }), Error, {} },
        { "AAAA with RDLENGTH 12", makeReply(query6, 0x8180, { v6short }), Error, {}, false },
        { "RDLENGTH 8 with one address", patched(a1, a1.size() - 5, 8), Error, {} },
        { "owner name pointing to itself", selfPointing, Error, {} },
        { "label running past the end", runaway, Error, {} },
        { "SOA cut short", makeReply(query, 0x8183, {}, { badSoa }), Error, {} },
    };
    for (const auto& c : cases) {
        std::vector<std::string> out { "stale" };
        const int rc = parse(c.wantA ? query : query6, c.reply, out, c.wantA);
        EXPECT_EQ(c.rc, c.rc == Error ? (rc != 0 ? Error : 0) : rc) << c.what;
        EXPECT_EQ(c.expected, out) << c.what;
        for (size_t length = 0; c.everyCutFails && length < c.reply.size(); ++length) {
            EXPECT_NE(
                0, parse(query, Bytes(c.reply.begin(), c.reply.begin() + static_cast<long>(length)), out))
                << c.what << " cut to " << length;
            EXPECT_TRUE(out.empty());
        }
    }
}
