#include "resolver/DnsMessage.h"

#include <event2/util.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <sys/socket.h>

namespace {

constexpr size_t HeaderSize = 12;
constexpr size_t MaxNameLength = 255;
constexpr size_t MaxLabelLength = 63;

inline uint16_t get16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline void put16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value & 0xff);
}

// Both labels and question names are compared as ASCII, whatever the locale.
bool equalsIgnoreAsciiCase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == 0)
            return true;
    }
}

// Owner name, TYPE, CLASS, TTL and RDLENGTH of one resource record; leaves
// `p` at the start of the record data.
struct RecordHeader {
    uint16_t type;
    uint16_t rclass;
    uint16_t rdlength;
};

bool readRecordHeader(const uint8_t* reply, size_t length, size_t& p, RecordHeader& header)
{
    char owner[DnsNameBufferSize];
    if (ncm_dns_decode_name(reply, length, p, owner, sizeof owner) != 0)
        return false;
    // TYPE 2, CLASS 2, TTL 4, RDLENGTH 2. Written as a subtraction so that a
    // large p cannot wrap the bound.
    if (p > length || length - p < 10)
        return false;
    header.type = get16(reply + p);
    header.rclass = get16(reply + p + 2);
    header.rdlength = get16(reply + p + 8);
    p += 10;
    return true;
}

// Copies up to the remaining room of `size`-byte addresses from one record.
// Returns false when the record is malformed or runs past the reply.
bool takeAddresses(const uint8_t* reply, size_t length, size_t& p, uint16_t rdlength, size_t size,
    uint8_t* area, DnsReply& out)
{
    if (rdlength % size != 0)
        return false;
    const size_t room = static_cast<size_t>(DnsReplyMaxAddresses - out.count);
    const size_t k = std::min(room, rdlength / size);
    if (p > length || length - p < k * size)
        return false;
    std::memcpy(area + static_cast<size_t>(out.count) * size, reply + p, k * size);
    out.count += static_cast<int>(k);
    out.haveAnswer = true;
    p += k * size;
    return true;
}

} // namespace

int ncm_dns_encode_name(
    uint8_t* buffer, size_t bufferSize, size_t position, const char* name, size_t nameLength)
{
    if (nameLength > MaxNameLength)
        return -2;
    size_t pos = position;
    size_t start = 0;
    // An empty piece would be a zero byte that ends the name early, so that
    // another name is asked for: only the root ("") and one trailing dot
    // may leave one.
    for (;;) {
        const char* dot = static_cast<const char*>(std::memchr(name + start, '.', nameLength - start));
        const size_t end = dot ? static_cast<size_t>(dot - name) : nameLength;
        const size_t pieceLength = end - start;
        if (pieceLength > MaxLabelLength)
            return -1;
        if (pieceLength == 0 && dot)
            return -1;
        if (pos > bufferSize || bufferSize - pos < 1 + pieceLength)
            return -2;
        buffer[pos++] = static_cast<uint8_t>(pieceLength);
        std::memcpy(buffer + pos, name + start, pieceLength);
        pos += pieceLength;
        if (!dot)
            break;
        start = end + 1;
    }
    if (buffer[pos - 1] != 0) {
        if (pos >= bufferSize)
            return -2;
        buffer[pos++] = 0;
    }
    return static_cast<int>(pos);
}

int ncm_dns_write_request(const char* name, size_t nameLength, uint16_t id, uint16_t type, uint16_t qclass,
    uint8_t* buffer, size_t bufferSize)
{
    if (bufferSize < HeaderSize)
        return -1;
    put16(buffer + 0, id);
    put16(buffer + 2, 0x0100); // standard query, recursion desired
    put16(buffer + 4, 1); // QDCOUNT
    put16(buffer + 6, 0);
    put16(buffer + 8, 0);
    put16(buffer + 10, 0);
    const int end = ncm_dns_encode_name(buffer, bufferSize, HeaderSize, name, nameLength);
    if (end < 0)
        return end;
    const size_t pos = static_cast<size_t>(end);
    if (bufferSize - pos < 4)
        return -1;
    put16(buffer + pos, type);
    put16(buffer + pos + 2, qclass);
    return static_cast<int>(pos + 4);
}

bool ncm_dns_build_query(const char* name, std::vector<uint8_t>& out, bool wantA)
{
    // Unpredictable, so that a forged reply has to guess it.
    uint16_t id = 0;
    evutil_secure_rng_get_bytes(&id, sizeof id);
    const size_t nameLength = std::strlen(name);
    out.assign(2 + nameLength + 102, 0);
    const int length = ncm_dns_write_request(
        name, nameLength, id, wantA ? DnsTypeA : DnsTypeAaaa, DnsClassIn, out.data() + 2, out.size() - 2);
    if (length < 0) {
        // Such a name cannot be asked for; sending a padded, broken query
        // would only cost a round trip.
        out.clear();
        return false;
    }
    out.resize(2 + static_cast<size_t>(length));
    put16(out.data(), static_cast<uint16_t>(length));
    return true;
}

int ncm_dns_decode_name(const uint8_t* message, size_t length, size_t& position, char* out, size_t outSize)
{
    size_t p = position;
    size_t written = 0;
    size_t pointers = 0;
    bool jumped = false;
    size_t continuation = 0;
    for (;;) {
        if (p >= length)
            return -1;
        const uint8_t b = message[p];
        if (b == 0)
            break;
        if (b > 63) {
            if (p + 1 >= length)
                return -1;
            const size_t target = static_cast<size_t>(b & 0x3F) * 256 + message[p + 1];
            if (target >= length)
                return -1;
            // Every pointer must lead somewhere new eventually; more jumps
            // than bytes means a loop.
            if (++pointers > length)
                return -1;
            if (!jumped) {
                continuation = p + 2;
                jumped = true;
            }
            p = target;
            continue;
        }
        if (written > 0) {
            if (written + 1 >= outSize)
                return -1;
            out[written++] = '.';
        }
        if (length - (p + 1) < b)
            return -1;
        if (written + b >= outSize)
            return -1;
        std::memcpy(out + written, message + p + 1, b);
        written += b;
        p += 1 + b;
        if (p >= length)
            return -1;
    }
    if (written >= outSize)
        return -1;
    out[written] = '\0';
    position = jumped ? continuation : p + 1;
    return 0;
}

int ncm_dns_parse_reply(const uint8_t* reply, size_t length, const DnsParseContext& context, DnsReply& out)
{
    if (length < HeaderSize || context.queryLength < HeaderSize)
        return -2;
    // Only the reply to this query counts: same identifier, one question
    // with the same name (letter case aside), type and class.
    if (get16(reply) != get16(context.query) || get16(reply + 4) != 1)
        return -2;
    {
        size_t p = HeaderSize;
        size_t queryPos = HeaderSize;
        char replyName[DnsNameBufferSize];
        char queryName[DnsNameBufferSize];
        if (ncm_dns_decode_name(reply, length, p, replyName, sizeof replyName) != 0
            || ncm_dns_decode_name(context.query, context.queryLength, queryPos, queryName, sizeof queryName)
                != 0
            || !equalsIgnoreAsciiCase(replyName, queryName) || length - p < 4
            || context.queryLength - queryPos < 4 || std::memcmp(reply + p, context.query + queryPos, 4) != 0)
            return -2;
    }
    const uint16_t flags = get16(reply + 2);
    const uint16_t qdcount = get16(reply + 4);
    const uint16_t ancount = get16(reply + 6);
    const uint16_t nscount = get16(reply + 8);

    // Truncated replies and every error other than NXDOMAIN are unusable.
    if (!(flags & DnsFlagQr))
        return -2;
    const uint16_t status = flags & (DnsFlagTc | DnsRcodeMask);
    if (status != 0 && status != DnsRcodeNxDomain)
        return -1;

    std::memset(&out, 0, sizeof out);
    out.type = context.type;

    if (qdcount == 0)
        return -1;
    size_t p = HeaderSize;
    bool matched = false;
    for (uint16_t i = 0; i < qdcount; ++i) {
        char replyName[DnsNameBufferSize];
        char queryName[DnsNameBufferSize];
        size_t queryPos = p;
        if (ncm_dns_decode_name(reply, length, p, replyName, sizeof replyName) != 0)
            return -1;
        if (ncm_dns_decode_name(context.query, context.queryLength, queryPos, queryName, sizeof queryName)
            != 0)
            return -1;
        if (equalsIgnoreAsciiCase(replyName, queryName))
            matched = true;
        p += 4; // QTYPE and QCLASS are not examined
        if (p > length)
            return -1;
    }
    if (!matched)
        return -1;

    for (uint16_t i = 0; i < ancount && out.count < DnsReplyMaxAddresses; ++i) {
        RecordHeader record;
        if (!readRecordHeader(reply, length, p, record))
            return -1;
        if (record.type == DnsTypeA && record.rclass == DnsClassIn && context.type == DnsTypeA) {
            if (!takeAddresses(reply, length, p, record.rdlength, 4, &out.addresses.v4[0][0], out))
                return -1;
        } else if (record.type == DnsTypeAaaa && record.rclass == DnsClassIn && context.type == DnsTypeAaaa) {
            if (!takeAddresses(reply, length, p, record.rdlength, 16, &out.addresses.v6[0][0], out))
                return -1;
        } else {
            p += record.rdlength;
        }
    }
    if (out.haveAnswer)
        return 0;

    // No address: the reply still has to be well formed up to the end of the
    // authority section (NXDOMAIN and NODATA carry the zone's SOA there).
    for (uint16_t i = 0; i < nscount; ++i) {
        RecordHeader record;
        if (!readRecordHeader(reply, length, p, record))
            return -1;
        if (record.type == DnsTypeSoa && record.rclass == DnsClassIn) {
            char mname[DnsNameBufferSize];
            char rname[DnsNameBufferSize];
            if (ncm_dns_decode_name(reply, length, p, mname, sizeof mname) != 0)
                return -1;
            if (ncm_dns_decode_name(reply, length, p, rname, sizeof rname) != 0)
                return -1;
            // SERIAL, REFRESH, RETRY, EXPIRE, MINIMUM
            if (p > length || length - p < 20)
                return -1;
            p += 20;
        } else {
            p += record.rdlength;
        }
    }
    return 0;
}

int ncm_dns_parse_response(const uint8_t* query, size_t queryLength, const uint8_t* reply, size_t replyLength,
    std::vector<std::string>& out, bool wantA)
{
    out.clear();
    const DnsParseContext context { query, queryLength, wantA ? DnsTypeA : DnsTypeAaaa };
    DnsReply parsed;
    const int result = ncm_dns_parse_reply(reply, replyLength, context, parsed);
    if (result != 0)
        return result;
    if (!parsed.haveAnswer)
        return 0;
    out.reserve(static_cast<size_t>(parsed.count));
    for (int i = 0; i < parsed.count; ++i) {
        if (wantA) {
            char text[32];
            if (evutil_inet_ntop(AF_INET, parsed.addresses.v4[i], text, sizeof text))
                out.emplace_back(text);
        } else {
            char text[64];
            if (evutil_inet_ntop(AF_INET6, parsed.addresses.v6[i], text, sizeof text))
                out.emplace_back(text);
        }
    }
    return 0;
}

int ncm_dns_frame_length(const uint8_t* bytes, size_t count)
{
    if (count < 2)
        return -1;
    return bytes[0] * 256 + bytes[1];
}
